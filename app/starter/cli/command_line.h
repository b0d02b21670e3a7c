// The command line as CLI11 options: each option's names, value name, help text
// and the handler that turns its value into StarterOptions and settings.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/starter/cli/options.h"

// Takes one value of an option into the options; false with a sentence in error.
using OptionHandler = std::function<bool(const std::string &value, StarterOptions &options, std::string &error)>;

// The group of the general options (help, version): listed last, without a heading.
inline const std::string GeneralGroup = "General";

// The options of the command and the handler of each.
struct CommandLine {
    CLI::App app{"", "sonoscriptor"};
    std::vector<std::string> inputValues;  // the INPUT arguments as CLI11 collects them
    CLI::Option *inputs = nullptr;
    std::map<const CLI::Option *, OptionHandler> handlers;
};

/** Defines every option of the command with its help text; dataDir and cores fill in defaults. */
void defineOptions(CommandLine &line, const std::string &dataDir, int cores);
/** The help text of the defined options: the description, each group, the footer. */
std::string formatHelp(const CLI::App &app);
