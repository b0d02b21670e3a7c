// Which output each input is written to.
#include "app/starter/pipeline/pipeline.h"

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

std::string defaultOutputName(const std::string &input, const std::string &folder) {
    fs::path in(input == StandardInput ? "stdin" : input);
    fs::path name = in.filename();
    name.replace_extension(".mid");
    fs::path dir = folder.empty() ? in.parent_path() : fs::path(folder);
    return (dir / name).string();
}

bool planJobs(const std::vector<std::string> &inputs, const std::string &output,
              std::vector<Job> &jobs, std::string &error) {
    std::error_code ec;
    bool outputIsFolder = !output.empty() && (fs::is_directory(output, ec) || output.back() == '/');
    if (inputs.size() > 1 && !output.empty() && !outputIsFolder) {
        error = "With several inputs, -o names a folder that exists; " + output + " is none.";
        return false;
    }
    std::set<std::string> taken;
    for (const std::string &input : inputs) {
        Job job;
        job.input = input;
        job.output = output.empty() || outputIsFolder ? defaultOutputName(input, output) : output;
        std::string key = fs::absolute(job.output).lexically_normal().string();
        if (!taken.insert(key).second) {
            error = "Two inputs would both be written to " + job.output +
                    "; rename one of them or transcribe them one at a time with -o.";
            return false;
        }
        jobs.push_back(job);
    }
    return true;
}
