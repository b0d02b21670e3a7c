// The manual page and the bash completion are made from the option definitions:
// every option of --help is in both, and the page is well-formed roff. The user
// guide's option table, written by hand, names every option of --help too.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "app/starter/cli/options.h"
#include "tests/app/support.h"

namespace {

// The long option names --help lists ("--tempo"), in order.
std::vector<std::string> helpOptions() {
    std::string help = helpText("/usr/share/sonoscriptor/", 2);
    std::vector<std::string> names;
    std::regex name("(^|[ ,])(--[a-z-]+)");
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("  ", 0) == 0 && line.find("--") != std::string::npos && line.find("--") < 8)
            for (std::sregex_iterator m(line.begin(), line.begin() + std::min<size_t>(line.size(), 26), name), end;
                 m != end; ++m)
                names.push_back((*m)[2]);
    return names;
}

// The option table of docs/user-guide.md: its section "## Options", up to the next section.
std::string userGuideOptionTable() {
    std::string guide = fileText(SOURCE_DIR "/docs/user-guide.md");
    size_t start = guide.find("\n## Options\n");
    if (start == std::string::npos)
        return "";
    size_t end = guide.find("\n## ", start + 1);
    return guide.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

TEST(ManPage, HoldsEveryOptionOfTheHelp) {
    std::string page = manPageText("/usr/share/sonoscriptor/", "1.0.0"), completion = bashCompletionText();
    std::vector<std::string> names = helpOptions();
    ASSERT_GT(names.size(), 30u);
    for (const std::string &name : names) {
        std::string escaped = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_NE(page.find("\\fB" + escaped + "\\fR"), std::string::npos) << name;
        EXPECT_TRUE(std::regex_search(completion, std::regex("[ \"]" + name + "[ \"]"))) << name;
    }
    EXPECT_NE(page.find(".SS Detection\n"), std::string::npos);
    EXPECT_NE(page.find("default: the number of cores"), std::string::npos);  // not this machine's count
    EXPECT_NE(completion.find("--report|"), std::string::npos) << "files after an option with a value";
}

TEST(ManPage, UserGuideTableHoldsEveryOptionOfTheHelp) {
    std::string table = userGuideOptionTable();
    ASSERT_FALSE(table.empty());
    std::vector<std::string> names = helpOptions();
    ASSERT_GT(names.size(), 30u);
    for (const std::string &name : names)  // "`--tempo BPM`", "`--force`": the name, then a blank or the quote's end
        EXPECT_TRUE(std::regex_search(table, std::regex("\\| `" + name + "[ `]|, `" + name + "[ `]"))) << name;
    // And the table's first column names no option that --help lacks.
    std::istringstream lines(table);
    std::regex quoted("`(--[a-z-]+)");
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("| `", 0) != 0)
            continue;
        std::string cell = line.substr(0, line.find(" | "));
        for (std::sregex_iterator m(cell.begin(), cell.end(), quoted), end; m != end; ++m)
            EXPECT_NE(std::find(names.begin(), names.end(), (*m)[1].str()), names.end()) << (*m)[1];
    }
}

TEST(ManPage, IsWellFormedRoff) {
    std::string page = manPageText("/usr/share/sonoscriptor/", "1.0.0");
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '.')
            continue;
        std::string macro = line.substr(1, line.find(' ') == std::string::npos ? std::string::npos : line.find(' ') - 1);
        EXPECT_TRUE(macro == "TH" || macro == "SH" || macro == "SS" || macro == "TP" || macro == "PP") << line;
    }
    EXPECT_EQ(page.rfind(".TH SONOSCRIPTOR 1 ", 0), 0u);
    EXPECT_EQ(page.find("\n-"), std::string::npos) << "an unescaped minus at a line's start";
}
