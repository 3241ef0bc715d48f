#include "tests/pattern.hpp"
#include <cstdlib>
#include <cstdio>

Pattern::Pattern(const std::string& ere) {
    if (regcomp(&compiled_, ere.c_str(), REG_EXTENDED) != 0) {
        std::fprintf(stderr, "not an extended regular expression: %s\n", ere.c_str());
        std::abort();
    }
}

Pattern::~Pattern() { regfree(&compiled_); }

bool Pattern::find(std::string_view text, std::size_t from, std::vector<regmatch_t>& spans) const {
    spans.assign(compiled_.re_nsub + 1, regmatch_t{});
    // REG_STARTEND: the text needs no terminating NUL and may hold one.
    spans[0].rm_so = static_cast<regoff_t>(from);
    spans[0].rm_eo = static_cast<regoff_t>(text.size());
    // Not at the line's start unless the search begins there.
    int flags = REG_STARTEND | (from > 0 ? REG_NOTBOL : 0);
    return regexec(&compiled_, text.data(), spans.size(), spans.data(), flags) == 0;
}

std::vector<std::string> Pattern::groups(std::string_view text, const std::vector<regmatch_t>& spans) {
    std::vector<std::string> out;
    for (const regmatch_t& s : spans)
        out.emplace_back(s.rm_so < 0 ? std::string_view() : text.substr(s.rm_so, s.rm_eo - s.rm_so));
    return out;
}

bool Pattern::matches(std::string_view text) const {
    // Leftmost-longest: a match of the whole text, where there is one, is the one found.
    std::vector<regmatch_t> spans;
    return find(text, 0, spans) && spans[0].rm_so == 0 &&
           static_cast<std::size_t>(spans[0].rm_eo) == text.size();
}

std::vector<std::string> Pattern::first(std::string_view text) const {
    std::vector<regmatch_t> spans;
    return find(text, 0, spans) ? groups(text, spans) : std::vector<std::string>{};
}

std::vector<std::vector<std::string>> Pattern::all(std::string_view text) const {
    std::vector<std::vector<std::string>> out;
    std::vector<regmatch_t> spans;
    for (std::size_t from = 0; from <= text.size() && find(text, from, spans);) {
        out.push_back(groups(text, spans));
        std::size_t end = spans[0].rm_eo;
        from = end > static_cast<std::size_t>(spans[0].rm_so) ? end : end + 1;
    }
    return out;
}

std::string Pattern::replace(std::string_view text, std::string_view with) const {
    std::string out;
    std::vector<regmatch_t> spans;
    std::size_t from = 0;
    while (from <= text.size() && find(text, from, spans)) {
        std::size_t start = spans[0].rm_so, end = spans[0].rm_eo;
        out.append(text.substr(from, start - from)).append(with);
        if (end == start) {
            if (end < text.size()) out.push_back(text[end]);
            ++end;
        }
        from = end;
    }
    if (from < text.size()) out.append(text.substr(from));
    return out;
}
