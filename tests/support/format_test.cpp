// The formatter: placeholders, shortest round-trip floats, writers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/format.hpp"

namespace {

template <class... Args>
std::string fmtString(std::string_view format, const Args&... args) {
    char buf[512];
    auto r = fmt::bufPrint(buf, format, args...);
    EXPECT_TRUE(r.has_value());
    return r ? std::string(*r) : std::string();
}

TEST(FloatFormat, ShortestRoundTripScientific) {
    EXPECT_EQ(fmtString("{}", 1.0), "1e0");
    EXPECT_EQ(fmtString("{}", 1e-10), "1e-10");
    EXPECT_EQ(fmtString("{}", 0.7071067811865475), "7.071067811865475e-1");
    EXPECT_EQ(fmtString("{}", 0.5773502691896258), "5.773502691896258e-1");
    EXPECT_EQ(fmtString("{}", 0.5), "5e-1");
    EXPECT_EQ(fmtString("{}", 10.0), "1e1");
    EXPECT_EQ(fmtString("{}", 123456.0), "1.23456e5");
    EXPECT_EQ(fmtString("{}", -2.5e-3), "-2.5e-3");
    EXPECT_EQ(fmtString("{}", 1e300), "1e300");
    EXPECT_EQ(fmtString("{}", 5e-324), "5e-324");
    EXPECT_EQ(fmtString("{}", 0.1 + 0.2), "3.0000000000000004e-1");
}

TEST(FloatFormat, ZeroInfinityAndNaN) {
    EXPECT_EQ(fmtString("{}", 0.0), "0e0");
    EXPECT_EQ(fmtString("{}", -0.0), "-0e0");
    EXPECT_EQ(fmtString("{}", std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(fmtString("{}", -std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(fmtString("{}", std::nan("")), "nan");
}

TEST(FloatFormat, EveryPrintedValueReadsBackExactly) {
    // Walk a spread of magnitudes and bit patterns; the text must parse back
    // to the same double.
    double values[] = {1.0 / 3.0, 2.0 / 3.0, 1e22, 1e23, 9007199254740993.0, 4.35, 0.3, 1.7976931348623157e308,
                       2.2250738585072014e-308};
    for (double v : values) {
        const std::string text = fmtString("{}", v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        EXPECT_EQ(text.find('+'), std::string::npos) << text;
    }
}

TEST(IntegerFormat, DecimalHexAndSigned) {
    EXPECT_EQ(fmtString("{d}/{d} {s}...", 1u, 10u, "name"), "1/10 name...");
    EXPECT_EQ(fmtString("{x}", 255u), "ff");
    EXPECT_EQ(fmtString("0x{x}", 0x4014bau), "0x4014ba");
    EXPECT_EQ(fmtString("{d}", std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(fmtString("{d}", -42), "-42");
    EXPECT_EQ(fmtString("{d}", std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(fmtString("{x}", -16), "-10");
    EXPECT_EQ(fmtString("{}", true), "true");
}

TEST(Placeholders, BracesErrorsAndMissingArguments) {
    EXPECT_EQ(fmtString("{{}} {s}", "x"), "{} x");
    EXPECT_EQ(fmtString("a } b"), "a } b");
    EXPECT_EQ(fmtString("{s}", Error::OutOfMemory), "OutOfMemory");
    EXPECT_EQ(fmtString("({})", Error::MissingDebugInfo), "(error.MissingDebugInfo)");
    // More placeholders than arguments: the extra ones print nothing.
    EXPECT_EQ(fmtString("{d}-{d}", 1), "1-");
    // An unterminated placeholder is written as it stands.
    EXPECT_EQ(fmtString("x {d", 1), "x {d");
}

struct Custom {
    int v;
    Result<void> format(Writer& w) const { return fmt::format(w, "<{d}>", v); }
};

TEST(Placeholders, ObjectsFormatThemselves) { EXPECT_EQ(fmtString("[{}]", Custom{7}), "[<7>]"); }

TEST(FixedBufferWriter, KeepsWhatFitsAndReportsNoSpaceLeft) {
    char buf[8];
    FixedBufferWriter w(buf);
    EXPECT_TRUE(w.writeAll("12345").has_value());
    auto r = w.writeAll("6789");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::NoSpaceLeft);
    EXPECT_EQ(w.written(), "12345678");
    EXPECT_FALSE(w.writeAll("x").has_value());
}

// A write error surfaces where a write is made: at flush, or when the
// buffer fills mid-text; the failed bytes are dropped, not sent again by
// the next flush.
TEST(BufferedFdWriter, ErrorsAtFlushAndWhenFullThenStartsEmpty) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    const int write_end = fds[1];
    BufferedFdWriter w(-1);
    EXPECT_TRUE(w.writeAll("gathered").has_value());
    auto r = w.flush();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::NotOpenForWriting);
    EXPECT_EQ(w.end, 0u);
    EXPECT_FALSE(w.writeAll(std::string(5000, 'z')).has_value());
    w.fd = write_end;
    EXPECT_TRUE(w.writeAll("after").has_value());
    EXPECT_TRUE(w.flush().has_value());
    EXPECT_TRUE(w.flush().has_value());  // nothing gathered: no write
    close(write_end);
    char got[8192];
    const ssize_t n = read(fds[0], got, sizeof got);
    close(fds[0]);
    // The rest of the text whose first 4096 bytes failed was not taken.
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0), "after");
}

}  // namespace
