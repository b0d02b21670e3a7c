// Which output each input is written to.
#include "app/starter/cli/run_plan.h"

#include <filesystem>
#include <map>

#include "app/starter/files/regular_file.h"
#include "app/starter/midi/midi_reader.h"

namespace fs = std::filesystem;

bool isMidiInput(const std::string &input) {
    return input != StandardInput && (hasMidiHeader(input) || isMidiFileName(input));
}

std::string defaultOutputName(const std::string &input, const std::string &folder) {
    fs::path in(input == StandardInput ? "stdin" : input);
    fs::path name = in.filename();
    name.replace_extension(isMidiInput(input) ? ".musicxml" : ".mid");
    fs::path dir = folder.empty() ? in.parent_path() : fs::path(folder);
    return (dir / name).string();
}

namespace {

// Why two inputs cannot be planned: the same file given twice, or two files written to one output.
std::string outputClashSentence(const std::string &first, const std::string &second, const std::string &output) {
    if (first == second)
        return first + " is given twice; give each input once.";
    if (namesSameFile(first, second))
        return first + " and " + second + " are the same file; give each input once.";
    return "Two inputs would both be written to " + output +
           "; rename one of them or transcribe them one at a time with -o.";
}

}  // namespace

bool planFiles(const std::vector<std::string> &inputs, const std::string &output, std::vector<FilePlan> &files,
               std::string &error) {
    std::error_code ec;
    bool outputIsFolder = !output.empty() && (fs::is_directory(output, ec) || output.back() == '/');
    if (inputs.size() > 1 && !output.empty() && !outputIsFolder) {
        error = "With several inputs, -o names a folder that exists; " + output + " is none.";
        return false;
    }
    std::map<std::string, std::string> taken;  // output (absolute, normal) -> the input written there
    for (const std::string &input : inputs) {
        FilePlan file;
        file.input = input;
        file.midiInput = isMidiInput(input);
        file.output = output.empty() || outputIsFolder ? defaultOutputName(input, output) : output;
        auto [at, added] = taken.emplace(fs::absolute(file.output).lexically_normal().string(), input);
        if (!added) {
            error = outputClashSentence(at->second, input, file.output);
            return false;
        }
        files.push_back(file);
    }
    return true;
}
