// Beat finding: the beats of the region the engine will read, and the tempo
// plan made of them; with the metre from notes, a first engine run along the
// tracked beats whose notes join the evidence of the metre.
#include "app/starter/pipeline/stages.h"

#include <cmath>
#include <vector>

#include "app/starter/cli/failures.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/refine/timeline.h"

namespace {

// Notes whose onsets judge the engine's leading bars dropped: the first ones.
constexpr size_t AligningNotes = 200;
// The onset strength peaks about one hop after an attack.
constexpr double OnsetLatencyHops = 1;

// The strongest onset strength within a hop before and two after a time.
double strengthNear(const BeatTrack &track, double seconds) {
    double h = std::floor((seconds - track.regionStart) / track.hopSeconds + OnsetLatencyHops + 0.5);
    double best = 0;
    for (double d = -1; d <= 2; ++d)
        if (h + d >= 0 && h + d < static_cast<double>(track.onsetStrength.size()))
            best = std::max(best, static_cast<double>(track.onsetStrength[static_cast<size_t>(h + d)]));
    return best;
}

// The grid steps the engine dropped before its file's tick 0 (whole bars): those that put its
// first notes on the strongest onsets of the track (see fewestDroppedBars).
int64_t droppedByOnsets(const MidiContent &midi, const BeatTrack &track, Timeline t) {
    if (midi.notes.empty() || t.stepsPerBar <= 0 || !(track.hopSeconds > 0))
        return 0;
    std::vector<double> scores;
    for (int64_t k = 0; k < 100000; ++k) {
        t.droppedSteps = k * t.stepsPerBar;
        if (secondsAtTick(t, static_cast<double>(midi.notes.front().onTick)) > track.regionEnd)
            break;
        double score = 0;
        for (size_t i = 0; i < midi.notes.size() && i < AligningNotes; ++i)
            score += strengthNear(track, secondsAtTick(t, static_cast<double>(midi.notes[i].onTick)));
        scores.push_back(score);
    }
    return fewestDroppedBars(scores, t.stepsPerBar);
}

// The notes of a first engine run along the tracked beats in the plain reading, in seconds of
// the file; false (no notes) when it cannot run or its file cannot be read.
bool firstRunNotes(const EngineAudio &audio, const BeatTrack &track, const RunPlan &plan, double fallback,
                   const std::string &tempDir, std::vector<HeardNote> &notes) {
    BeatsFound plain;
    plain.ran = true;
    plain.tempo = planTempo(track, plan.engine, false, fallback, MetreInput{true, nullptr, plan.pulsePeaks, plan.pulseProminence, {}});
    if (!plain.tempo.tracked)
        return false;
    Staged<EngineFiles> files = stageWriteSettings(audio, plain, plan, tempDir + "first-");
    if (!files.ok())
        return false;
    JobProgress progress;
    Staged<EngineRun> run = stageRunEngine(files.value, plan.enginePath, progress);
    MidiContent midi;
    Timeline t;
    std::string error;
    if (!run.ok() || run.value.code != 0 || !readMidiFile(files.value.midiPath, midi, error) ||
        !buildTimeline(files.value.settings.engine, files.value.tempoMap, readWaveFileHeader(audio.wave),
                       track.regionEnd, t, error))
        return false;
    t.droppedSteps = droppedByOnsets(midi, track, t);
    for (const MidiNote &n : midi.notes)
        notes.push_back({secondsAtTick(t, static_cast<double>(n.onTick)),
                         secondsAtTick(t, static_cast<double>(n.offTick < 0 ? midi.lastTick : n.offTick)), n.key});
    return true;
}

}  // namespace

Staged<BeatsFound> stageFindBeats(const EngineAudio &audio, const RunPlan &plan, const std::string &tempDir) {
    Staged<BeatsFound> r;
    BeatTrack track;
    std::string cause;
    BeatFailure failure = BeatFailure::Unreadable;
    if (!trackBeats(audio.wave, plan.region.start, plan.region.end, track, stopFlag(), cause, &failure,
                    plan.metreSecondTracker || !plan.metreDumpPath.empty(),
                    static_cast<OnsetStrength>(plan.onsetStrength))) {
        r.failure = beatFailure(audio.wave, failure, cause);
        return r;
    }
    if (*stopFlag()) {
        r.failure = interrupted();
        return r;
    }
    double fallback = plan.tempo > 0 ? plan.tempo : 120;
    MetreInput input{false,
                     nullptr,
                     plan.pulsePeaks,
                     plan.pulseProminence,
                     {plan.partsBassBelowBeat, plan.bassMixture, plan.accentsRemeasured, plan.metrePartsContrast},
                     plan.metreFourThirds};
    input.secondTempo = plan.metreSecondTracker ? medianTempo(track.secondBeats) : 0;
    input.agreeTempo = medianTempo(track.secondBeats);
    input.dumpPath = plan.metreDumpPath;
    input.shortPickup = plan.metreShortPickup;
    input.splitSlowBeat = plan.metreSplitSlowBeat;
    input.framePulse = plan.metreFramePulse == 1   ? FramePulseUse::Instead
                       : plan.metreFramePulse == 2 ? FramePulseUse::Besides
                       : plan.metreFramePulse == 3 ? FramePulseUse::Folded
                                                   : FramePulseUse::Off;
    r.value.tempo = planTempo(track, plan.engine, plan.metreGiven, fallback, input);
    std::vector<HeardNote> notes;
    if (plan.metreFromNotes && !tempDir.empty() && r.value.tempo.tracked && !plan.metreGiven &&
        firstRunNotes(audio, track, plan, fallback, tempDir, notes)) {
        input.notes = &notes;
        r.value.tempo = planTempo(track, plan.engine, false, fallback, input);
    }
    r.value.ran = true;
    return r;
}
