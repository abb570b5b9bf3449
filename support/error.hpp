// The program-wide error set, results, and the error-return trace that
// records every site an error passes through on its way up.
#pragma once
#include <expected>
#include <span>
#include <string_view>

#include "support/types.hpp"

// Every name has a small positive number; 0 is success and is never an
// Error. Add new names at the end so existing numbers stay put.
#define XOV_ERROR_LIST(X)            \
    X(OutOfMemory)                   \
    X(Overflow)                      \
    X(TestUnexpectedResult)          \
    X(TestExpectedApproxEqAbs)       \
    X(SkipXovTest)                   \
    X(BrokenPipe)                    \
    X(InputOutput)                   \
    X(SystemResources)               \
    X(AccessDenied)                  \
    X(FileNotFound)                  \
    X(BadPathName)                   \
    X(NameTooLong)                   \
    X(IsDir)                         \
    X(NotDir)                        \
    X(EndOfFile)                     \
    X(EndOfStream)                   \
    X(WouldBlock)                    \
    X(NoSpaceLeft)                   \
    X(Unexpected)                    \
    X(InvalidDebugInfo)              \
    X(MissingDebugInfo)              \
    X(UnmappedMemory)                \
    X(OperationNotSupported)         \
    X(NotATerminal)                  \
    X(Timeout)                       \
    X(ThreadQuotaExceeded)           \
    X(LockedMemoryLimitExceeded)     \
    X(InvalidArgument)               \
    X(ProcessFdQuotaExceeded)        \
    X(SystemFdQuotaExceeded)         \
    X(DeviceBusy)                    \
    X(ConnectionResetByPeer)         \
    X(NotOpenForReading)             \
    X(NotOpenForWriting)             \
    X(InvalidCharacter)              \
    X(IncompatibleVersion)           \
    X(CompressedSectionCorrupt)      \
    X(UnsupportedRegister)           \
    X(InvalidRegister)               \
    X(InvalidCFA)                    \
    X(InvalidExpression)             \
    X(UnimplementedOpcode)           \
    X(UnimplementedExpressionCall)   \
    X(InvalidOperand)                \
    X(StackUnderflow)                \
    X(StackOverflow)                 \
    X(UnsupportedAddrSize)           \
    X(ProtocolError)                 \
    X(InvalidTestIndex)              \
    X(TooManyPieces)

enum class Error : u16 {
#define XOV_ERROR_ENUM(name) name,
    Success_ = 0,  // placeholder so the first real name is 1; never returned
    XOV_ERROR_LIST(XOV_ERROR_ENUM)
#undef XOV_ERROR_ENUM
};

// The printed name of an error ("OutOfMemory"); "(invalid error)" for a
// number outside the table.
std::string_view errorName(Error error);

template <class T>
using Result = std::expected<T, Error>;

struct Writer;

// An error-return trace: an index that keeps counting past the capacity,
// and caller-owned storage for the first addresses.

struct StackTrace {
    usize index = 0;
    std::span<usize> instruction_addresses;

    // The "{}" of a trace in formatted text: a newline, then the trace
    // entries resolved from debug information.
    [[nodiscard]] Result<void> format(Writer& writer) const;
};

// Compilers merge identical code tails (GCC's cross-jumping and tail
// merging, LLVM's branch folding and common-code sinking). Two error-return
// sites in one function would then share one recording call, and the trace
// would name whichever line the shared call kept. Two defences:
// - every expansion of the macros below follows its recording call with an
//   asm statement whose text (file, line and a per-file expansion counter)
//   is its own, so no two recording blocks are identical to any compiler;
//   the text is an assembler comment and emits nothing. Being after the
//   call, it also keeps the call out of tail position.
// - calls that no macro marks (panics, and a recording call written out)
//   are kept apart by XOV_NOMERGE on the entry points for clang, and for
//   GCC by -fno-crossjumping -fno-tree-tail-merge on everything linked with
//   the runtime (CMakeLists.txt).
#if defined(__clang__)
#define XOV_NOMERGE [[clang::nomerge]]
#else
#define XOV_NOMERGE
#endif

#define XOV_SITE_TEXT2(x) #x
#define XOV_SITE_TEXT(x) XOV_SITE_TEXT2(x)
// Basic asm, so that '%' or braces in a file name mean nothing to the
// compiler.
#define XOV_SITE_MARK() \
    __asm__ volatile("# site " __FILE__ ":" XOV_SITE_TEXT(__LINE__) "." XOV_SITE_TEXT(__COUNTER__))

namespace builtin {

// Records the return address of this call (a site inside the function that
// is returning an error) at trace->index, then counts it. Out of line on
// purpose: the return address is the whole point.
XOV_NOMERGE [[gnu::noinline]] void returnError(StackTrace* trace);

// The trace that error propagation on this thread records into; null when
// nobody is collecting. Runners point it at their own trace.
StackTrace* errorReturnTrace();
void setErrorReturnTrace(StackTrace* trace);

// returnError on this thread's current trace, recording this call's own
// return address.
XOV_NOMERGE [[gnu::noinline]] void noteErrorReturn();

}  // namespace builtin

// returnError at a site of its own (see above).
#define XOV_RETURN_ERROR(trace)           \
    do {                                  \
        ::builtin::returnError(trace);    \
        XOV_SITE_MARK();                  \
    } while (0)

// Creates an error at its origin: records the site, returns the error.
// Braces, not parentheses: clang reads `std::unexpected(Error::X);` as a
// declaration of a variable named Error::X.
#define XOV_FAIL(err)                     \
    ({                                    \
        ::builtin::noteErrorReturn();     \
        XOV_SITE_MARK();                  \
        std::unexpected{err};             \
    })

// Propagates an error to the caller, recording this site in the thread's
// error-return trace.
#define TRY(...)                                         \
    ({                                                   \
        auto&& try_result_ = (__VA_ARGS__);              \
        if (!try_result_) [[unlikely]] {                 \
            ::builtin::noteErrorReturn();                \
            XOV_SITE_MARK();                             \
            return std::unexpected(try_result_.error()); \
        }                                                \
        *std::move(try_result_);                         \
    })

// As TRY, recording into an explicit trace (tests receive theirs as an
// argument).
#define TRY_TRACE(trace, ...)                            \
    ({                                                   \
        auto&& try_result_ = (__VA_ARGS__);              \
        if (!try_result_) [[unlikely]] {                 \
            ::builtin::returnError(trace);               \
            XOV_SITE_MARK();                             \
            return std::unexpected(try_result_.error()); \
        }                                                \
        *std::move(try_result_);                         \
    })
