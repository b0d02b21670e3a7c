// The library's options as the command's: one way in, one set of defaults and one
// set of sentences for what is wrong with them.
#include "app/library/library.h"

#include <charconv>

#include "app/starter/cli/options.h"

namespace {

// A number as the shortest text that reads back as the same double.
std::string numberText(double value) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("nan");
}

// Adds "--name value" when the value is given.
void add(std::vector<std::string> &args, const char *name, const std::string &value) {
    if (!value.empty())
        args.insert(args.end(), {name, value});
}

void add(std::vector<std::string> &args, const char *name, const std::optional<double> &value) {
    if (value)
        args.insert(args.end(), {name, numberText(*value)});
}

void add(std::vector<std::string> &args, const char *name, bool on) {
    if (on)
        args.emplace_back(name);
}

}  // namespace

std::vector<std::string> commandArguments(const sonoscriptor::Options &o, const std::string &input,
                                          const std::string &output) {
    // The output is private to the run: the library replaces it, draws no progress bar and
    // works on its one file alone.
    std::vector<std::string> args = {"--output", output, "--force", "--quiet", "--jobs", "1"};
    add(args, "--tempo", o.tempo);
    add(args, "--time-signature", o.time_signature);
    add(args, "--grid", o.grid);
    add(args, "--key", o.key);
    add(args, "--scale-only", o.scale_only);
    add(args, "--instrument", o.instrument);
    add(args, "--start", o.start);
    add(args, "--end", o.end);
    if (o.transpose)
        add(args, "--transpose", std::to_string(*o.transpose));
    add(args, "--raw", o.raw);
    add(args, "--quantize", o.quantize);
    add(args, "--tempo-map", o.tempo_map);
    add(args, "--settings", o.settings_file);
    for (const auto &[key, value] : o.settings)
        args.insert(args.end(), {"--set", key + "=" + value});
    args.insert(args.end(), o.command_options.begin(), o.command_options.end());
    add(args, "--engine", o.engine);
    // After "--" an input whose name begins with '-' is still an input.
    args.insert(args.end(), {"--", input});
    return args;
}

std::string refusedCommandOptions(const std::vector<std::string> &commandOptions, const std::string &dataDir) {
    std::vector<std::string> args = commandOptions;
    args.insert(args.end(), {"--", "recording"});
    StarterOptions alone;
    std::string error;
    if (!parseCommandLine(args, dataDir, alone, error))
        return "";
    const std::pair<bool, const char *> outputs[] = {
        {!alone.output.empty(), "--output"}, {!alone.musicxml.empty(), "--musicxml"}, {!alone.notes.empty(), "--notes"},
        {!alone.report.empty(), "--report"}, {!alone.format.empty(), "--format"}};
    for (const auto &[given, name] : outputs)
        if (given)
            return std::string("command_options cannot give ") + name +
                   ": the library writes files only with write_midi and write_musicxml.";
    const std::pair<bool, const char *> shapes[] = {
        {alone.beatsOnly, "--beats"}, {alone.help, "--help"}, {alone.version, "--version"}};
    for (const auto &[given, name] : shapes)
        if (given)
            return std::string("command_options cannot give ") + name +
                   ": a call transcribes its one recording and returns the transcription.";
    if (alone.inputs.size() > 1)
        return "command_options cannot give an input (" + alone.inputs.front() +
               "): a call transcribes the one recording it is given.";
    return "";
}
