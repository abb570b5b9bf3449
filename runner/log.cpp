// The test runner's log sink.
#include "runner/test_runner.hpp"

namespace test_runner {

void log(logging::Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args) {
    logging::countError(level);
    if (logging::passesThreshold(level)) logging::printLine(level, scope, format, args);
}

}  // namespace test_runner
