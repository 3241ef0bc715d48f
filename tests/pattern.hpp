// POSIX extended regular expressions for the tests ([0-9] for a digit, no lazy
// repeats): <regex> costs some ten seconds of compile time per file that uses it.
#pragma once
#include <regex.h>
#include <string>
#include <string_view>
#include <vector>

class Pattern {
public:
    explicit Pattern(const std::string& ere);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // The whole text matches.
    bool matches(std::string_view text) const;
    // The first match and its groups ([0] the match itself); empty when none.
    std::vector<std::string> first(std::string_view text) const;
    // Every match, left to right, each with its groups.
    std::vector<std::vector<std::string>> all(std::string_view text) const;
    // Every match replaced by `with`.
    std::string replace(std::string_view text, std::string_view with) const;

private:
    // A match at or after `from`: its groups' spans, or false.
    bool find(std::string_view text, std::size_t from, std::vector<regmatch_t>& spans) const;
    static std::vector<std::string> groups(std::string_view text, const std::vector<regmatch_t>& spans);

    regex_t compiled_;
};
