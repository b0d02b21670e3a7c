// sonoscriptor: transcribes recordings into MIDI files by running
// sonoscriptor-engine once per file.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/starter/cli/options.h"
#include "app/starter/cli/run_plan.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/serve/serve.h"

#ifndef STARTER_VERSION
#define STARTER_VERSION "0"
#endif

namespace {

// Reports a wrong command line and gives the usage exit code.
int usageError(const std::string &error) {
    std::fprintf(stderr, "sonoscriptor: %s\nTry 'sonoscriptor --help' for the options.\n", error.c_str());
    return exitStatus(ExitCode::BadCommandLine);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string dataDir = defaultDataDir(), error;
    if (isServeCommand(args))
        return runServe({args.begin() + 1, args.end()}, dataDir);
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
    RunPlan plan;
    if (!buildRunPlan(options, dataDir, plan, error))
        return usageError(error);
    bool transcribing = std::any_of(plan.files.begin(), plan.files.end(), [](const FilePlan &f) { return !f.midiInput; });
    if (transcribing && access(plan.enginePath.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "sonoscriptor: the engine %s was not found; build it with make, or name it with "
                             "--engine.\n", plan.enginePath.c_str());
        return exitStatus(ExitCode::EngineFailed);
    }
    installSignalHandlers();
    return runBatch(plan);
}
