// The engine's files for one input: the tempo file it follows, the settings
// rendered once from the plan and what the stages found, and the status file.
#include "app/starter/pipeline/stages.h"

#include <algorithm>

#include "app/starter/cli/failures.h"
#include "app/starter/protocol/settings_file.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/settings_check.h"

namespace {

// The grid that follows the beats of a tracked plan: its first beat, a downbeat, may lie before
// the audio; the engine reads silence there and keeps of it only what lies within the bar of the
// first note.
FollowedBeats followedBeats(const TempoPlan &t, const std::string &wave) {
    return FollowedBeats{t.tempo, t.numerator, t.denominatorPower, t.metreGiven,
                         engineStartPoint(t.startPoint, readWaveFileHeader(wave)), t.endPoint};
}

// The tempo file the engine follows: the beats found, written into dir, or a tempo map given as it
// is; its values are kept for the refinement. False when the beats' file cannot be written.
bool placeTempoFile(const BeatsFound &beats, const RunPlan &plan, const std::string &dir, EngineFiles &f) {
    const TempoPlan &t = beats.tempo;
    if (t.tracked) {
        f.tempoPath = dir + "tempo.map";
        // The values the engine follows: those before the end marker.
        f.tempoMap.assign(t.map.begin(), std::find(t.map.begin(), t.map.end(), TempoMapEnd));
        return writeTempoMap(f.tempoPath, t.map);
    }
    if (plan.tempoChoice == TempoChoice::Map) {
        f.tempoPath = settingsSafePath(plan.tempoMap, dir + "tempo");
        if (!readTempoMap(plan.tempoMap, f.tempoMap))
            f.tempoMap.clear();
    }
    return true;
}

}  // namespace

TuningFound stageTuning(const EngineAudio &audio, const RunPlan &plan) {
    TuningFound found;
    std::string error;
    if (hasSetting(plan.asked, "ReferencePitch") || plan.engine.Filter != -1)
        return found;
    double zone = plan.tuningDeadZone >= 0 ? plan.tuningDeadZone : TuningDeadZoneCents;
    // Audio that cannot be read keeps A = 440 Hz: the engine says what is wrong with it.
    if (!measureTuning(audio.wave, plan.region.start, plan.region.end, stopFlag(), found, error, zone))
        found = TuningFound{};
    return found;
}

Staged<EngineFiles> stageWriteSettings(const EngineAudio &audio, const BeatsFound &beats, const RunPlan &plan,
                                       const std::string &dir, const TuningFound &tuning) {
    Staged<EngineFiles> r;
    EngineFiles &f = r.value;
    f.midiPath = dir + "out.mid";
    f.settingsPath = dir + "settings.txt";
    f.statusPath = dir + "status.txt";
    bool placed = placeTempoFile(beats, plan, dir, f);
    EnginePaths paths{settingsSafePath(audio.wave, dir + "input"), f.midiPath,
                      settingsSafePath(plan.dataDir, dir + "data"), f.tempoPath};
    FollowedBeats followed = beats.tempo.tracked ? followedBeats(beats.tempo, audio.wave) : FollowedBeats{};
    f.settings = renderSettings(plan.asked, plan.engine, paths, beats.tempo.tracked ? &followed : nullptr);
    if (plan.shortestNoteMs > 0)
        holdShortestNote(f.settings, plan.shortestNoteMs);
    if (tuning.referencePitch != StandardReferencePitch)
        referTo(f.settings, tuning.referencePitch);
    if (!placed || !replaceFileText(f.settingsPath, f.settings.text) || !replaceFileText(f.statusPath, "0")) {
        r.failure = failureOf(FailureKind::SettingsNotWritten);
        return r;
    }
    // The check that the engine reads every entry as written, and the values handed on in them;
    // nothing later reads the file.
    r.failure = settingsFailure(settingsFileProblem(f.settingsPath, f.settings.list, f.settings.engine));
    return r;
}
