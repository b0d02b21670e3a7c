// The --help text, laid out from the option definitions: the description, each
// group under its heading, the general options, then the footer.
#include <algorithm>

#include "app/starter/cli/command_line.h"

namespace {

// Column where the options' texts start.
constexpr size_t TextColumn = 26;

// "  -o, --output OUT": the option's names and the name of its value.
std::string optionNames(const CLI::Option &option) {
    std::vector<std::string> shortNames = option.get_snames(), longNames = option.get_lnames();
    std::string names = shortNames.empty() ? "      " : "  -" + shortNames[0] + ", ";
    names += longNames.empty() ? std::string() : "--" + longNames[0];
    if (!option.get_type_name().empty())
        names += " " + option.get_type_name();
    return names;
}

// One option: its names, then its text from the text column, a line at a time.
std::string optionEntry(const CLI::Option &option) {
    std::string names = optionNames(option);
    std::string entry = names + std::string(names.size() + 2 <= TextColumn ? TextColumn - names.size() : 2, ' ');
    const std::string &text = option.get_description();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        entry += (start == 0 ? "" : std::string(TextColumn, ' ')) + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return entry;
}

// The options of one group, after a blank line and the group's heading.
std::string groupEntries(const CLI::App &app, const std::string &group) {
    std::string text = "\n" + (group == GeneralGroup ? "" : group + ":\n");
    for (const CLI::Option *option : app.get_options())
        if (option->nonpositional() && option->get_group() == group)
            text += optionEntry(*option);
    return text;
}

}  // namespace

std::string formatHelp(const CLI::App &app) {
    std::vector<std::string> groups;
    for (const CLI::Option *option : app.get_options())
        if (option->nonpositional() && std::find(groups.begin(), groups.end(), option->get_group()) == groups.end())
            groups.push_back(option->get_group());
    std::stable_partition(groups.begin(), groups.end(), [](const std::string &g) { return g != GeneralGroup; });
    std::string text = app.get_description();
    for (const std::string &group : groups)
        text += groupEntries(app, group);
    return text + "\n" + app.get_footer();
}
