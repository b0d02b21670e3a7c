// Which output each input is written to.
#include "app/starter/cli/run_plan.h"

#include <filesystem>
#include <set>

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

bool planFiles(const std::vector<std::string> &inputs, const std::string &output, std::vector<FilePlan> &files,
               std::string &error) {
    std::error_code ec;
    bool outputIsFolder = !output.empty() && (fs::is_directory(output, ec) || output.back() == '/');
    if (inputs.size() > 1 && !output.empty() && !outputIsFolder) {
        error = "With several inputs, -o names a folder that exists; " + output + " is none.";
        return false;
    }
    std::set<std::string> taken;
    for (const std::string &input : inputs) {
        FilePlan file;
        file.input = input;
        file.midiInput = isMidiInput(input);
        file.output = output.empty() || outputIsFolder ? defaultOutputName(input, output) : output;
        std::string key = fs::absolute(file.output).lexically_normal().string();
        if (!taken.insert(key).second) {
            error = "Two inputs would both be written to " + file.output +
                    "; rename one of them or transcribe them one at a time with -o.";
            return false;
        }
        files.push_back(file);
    }
    return true;
}
