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

// What the value of each option becomes (option_values.cpp).
/** Stores key=value among the assignments unless the engine would ignore the value (an empty one). */
void assignSetting(StarterOptions &o, const std::string &key, const std::string &value);
bool onTempo(const std::string &v, StarterOptions &o, std::string &error);
bool onTimeSignature(const std::string &v, StarterOptions &o, std::string &error);
bool onGrid(const std::string &v, StarterOptions &o, std::string &error);
bool onKey(const std::string &v, StarterOptions &o, std::string &error);
bool onInstrument(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error);
bool onFilter(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error);
/** --start and --end: seconds from the start of the recording into key. */
bool onSeconds(const char *option, const char *key, const std::string &v, StarterOptions &o, std::string &error);
/** A whole number lo..hi into key; `what` names it in the sentence. */
bool onRange(const char *option, const char *key, int lo, int hi, const char *what, const std::string &v,
             StarterOptions &o, std::string &error);
bool onTempoMap(const std::string &v, StarterOptions &o, std::string &error);
bool onSet(const std::string &v, StarterOptions &o, std::string &error);
bool onFormat(const std::string &v, StarterOptions &o, std::string &error);
bool onJobs(const std::string &v, StarterOptions &o, std::string &error);
bool onKeepDir(const std::string &v, StarterOptions &o, std::string &error);
