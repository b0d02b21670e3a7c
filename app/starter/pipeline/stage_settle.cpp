// The last stage: the summary of the run, then the score and the MIDI file
// moved from the private folder into place, never over a file that appeared
// meanwhile unless --force allows it.
#include "app/starter/pipeline/stages.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/messages.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/score/score_file.h"

namespace {

// Seconds of audio the engine was asked to analyse.
double analysedSeconds(const Job &job) {
    double duration = job.workspace.audio.seconds;
    double start = job.files.region.start, end = job.files.region.end;
    start = start > duration || start < 0 ? 0 : start;
    end = end <= start || end > duration ? duration : end;
    return end - start;
}

// Seconds from the start of a MIDI file to tick, through its tempo events.
double midiSeconds(const MidiContent &midi, int64_t tick) {
    if (midi.division <= 0)
        return 0;
    double micros = 0;
    int64_t at = 0, perBeat = 500000;
    for (const MidiTempo &t : midi.tempos) {
        if (t.tick >= tick)
            break;
        micros += static_cast<double>(t.tick - at) * static_cast<double>(perBeat);
        at = t.tick;
        perBeat = t.microsPerBeat;
    }
    micros += static_cast<double>(tick - at) * static_cast<double>(perBeat);
    return micros / 1e6 / midi.division;
}

// Seconds of the analysed audio that the MIDI file covers: all of it after a complete run; after
// a cancel, what the engine last said it had done or the end of the last note, whichever is later
// (its progress may lag far behind the notes it wrote).
double coveredSeconds(const Job &job, const MidiContent &midi) {
    double analysed = analysedSeconds(job);
    if (job.run.code == 0)
        return analysed;
    double lastEnd = 0;
    for (const MidiNote &n : midi.notes)
        lastEnd = std::max(lastEnd, midiSeconds(midi, std::max(n.onTick, n.offTick)));
    return std::min(analysed, std::max(analysed * job.run.percent / 100.0, lastEnd));
}

// The exit code of a file whose MIDI file is written: the engine's, or 1 when a cancel stopped the refinement.
int settledCode(const Job &job) {
    return std::max(job.run.code, job.refinement.cancelled ? exitStatus(ExitCode::Cancelled) : 0);
}

// Where the tempo written into the MIDI file came from.
TempoSource tempoSourceOf(const Job &job) {
    if (job.beats.tempo.tracked)
        return TempoSource::Tracked;
    if (job.beats.ran)
        return TempoSource::Fallback;
    return job.files.tempoPath.empty() ? TempoSource::Given : TempoSource::Map;
}

// The key and the audio of the report, from the MIDI file, the final status line and the settings asked for.
void describeKeyAndAudio(const Job &job, const SettingsList &asked, const MidiContent &midi, RunReport &r) {
    const StatusLine &status = job.run.status;
    // The MIDI file writes "no key signature" as C major; the final status line keeps 8 for it.
    r.keySignature = isFinal(status.kind) ? status.keySignature : midi.hasKeySignature ? midi.keySignature : 8;
    r.mode = midi.hasKeySignature ? midi.mode : status.mode;
    int sig = settingInt(asked, "KeySignature", 8);
    bool constrained = settingInt(asked, "Constrain", 0) != 0 && sig >= -7 && sig <= 7;
    r.keyDetected = settingInt(asked, "AutoDetectKey", 1) != 0 && !constrained;
    r.audioSeconds = coveredSeconds(job, midi);
    r.elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - job.workspace.started).count();
    r.conversion = job.audio.converted ? job.workspace.audio.description : "";
    r.channels = job.workspace.audio.channels;
    r.nonFiniteSamples = job.audio.nonFiniteSamples;
}

// Fills the report of a finished or cancelled run from the MIDI file and the status.
RunReport reportOf(const Job &job, const SettingsList &asked, const MidiContent &midi) {
    RunReport r;
    r.input = job.input;
    r.output = (job.output == "-" ? "standard output" : job.output) +
               (job.keepMidi && !job.scoreOutput.empty() ? " and " + job.scoreOutput : "");
    r.code = settledCode(job);
    r.percent = job.run.code == 0 ? 100 : job.run.percent;
    r.notes = static_cast<int>(midi.notes.size());
    for (const MidiNote &n : midi.notes) {
        r.lowest = std::min(r.lowest, n.key);
        r.highest = std::max(r.highest, n.key);
    }
    describeKeyAndAudio(job, asked, midi, r);
    r.tempo = job.files.tempo;
    r.tempoSource = tempoSourceOf(job);
    const TempoPlan &plan = job.beats.tempo;
    r.beats = plan.beatCount;
    if (plan.tracked) {
        r.metre = planMetreWords(plan);
        // In compound time the engine's beat is the eighth; people count the dotted quarter.
        r.dottedBeat = plan.denominatorPower == 3 && plan.numerator % 3 == 0;
        if (r.dottedBeat)
            r.tempo = std::floor(r.tempo / 3 * 100 + 0.5) / 100;
    }
    r.tempoFallback = plan.fallback;
    if (r.tempoSource == TempoSource::Fallback)
        r.tempo = plan.tempo;
    r.refined = job.refinement.refined;
    r.refineCancelled = job.refinement.cancelled;
    r.moved = job.refinement.counts.moved;
    r.split = job.refinement.counts.split;
    r.dropped = job.refinement.counts.dropped;
    return r;
}

// Moves a finished file to its place, or writes it into the pipe or device the output names:
// never over a file that appeared meanwhile unless it may be replaced, never over a folder,
// a socket or a device (an output refused), else a failed write. A stop ends a wait for a
// reader of a pipe.
bool placeFile(const std::string &from, const std::string &to, bool mayReplace, int &code, std::string &error) {
    OutputTarget kind = classifyOutput(to);
    if (kind == OutputTarget::Stream || kind == OutputTarget::StandardOutput) {
        if (streamFile(from, to, [] { return !stopAtOnce(); }))
            return true;
        code = exitStatus(errno == EEXIST ? ExitCode::CannotOpen : ExitCode::WriteFailed);
        error = "The file could not be written into " + to + " (" + std::strerror(errno) + ").";
        return false;
    }
    bool placeable = kind != OutputTarget::Folder && kind != OutputTarget::Unwritable;
    if (!placeable)
        errno = EEXIST;
    if (placeable && moveFile(from, to, mayReplace))
        return true;
    bool taken = errno == EEXIST;
    code = exitStatus(taken ? ExitCode::CannotOpen : ExitCode::WriteFailed);
    error = taken ? "The output " + to + " appeared while this file was being transcribed (another run?) and "
                    "was left as it is; add --force to replace it, or choose another name with -o."
                  : "The file could not be written to " + to + "; make sure the disk is not full.";
    return false;
}

// Writes the score of the MIDI file into the private folder and moves it into place.
bool placeScore(const Job &job, const BatchConfig &config, const MidiContent &midi, bool read, int &code,
                std::string &error) {
    std::string score = job.workspace.tempDir + "score";
    ScoreRequest request{scoreTitle(job.input), settingDecimal(config.settings, "Resolution", 4),
                         isCompressedScoreName(job.scoreOutput)};
    if (read && writeScoreFile(midi, request, score, error))
        return placeFile(score, job.scoreOutput, config.force, code, error);
    code = exitStatus(ExitCode::WriteFailed);
    error = "The score " + job.scoreOutput + " could not be written: " +
            (read ? error : "the engine's MIDI file cannot be read") + ".";
    return false;
}

}  // namespace

void stageSettle(Job &job, const BatchConfig &config) {
    if (stopAtOnce())
        return failInterrupted(job);
    std::string error;
    MidiContent midi;
    bool read = readMidiFile(job.refinement.midiPath, midi, error);
    if (!read)
        midi = MidiContent{};
    Outcome &out = job.outcome;
    out = Outcome{settledCode(job), summaryParagraph(reportOf(job, config.settings, midi)), OutcomeKind::Summary, false};
    int code = 0;
    bool placed = true;
    if (!job.scoreOutput.empty() && !placeScore(job, config, midi, read, code, error))
        out.code = std::max(out.code, code), out.message = error, placed = false;
    if (job.keepMidi && !placeFile(job.refinement.midiPath, job.output, config.force, code, error))
        out.code = std::max(out.code, code), out.message = error, placed = false;
    if (!placed && stopAtOnce())
        failInterrupted(job);  // a stop ended the wait for a pipe's reader
}
