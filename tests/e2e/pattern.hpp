// Regular expressions over the executables' output, through the C
// library's POSIX matcher: extended syntax (REG_EXTENDED), leftmost-longest.
//
// Without REG_NEWLINE, '^' and '$' hold only at the ends of the whole text,
// while '.' and a negated bracket also match a newline: a pattern meant to
// stay within a line says so with "[^\n]". Escapes such as "\d", "\s" or
// "\n" do not exist in this syntax; the patterns carry the characters
// themselves ("[0-9]", "[[:space:]]", a real newline in the C++ string).
#pragma once
#include <regex.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

// One match of a Pattern: the whole match is group 0, the parenthesised
// subexpressions 1 and up. Views into the searched text, which must outlive it.
class Match {
  public:
    Match(std::string_view text, std::vector<regmatch_t> groups) : text_(text), groups_(std::move(groups)) {}

    // False for a group on a branch the match did not take.
    [[nodiscard]] bool matched(size_t group) const;
    [[nodiscard]] std::string_view view(size_t group = 0) const;
    [[nodiscard]] std::string str(size_t group = 0) const { return std::string(view(group)); }
    // Offsets of the whole match in the searched text.
    [[nodiscard]] size_t position() const { return static_cast<size_t>(groups_[0].rm_so); }
    [[nodiscard]] size_t end() const { return static_cast<size_t>(groups_[0].rm_eo); }
    [[nodiscard]] size_t length() const { return end() - position(); }

  private:
    std::string_view text_;
    std::vector<regmatch_t> groups_;
};

class Pattern {
  public:
    // A pattern that does not compile fails the running test and matches
    // nothing.
    explicit Pattern(const std::string& extended);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // The leftmost match starting at or after from. The text before from
    // still counts as context: '^' does not hold at from itself.
    [[nodiscard]] std::optional<Match> search(std::string_view text, size_t from = 0) const;
    [[nodiscard]] bool foundIn(std::string_view text) const { return search(text).has_value(); }
    // Every match, each search starting where the previous match ended.
    [[nodiscard]] std::vector<Match> findAll(std::string_view text) const;
    // The text with every match (as findAll finds them) replaced by with.
    [[nodiscard]] std::string replaceAll(std::string_view text, std::string_view with) const;

  private:
    regex_t compiled_{};
    bool valid_ = false;
};

// text with every character the extended syntax gives a meaning escaped,
// so that it matches only itself.
std::string literal(std::string_view text);

}  // namespace e2e
