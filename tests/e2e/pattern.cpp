// POSIX extended regular expressions for the end-to-end tests.
#include "tests/e2e/pattern.hpp"

#include <gtest/gtest.h>

namespace e2e {

bool Match::matched(size_t group) const { return group < groups_.size() && groups_[group].rm_so >= 0; }

std::string_view Match::view(size_t group) const {
    if (!matched(group)) return {};
    const regmatch_t& g = groups_[group];
    return text_.substr(static_cast<size_t>(g.rm_so), static_cast<size_t>(g.rm_eo - g.rm_so));
}

Pattern::Pattern(const std::string& extended) {
    const int rc = regcomp(&compiled_, extended.c_str(), REG_EXTENDED);
    if (rc != 0) {
        char message[256];
        regerror(rc, &compiled_, message, sizeof message);
        ADD_FAILURE() << "pattern " << extended << " does not compile: " << message;
        return;
    }
    valid_ = true;
}

Pattern::~Pattern() {
    if (valid_) regfree(&compiled_);
}

std::optional<Match> Pattern::search(std::string_view text, size_t from) const {
    if (!valid_ || from > text.size()) return std::nullopt;
    std::vector<regmatch_t> groups(compiled_.re_nsub + 1);
    // REG_STARTEND bounds the search by offsets instead of a terminating
    // zero, so the text needs no copy and may hold zero bytes; the offsets
    // it returns count from the start of text, not from from.
    groups[0].rm_so = static_cast<regoff_t>(from);
    groups[0].rm_eo = static_cast<regoff_t>(text.size());
    if (regexec(&compiled_, text.data(), groups.size(), groups.data(), REG_STARTEND) != 0) return std::nullopt;
    return Match(text, std::move(groups));
}

std::vector<Match> Pattern::findAll(std::string_view text) const {
    std::vector<Match> out;
    size_t from = 0;
    while (auto m = search(text, from)) {
        // After an empty match the next search starts one character on,
        // or it would find the same empty match again.
        from = m->length() == 0 ? m->end() + 1 : m->end();
        out.push_back(std::move(*m));
    }
    return out;
}

std::string Pattern::replaceAll(std::string_view text, std::string_view with) const {
    std::string out;
    size_t copied = 0;
    for (const Match& m : findAll(text)) {
        out.append(text.substr(copied, m.position() - copied));
        out.append(with);
        copied = m.end();
    }
    out.append(text.substr(copied));
    return out;
}

std::string literal(std::string_view text) {
    std::string out;
    for (const char c : text) {
        // A lone ']' or '}' is already an ordinary character.
        if (std::string_view(R"(\^$.|?*+()[{)").find(c) != std::string_view::npos) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace e2e
