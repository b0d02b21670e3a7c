// Refining the engine's notes by the attacks in the recording (and keeping
// the engine's own files for developers who ask for them).
#include "app/starter/pipeline/pipeline.h"

#include <filesystem>
#include <new>

#include "app/starter/audio/progress.h"
#include "app/starter/refine/refine.h"

namespace fs = std::filesystem;

namespace {

// The pass through the audio that gathers the attack evidence is this share of the refinement's
// time; applying the rules and writing the notes take the rest (5.2 s and 2.6 s for 3 minutes
// of audio, 4.5 s and 2.9 s for another run of them).
constexpr double EvidencePassShare = 0.65;

// Copies the settings file, the tempo map and the engine's MIDI file of a job into the keep folder.
void keepEngineFiles(const Job &job, const std::string &dir) {
    std::string name = (fs::path(dir) / fs::path(job.input).stem()).string();
    std::error_code ec;
    auto copy = [&](const std::string &from, const char *suffix) {
        if (!from.empty() && fs::is_regular_file(from, ec))
            fs::copy_file(from, name + suffix, fs::copy_options::overwrite_existing, ec);
    };
    copy(job.files.settingsPath, ".settings.txt");
    copy(getSetting(job.files.settings, "TempoFile"), ".tempo.bin");
    copy(job.files.midiPath, ".engine.mid");
}

// Writes the refined notes into the private folder; false when that cannot be done.
bool refineInto(Job &job, const BatchConfig &config, const std::string &refined) {
    RefineInput input{getSetting(job.files.settings, "WaveFile"), job.files.midiPath, job.files.settings, {}, 0};
    double end;
    settingsRegion(config.settings, input.regionStart, end);
    std::string map = getSetting(job.files.settings, "TempoFile"), error;
    if (!map.empty() && !readTempoMap(map, input.tempoMap))
        input.tempoMap.clear();
    RefineSession session;
    try {
        return prepareRefinement(input, session, &stopRequested, error) &&
               writeRefinement(session, RefineThresholds{}, config.quantize, refined, job.refinement.counts, error);
    } catch (const std::bad_alloc &) {
        return false;  // too long a recording for the memory at hand
    }
}

}  // namespace

void stageRefine(Job &job, const BatchConfig &config) {
    job.refinement.midiPath = job.files.midiPath;
    if (!config.keepDir.empty())
        keepEngineFiles(job, config.keepDir);
    if (config.raw || job.run.code != 0)
        return;
    // When the notes cannot be refined, the engine's file is written as it is.
    std::string refined = job.workspace.tempDir + "refined.mid";
    setProgressRange(0, EvidencePassShare);
    bool written = refineInto(job, config, refined);
    setProgressRange(0, 1);
    if (written) {
        job.refinement.midiPath = refined;
        job.refinement.refined = true;
    } else {
        job.refinement.cancelled = stopRequested;
    }
}
