// The README and the manual page list the same diagnostics, the same lines on
// standard error and the same exit statuses, in the same order: each list is
// read from both and compared entry for entry.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pattern.hpp"

namespace {

std::vector<std::string> lines_of(const std::string& file) {
    std::ifstream in(std::string(QLFWD_SOURCE_DIR) + "/" + file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines after the one that starts with `from`, up to one that starts with any of `to`.
std::vector<std::string> section(const std::vector<std::string>& lines, const std::string& from,
                                 const std::vector<std::string>& to) {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& line : lines) {
        if (in) {
            for (const std::string& end : to)
                if (line.rfind(end, 0) == 0) return out;
            out.push_back(line);
        } else if (line.rfind(from, 0) == 0) {
            in = true;
        }
    }
    return out;
}

// A diagnostic as a skeleton: its fixed text, every variable part "*", no blanks.
std::string skeleton(std::string text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out.push_back(c);
    return out;
}

// The first cells of a table's rows, from the Markdown: `text <variable> text`.
std::vector<std::string> readme_texts(const std::vector<std::string>& rows) {
    std::vector<std::string> texts;
    static const Pattern variable("<[^>]*>");
    for (const std::string& r : rows) {
        std::size_t end = r.find("` |", 3);
        if (r.rfind("| `", 0) == 0 && end != std::string::npos)
            texts.push_back(skeleton(variable.replace(std::string_view(r).substr(3, end - 3), "*")));
    }
    return texts;
}

// The macro's arguments: words, or quoted with "" for a quote.
std::vector<std::string> roff_arguments(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = line.find(' ');
    while (i != std::string::npos && i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i >= line.size()) break;
        std::string arg;
        if (line[i] == '"') {
            for (++i; i < line.size(); ++i) {
                if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') arg.push_back('"'), ++i;
                else if (line[i] == '"') { ++i; break; }
                else arg.push_back(line[i]);
            }
        } else {
            while (i < line.size() && line[i] != ' ') arg.push_back(line[i++]);
        }
        args.push_back(arg);
    }
    return args;
}

// The tags of the manual's .TP entries: .B is fixed text, .BI alternates fixed and variable.
std::vector<std::string> manual_texts(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] != ".TP") continue;
        const std::string& tag = lines[i + 1];
        std::vector<std::string> args = roff_arguments(tag);
        std::string text;
        for (std::size_t a = 0; a < args.size(); ++a) {
            if (tag.rfind(".BI ", 0) == 0 && a % 2 == 1) text += "*";
            else text += args[a] + (tag.rfind(".B ", 0) == 0 && a + 1 < args.size() ? " " : "");
        }
        for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
        texts.push_back(skeleton(text));
    }
    return texts;
}

// Words only, lower case: what both say of an exit status, markup aside.
std::string words(const std::string& text) {
    std::string out;
    bool blank = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' && i + 1 < text.size()) { ++i; continue; }  // a roff escape's letter
        if (std::isalnum(c)) {
            out.push_back(static_cast<char>(std::tolower(c)));
            blank = false;
        } else if (!blank) {
            out.push_back(' ');
            blank = true;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

TEST(Docs, DiagnosticsAndStandardErrorListedAlikeInReadmeAndManual) {
    std::vector<std::string> readme = lines_of("README.md"), manual = lines_of("man/qlfwd.1");
    std::vector<std::string> readme_diag = readme_texts(section(readme, "## Diagnostics", {"## "}));
    std::vector<std::string> manual_diag = manual_texts(section(manual, ".SH DIAGNOSTICS", {".SS", ".SH"}));
    ASSERT_GE(readme_diag.size(), 20u);
    EXPECT_EQ(readme_diag, manual_diag);
    std::vector<std::string> readme_err = readme_texts(section(readme, "## Standard error", {"## "}));
    std::vector<std::string> manual_err = manual_texts(section(manual, ".SS Standard error", {".SS", ".SH"}));
    ASSERT_GE(readme_err.size(), 10u);
    EXPECT_EQ(readme_err, manual_err);
}

TEST(Docs, ExitStatusesListedAlikeInReadmeAndManual) {
    std::vector<std::string> readme_statuses, manual_statuses;
    static const Pattern row("\\| ([0-9]+) \\| (.*) \\|");
    for (const std::string& r : section(lines_of("README.md"), "## Exit statuses", {"## "})) {
        if (row.matches(r)) {
            std::vector<std::string> m = row.first(r);
            readme_statuses.push_back(m[1] + " " + words(m[2]));
        }
    }
    std::string entry;
    for (const std::string& line : section(lines_of("man/qlfwd.1"), ".SH EXIT STATUS", {".SH"})) {
        if (line == ".TP") {
            if (!entry.empty()) manual_statuses.push_back(words(entry));
            entry.clear();
            continue;
        }
        entry += " " + (line[0] == '.' ? line.substr(line.find(' ') + 1) : line);
    }
    if (!entry.empty()) manual_statuses.push_back(words(entry));
    ASSERT_EQ(readme_statuses.size(), 4u);
    EXPECT_EQ(readme_statuses, manual_statuses);
}
