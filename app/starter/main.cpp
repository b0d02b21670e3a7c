// sonoscriptor: transcribes recordings into MIDI files by running
// sonoscriptor-engine once per file.
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/options.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/score/score_file.h"

#ifndef STARTER_VERSION
#define STARTER_VERSION "0"
#endif

namespace {

// Reports a wrong command line and gives the usage exit code.
int usageError(const std::string &error) {
    std::fprintf(stderr, "sonoscriptor: %s\nTry 'sonoscriptor --help' for the options.\n", error.c_str());
    return exitStatus(ExitCode::BadCommandLine);
}

// Inputs and output from the command line, else from the settings file.
void takeFileNames(const StarterOptions &options, SettingsList &settings,
                   std::vector<std::string> &inputs, std::string &output) {
    inputs = options.inputs;
    output = options.output;
    if (inputs.empty() && !getSetting(settings, "WaveFile").empty()) {
        inputs.push_back(getSetting(settings, "WaveFile"));
        if (output.empty())
            output = getSetting(settings, "MidiFile");
    }
    removeSetting(settings, "WaveFile");
    removeSetting(settings, "MidiFile");
}

// Files that no output may replace.
std::vector<std::string> protectedPaths(const StarterOptions &options, const std::vector<std::string> &inputs) {
    std::vector<std::string> paths;
    for (const std::string &input : inputs)
        if (input != StandardInput)  // names no file
            paths.push_back(input);
    if (!options.tempoMap.empty())
        paths.push_back(options.tempoMap);
    if (!options.settingsFile.empty())
        paths.push_back(options.settingsFile);
    return paths;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string dataDir = defaultDataDir(), error;
    StarterOptions options;
    if (!parseCommandLine(args, dataDir, options, error))
        return usageError(error);
    if (options.help) {
        std::fputs(helpText(dataDir, coreCount()).c_str(), stdout);
        return exitStatus(ExitCode::Done);
    }
    if (options.version) {
        std::printf("sonoscriptor %s\n", STARTER_VERSION);
        return exitStatus(ExitCode::Done);
    }
    SettingsList settings;
    if (!composeSettings(options, settings, error))
        return usageError(error);
    std::vector<std::string> inputs;
    std::string output;
    takeFileNames(options, settings, inputs, output);
    if (inputs.empty())
        return usageError("Give the recording to transcribe, for example: sonoscriptor song.wav");
    std::vector<Job> jobs;
    if (!planJobs(inputs, output, jobs, error) ||
        !planScoreOutputs(jobs, output, {options.format, options.musicxml}, error))
        return usageError(error);
    BatchConfig config{options.enginePath.empty() ? defaultEnginePath() : options.enginePath, dataDir,
                       settings, options.force, options.quiet, options.jobs > 0 ? options.jobs : coreCount(),
                       protectedPaths(options, inputs), tempoToBeTracked(settings), options.beatsOnly,
                       options.raw, options.quantize, options.keepDir, {}};
    if (access(config.enginePath.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "sonoscriptor: the engine %s was not found; build it with make, or name it with "
                             "--engine.\n", config.enginePath.c_str());
        return exitStatus(ExitCode::EngineFailed);
    }
    installSignalHandlers();
    return runBatch(jobs, config);
}
