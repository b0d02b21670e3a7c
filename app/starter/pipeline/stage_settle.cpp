// The last stage: the summary of the run, then the score and the MIDI file
// moved from the private folder into place, never over a file that appeared
// meanwhile unless --force allows it.
#include "app/starter/pipeline/stages.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "app/starter/cli/listing.h"
#include "app/starter/cli/messages.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/notes/note_list.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/score/score_file.h"

namespace {

// Seconds of audio in the file: what its header says, or what could be decoded of it when less.
double audioSeconds(const FileResults &f) {
    double announced = f.workspace.audio.seconds, decoded = f.audio.decodedSeconds;
    return f.audio.converted && decoded > 0 ? std::min(announced, decoded) : announced;
}

// Seconds of audio the written notes stand for. Refined notes cover the region asked for, from the
// start asked for, also when the engine starts at the first downbeat found after it. The engine's own
// notes cover its region, from the start asked for when the engine starts on a bar line before it.
double analysedSeconds(const FileResults &f, double askedStart) {
    double duration = audioSeconds(f);
    double engineStart = f.files.settings.region.start;
    double start = f.refinement.refined ? askedStart : std::max(engineStart, askedStart);
    double end = f.files.settings.region.end;
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
double coveredSeconds(const FileResults &f, const MidiContent &midi, double askedStart) {
    double analysed = analysedSeconds(f, askedStart);
    if (f.run.code == 0)
        return analysed;
    double lastEnd = 0;
    for (const MidiNote &n : midi.notes)
        lastEnd = std::max(lastEnd, midiSeconds(midi, std::max(n.onTick, n.offTick)));
    return std::min(analysed, std::max(analysed * f.run.percent / 100.0, lastEnd));
}

// The exit code of a file whose MIDI file is written: the engine's, or 1 when a cancel stopped the refinement.
int settledCode(const FileResults &f) {
    return std::max(f.run.code, f.refinement.cancelled ? exitStatus(ExitCode::Cancelled) : 0);
}

// Where the tempo written into the MIDI file came from.
TempoSource tempoSourceOf(const FileResults &f) {
    if (f.beats.tempo.tracked)
        return TempoSource::Tracked;
    if (f.beats.ran)
        return TempoSource::Fallback;
    return f.files.tempoPath.empty() ? TempoSource::Given : TempoSource::Map;
}

// The key and the audio of the report, from the MIDI file, the final status line and the key asked for.
void describeKeyAndAudio(const FileResults &f, const KeyChoice &key, const MidiContent &midi, double askedStart,
                         RunReport &r) {
    const StatusLine &status = f.run.status;
    // The MIDI file writes "no key signature" as C major; the final status line keeps 8 for it.
    r.keySignature = isFinal(status.kind) ? status.keySignature : midi.hasKeySignature ? midi.keySignature : 8;
    r.mode = midi.hasKeySignature ? midi.mode : status.mode;
    r.keyDetected = key.detect;
    r.audioSeconds = coveredSeconds(f, midi, askedStart);
    r.elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - f.workspace.started).count();
    r.conversion = f.audio.converted ? f.workspace.audio.description : "";
    r.channels = f.workspace.audio.channels;
    r.nonFiniteSamples = f.audio.nonFiniteSamples;
    r.announcedSeconds = f.workspace.audio.statedSeconds;
    r.decodedSeconds = audioSeconds(f);
}

// The tempo of the report: the one the engine wrote, the beats followed, or why none was.
void describeTempo(const FileResults &f, RunReport &r) {
    const Settings &engine = f.files.settings.engine;
    r.tempo = engine.Tempo;
    r.tempoSource = tempoSourceOf(f);
    const TempoPlan &plan = f.beats.tempo;
    r.beats = plan.beatCount;
    if (plan.tracked)
        r.metre = planMetreWords(plan);
    // In compound time the engine's beat is the metre's note (the eighth in 6/8); people count the
    // dotted beat of three, as the MIDI file's click, the score and the note lists do, whether the
    // metre was found or given with a tempo of the engine's own beats.
    int numerator = plan.tracked ? plan.numerator : numeratorInRange(engine.TimeSignatureNumerator);
    int power = plan.tracked ? plan.denominatorPower : denominatorInRange(engine.TimeSignatureDenominator);
    r.dottedBeat = r.tempoSource != TempoSource::Fallback && compoundMetre(numerator, power);
    r.dottedPower = power - 1;
    // Beats followed: the median of the beats counted, as --beats lists them (a metre given over
    // another pulse leaves the engine's grid a little off three of its steps a beat).
    if (r.tempoSource == TempoSource::Tracked && plan.tracked)
        r.tempo = std::floor(plan.beatTempo * 100 + 0.5) / 100;
    else if (r.dottedBeat)
        r.tempo = std::floor(r.tempo / 3 * 100 + 0.5) / 100;
    r.tempoFallback = plan.fallback;
    if (r.tempoSource == TempoSource::Fallback)
        r.tempo = plan.tempo;
}

// Fills the report of a finished or cancelled run from the MIDI file and the status.
RunReport reportOf(const FilePlan &file, const RunPlan &plan, const FileResults &f, const MidiContent &midi) {
    RunReport r;
    r.input = file.input;
    r.output = file.output;
    r.scoreOutput = file.keepMidi ? file.scoreOutput : "";
    r.code = settledCode(f);
    r.percent = f.run.code == 0 ? 100 : f.run.percent;
    r.notes = static_cast<int>(midi.notes.size());
    for (const MidiNote &n : midi.notes) {
        r.lowest = std::min(r.lowest, n.key);
        r.highest = std::max(r.highest, n.key);
    }
    describeKeyAndAudio(f, plan.key, midi, plan.region.start, r);
    describeTempo(f, r);
    r.refined = f.refinement.refined;
    r.refineCancelled = f.refinement.cancelled;
    r.moved = f.refinement.counts.moved;
    r.split = f.refinement.counts.split;
    r.dropped = f.refinement.counts.dropped;
    r.added = f.refinement.counts.added;
    r.tuned = f.tuning.measured;
    r.tuningCents = f.tuning.cents;
    r.referencePitch = f.files.settings.engine.ReferencePitch;
    return r;
}

// Writes the score of the MIDI file into the private folder and moves it into place.
Failure placeScore(const FilePlan &file, const RunPlan &plan, const std::string &tempDir, const MidiContent &midi,
                   bool read) {
    std::string score = tempDir + "score", error;
    ScoreRequest request{file.title.empty() ? scoreTitle(file.input) : file.title, plan.grid, isCompressedScoreName(file.scoreOutput)};
    if (read && writeScoreFile(midi, request, score, error))
        return placeFile(score, file.scoreOutput, plan.force);
    return failureOf(FailureKind::ScoreNotWritten, file.scoreOutput, read ? error : "");
}

// Writes the note list of the MIDI file into the private folder and moves it into place.
Failure placeNoteList(const FilePlan &file, const RunPlan &plan, const std::string &tempDir, const MidiContent &midi,
                      bool read) {
    std::string list = tempDir + "notes", error;
    NoteList notes = noteListOf(midi);
    std::string key = notes.hasKey ? keyName(notes.fifths, notes.minor ? 1 : 0) : "";
    if (read && writeNoteList(notes, isJsonNoteList(file.notesOutput), key, list, error))
        return placeFile(list, file.notesOutput, plan.force);
    return failureOf(FailureKind::OutputNotWritten, file.notesOutput);
}

// True when an output is in place; else the outcome takes the failure's sentence, and its code when higher.
bool inPlace(Outcome &out, const Failure &failure) {
    if (failure.kind == FailureKind::None)
        return true;
    Outcome failed = outcomeOf(failure);
    out.code = std::max(out.code, failed.code);
    out.message = failed.message;
    return false;
}

}  // namespace

Failure placeFile(const std::string &from, const std::string &to, bool mayReplace) {
    OutputTarget kind = classifyOutput(to);
    if (kind == OutputTarget::Stream || kind == OutputTarget::StandardOutput) {
        if (streamFile(from, to, [] { return !stopAtOnce(); }))
            return Failure{};
        return failureOf(errno == EEXIST ? FailureKind::StreamRefused : FailureKind::StreamNotWritten, to,
                         std::strerror(errno));
    }
    bool placeable = kind != OutputTarget::Folder && kind != OutputTarget::Unwritable;
    if (!placeable)
        errno = EEXIST;
    if (placeable && moveFile(from, to, mayReplace))
        return Failure{};
    return failureOf(errno == EEXIST ? FailureKind::OutputAppeared : FailureKind::OutputNotWritten, to);
}

Outcome stageSettle(const FilePlan &file, const RunPlan &plan, const FileResults &f) {
    if (stopAtOnce())
        return outcomeOf(interrupted());
    std::string error;
    MidiContent midi;
    bool read = readMidiFile(f.refinement.midiPath, midi, error);
    if (!read)
        midi = MidiContent{};
    RunReport report = reportOf(file, plan, f, midi);
    Outcome out{settledCode(f), summaryParagraph(report), OutcomeKind::Summary, false};
    out.notes = report.notes;
    out.audioSeconds = report.audioSeconds;
    bool placed = true;
    if (!file.scoreOutput.empty())
        placed = inPlace(out, placeScore(file, plan, f.workspace.tempDir, midi, read));
    if (file.keepMidi)
        placed = inPlace(out, placeFile(f.refinement.midiPath, file.output, plan.force)) && placed;
    if (!file.notesOutput.empty())
        placed = inPlace(out, placeNoteList(file, plan, f.workspace.tempDir, midi, read)) && placed;
    if (!placed && stopAtOnce())
        return outcomeOf(interrupted());  // a stop ended the wait for a pipe's reader
    return out;
}
