// Reading the command line: CLI11 sorts the arguments into options and inputs,
// then each option's handler takes its values in the order they were given.
#include "app/starter/cli/options.h"

#include <algorithm>
#include <filesystem>

#include <unistd.h>

#include "app/starter/cli/command_line.h"
#include "app/starter/cli/names.h"

namespace {

// The option an argument such as "--tempo" or "-j" names, if it takes a value.
const CLI::Option *valueOptionNamed(const CommandLine &line, const std::string &name) {
    const CLI::Option *option = line.app.get_option_no_throw(name);
    return option && option->get_items_expected_max() > 0 ? option : nullptr;
}

// The arguments in the reversed order CLI11 takes them. CLI11 reads "--tempo=" as "--tempo"
// followed by the next argument, so an empty value after '=' becomes an argument of its own.
std::vector<std::string> parserArguments(const CommandLine &line, const std::vector<std::string> &args) {
    std::vector<std::string> out;
    bool ended = false;
    for (const std::string &arg : args) {
        bool emptyValue = !ended && arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.find('=') == arg.size() - 1 &&
                          valueOptionNamed(line, arg.substr(0, arg.size() - 1));
        out.push_back(emptyValue ? arg.substr(0, arg.size() - 1) : arg);
        if (emptyValue)
            out.push_back("");
        ended = ended || arg == "--";
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// The sentence for what CLI11 refuses: a switch given a value, or a value missing at the end.
std::string refusal(const CommandLine &line, const std::vector<std::string> &args) {
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        size_t eq = arg.find('=');
        const CLI::Option *option = arg.rfind("--", 0) == 0 && eq != std::string::npos
                                        ? line.app.get_option_no_throw(arg.substr(0, eq)) : nullptr;
        if (option && option->get_items_expected_max() == 0)
            return "The option " + arg.substr(0, eq) + " takes no value.";
    }
    return "The option " + args.back() + " needs a value.";
}

// The sentence for an argument that names no option, with the option of the nearest spelling
// ("--tmepo=90": did you mean --tempo?).
std::string noSuchOption(const CommandLine &line, const std::string &arg) {
    std::vector<std::string> names;
    for (const CLI::Option *option : line.app.get_options())
        for (const std::string &name : option->get_lnames())
            names.push_back(name);
    const size_t from = arg.find_first_not_of('-'), eq = arg.find('=');
    std::string near = from == std::string::npos || from == 1
                           ? ""
                           : closestName(arg.substr(from, eq == std::string::npos ? eq : eq - from), names);
    if (!near.empty())
        return "There is no option " + arg.substr(0, eq) + "; did you mean --" + near + "?";
    // A name with an extension, or of a file that exists, is most likely a recording.
    std::error_code ec;
    if (eq == std::string::npos && (std::filesystem::path(arg).has_extension() || std::filesystem::exists(arg, ec)))
        return "There is no option " + arg + "; to transcribe a file of that name, give it after --: sonoscriptor -- " +
               arg + ".";
    return "There is no option " + arg.substr(0, eq) + ".";
}

// The first argument CLI11 did not take as an option or an input, or one it took as an input
// although it looks like an option ("-5", "---x"): an input that begins with '-' must follow "--".
bool unknownOption(const CommandLine &line, const std::vector<std::string> &args, std::string &error) {
    for (const std::string &extra : line.app.remaining())
        if (extra != "--") {
            error = noSuchOption(line, extra);
            return true;
        }
    const std::vector<std::string> &inputs = line.inputs->results();
    auto marker = std::find(args.begin(), args.end(), "--");
    size_t afterMarker = marker == args.end() ? 0 : static_cast<size_t>(args.end() - marker - 1);
    for (size_t i = 0; i + afterMarker < inputs.size(); ++i)
        if (inputs[i].size() > 1 && inputs[i][0] == '-') {
            error = noSuchOption(line, inputs[i]);
            return true;
        }
    return false;
}

// Hands every value to its option's handler, in command-line order; false at the first refusal.
bool takeValues(const CommandLine &line, StarterOptions &options, std::string &error) {
    std::map<const CLI::Option *, size_t> taken;
    for (const CLI::Option *option : line.app.parse_order()) {
        auto handler = line.handlers.find(option);
        if (handler == line.handlers.end())
            continue;
        size_t k = taken[option]++;
        options.given.push_back(option->get_name());
        const std::vector<std::string> &values = option->results();
        if (!handler->second(k < values.size() ? values[k] : std::string(), options, error))
            return false;
    }
    return true;
}

}  // namespace

bool parseCommandLine(const std::vector<std::string> &args, const std::string &dataDir,
                      StarterOptions &options, std::string &error) {
    CommandLine line;
    defineOptions(line, dataDir, 1);
    try {
        line.app.parse(parserArguments(line, args));
    } catch (const CLI::ParseError &) {
        error = refusal(line, args);
        return false;
    }
    if (unknownOption(line, args, error) || !takeValues(line, options, error))
        return false;
    const std::vector<std::string> &inputs = line.inputs->results();
    options.inputs.insert(options.inputs.end(), inputs.begin(), inputs.end());
    if (options.raw && options.quantize) {
        error = "--quantize places the refined notes on the grid; --raw keeps the engine's notes as they are. "
                "Give one of them.";
        return false;
    }
    return true;
}

std::string helpText(const std::string &dataDir, int cores) {
    CommandLine line;
    defineOptions(line, dataDir, cores);
    return formatHelp(line.app);
}

int coreCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}
