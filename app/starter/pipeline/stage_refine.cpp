// Refining the engine's notes by the attacks in the recording (and keeping
// the engine's own files for developers who ask for them).
#include "app/starter/pipeline/stages.h"

#include <filesystem>
#include <new>

#include "app/starter/audio/progress.h"
#include "app/starter/protocol/settings_file.h"
#include "app/starter/refine/refine.h"

namespace fs = std::filesystem;

namespace {

// The pass through the audio that gathers the attack evidence is this share of the refinement's
// time; applying the rules and writing the notes take the rest (5.2 s and 2.6 s for 3 minutes
// of audio, 4.5 s and 2.9 s for another run of them).
constexpr double EvidencePassShare = 0.65;

// Writes the refined notes into refined; false when that cannot be done.
bool refineInto(const EngineAudio &audio, const EngineFiles &files, const RunPlan &plan, const std::string &refined,
                RefineCounts &counts) {
    RefineThresholds th = moreSensitive(RefineThresholds{}, plan.sensitivity - DefaultSensitivity);
    RefineInput input{audio.wave,        files.midiPath, files.settings.engine, files.tempoMap,
                      plan.region.start, th.addOn == 0, plan.region.end,
                      hasSetting(files.settings.list, "KeyMin") || hasSetting(files.settings.list, "KeyMax")};
    std::string error;
    RefineSession session;
    try {
        return prepareRefinement(input, session, stopFlag(), error) &&
               writeRefinement(session, th, plan.quantize, refined, counts, error);
    } catch (const std::bad_alloc &) {
        return false;  // too long a recording for the memory at hand
    }
}

}  // namespace

void keepEngineFiles(const std::string &input, const EngineFiles &files, const std::string &dir) {
    std::string name = (fs::path(dir) / fs::path(input).stem()).string();
    std::error_code ec;
    auto copy = [&](const std::string &from, const char *suffix) {
        if (!from.empty() && fs::is_regular_file(from, ec))
            fs::copy_file(from, name + suffix, fs::copy_options::overwrite_existing, ec);
    };
    copy(files.settingsPath, ".settings.txt");
    copy(files.tempoPath, ".tempo.bin");
    copy(files.midiPath, ".engine.mid");
}

Refinement stageRefine(const EngineAudio &audio, const EngineFiles &files, const EngineRun &run,
                       const std::string &tempDir, const RunPlan &plan) {
    Refinement result;
    result.midiPath = files.midiPath;
    if (plan.raw || run.code != 0)
        return result;
    // When the notes cannot be refined, the engine's file is written as it is.
    std::string refined = tempDir + "refined.mid";
    setProgressRange(0, EvidencePassShare);
    bool written = refineInto(audio, files, plan, refined, result.counts);
    setProgressRange(0, 1);
    if (written) {
        result.midiPath = refined;
        result.refined = true;
    } else {
        result.cancelled = *stopFlag();
    }
    return result;
}
