// The manual page sonoscriptor(1) and the bash completion, made from the same
// option definitions that lay out --help; the build writes both.
#include <algorithm>

#include "app/starter/cli/command_line.h"

namespace {

// Text made safe for roff: backslashes escaped, a line that begins with a dot or an apostrophe
// guarded, and minus signs written as such (options and negative numbers).
std::string roff(const std::string &text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

// The help text's lines of one paragraph joined into one: roff fills them again.
std::string joined(const std::string &text) {
    std::string out = text;
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

// ".TP" entry of one option: its names in bold, its value in italics, then its text.
std::string manEntry(const CLI::Option &option) {
    std::string names;
    for (const std::string &s : option.get_snames())
        names += (names.empty() ? "" : ", ") + std::string("\\fB\\-") + roff(s) + "\\fR";
    for (const std::string &l : option.get_lnames())
        names += (names.empty() ? "" : ", ") + std::string("\\fB\\-\\-") + roff(l) + "\\fR";
    if (!option.get_type_name().empty())
        names += " \\fI" + roff(option.get_type_name()) + "\\fR";
    return ".TP\n" + names + "\n" + roff(joined(option.get_description())) + "\n";
}

// The groups of the options in the order they are defined, the general ones last.
std::vector<std::string> optionGroups(const CLI::App &app) {
    std::vector<std::string> groups;
    for (const CLI::Option *option : app.get_options())
        if (option->nonpositional() && std::find(groups.begin(), groups.end(), option->get_group()) == groups.end())
            groups.push_back(option->get_group());
    std::stable_partition(groups.begin(), groups.end(), [](const std::string &g) { return g != GeneralGroup; });
    return groups;
}

// The description's paragraphs after its usage and summary lines, as roff paragraphs.
std::string paragraphs(const std::string &text) {
    std::string out = roff(text);
    for (size_t at = out.find("\n\n"); at != std::string::npos; at = out.find("\n\n", at + 5))
        out.replace(at, 2, "\n.PP\n");
    return out;
}

}  // namespace

std::string manPageText(const std::string &dataDir, const std::string &version) {
    CommandLine line;
    defineOptions(line, dataDir, 0);
    const CLI::App &app = line.app;
    std::string description = app.get_description();
    // "Usage: ..." and the summary line open the description; the rest is the manual's.
    size_t usageEnd = description.find('\n'), summaryEnd = description.find('\n', usageEnd + 1);
    std::string summary = description.substr(usageEnd + 1, summaryEnd - usageEnd - 1);
    std::string page = ".TH SONOSCRIPTOR 1 \"\" \"sonoscriptor " + version + "\" \"User Commands\"\n";
    page += ".SH NAME\nsonoscriptor \\- " + roff(summary) + "\n";
    page += ".SH SYNOPSIS\n\\fBsonoscriptor\\fR [\\fIOPTION\\fR]... \\fIINPUT\\fR...\n";
    page += ".SH DESCRIPTION\n" + paragraphs(description.substr(summaryEnd + 2));
    page += ".SH OPTIONS\n";
    for (const std::string &group : optionGroups(app)) {
        page += group == GeneralGroup ? ".SS General\n" : ".SS " + roff(group) + "\n";
        for (const CLI::Option *option : app.get_options())
            if (option->nonpositional() && option->get_group() == group)
                page += manEntry(*option);
    }
    page += ".SH SETTINGS AND EXIT STATUS\n" + paragraphs(app.get_footer());
    page += ".SH SEE ALSO\nThe user guide, docs/user-guide.md, and the batch recipes, docs/batch.md, in the "
            "source tree.\n";
    return page;
}

std::string bashCompletionText() {
    CommandLine line;
    defineOptions(line, "", 0);
    std::string all, valued;
    for (const CLI::Option *option : line.app.get_options()) {
        if (!option->nonpositional())
            continue;
        std::vector<std::string> names;
        for (const std::string &s : option->get_snames())
            names.push_back("-" + s);
        for (const std::string &l : option->get_lnames())
            names.push_back("--" + l);
        for (const std::string &name : names) {
            all += (all.empty() ? "" : " ") + name;
            if (option->get_items_expected_max() > 0)
                valued += (valued.empty() ? "" : "|") + name;
        }
    }
    return "# bash completion for sonoscriptor, made from its option definitions.\n"
           "_sonoscriptor() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    case $prev in\n"
           "        " + valued + ")\n"
           "            COMPREPLY=($(compgen -f -- \"$cur\")); compopt -o filenames 2>/dev/null; return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" + all + "\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\")); compopt -o filenames 2>/dev/null\n"
           "    fi\n"
           "}\n"
           "complete -F _sonoscriptor sonoscriptor\n";
}
