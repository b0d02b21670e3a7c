// The one stage of a MIDI input: there is nothing to transcribe, so its score
// is written with the writer of every run, from the notes, tempo map, metre
// and key the file holds, and moved into place like any output.
#include "app/starter/pipeline/stages.h"

#include <algorithm>
#include <utility>

#include "app/starter/cli/failures.h"
#include "app/starter/cli/messages.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/score/score_file.h"

namespace {

// A MIDI input as the MIDI standard reads it: its division counts quarter notes in every metre.
// Only the engine's own files count the metre's note value (6/8: eighths); they are told from the
// starter's by their 24 clocks a click in a metre other than x/4, which is also what most other
// programs write in 6/8. So the clicks are set to the starter's, whose division counts quarters.
MidiContent countingQuarters(MidiContent midi) {
    midi.clocksPerClick = clicksClocks(midi.numerator, midi.denominatorPower);
    return midi;
}


// Writes the score into the private folder and moves it into place; kind None when it is there.
Failure placeMidiScore(const FilePlan &file, const RunPlan &plan, const MidiContent &midi, int &bars) {
    std::string tempDir = makePrivateTempDir(), error;
    if (tempDir.empty())
        return failureOf(FailureKind::NoTempFolder);
    const std::string score = tempDir + "score";
    ScoreRequest request{scoreTitle(file.input), plan.grid, isCompressedScoreName(file.output)};
    Failure placed = writeScoreFile(midi, request, score, error, bars)
                         ? placeFile(score, file.output, plan.force)
                         : failureOf(FailureKind::ScoreNotWritten, file.output, error);
    removeTempDir(tempDir);
    return placed;
}

}  // namespace

Outcome stageScoreMidi(const FilePlan &file, const RunPlan &plan) {
    if (stopAtOnce())
        return outcomeOf(interrupted());
    Failure f = checkInput(file.input);
    if (f.kind == FailureKind::None)
        f = checkOutput(file.output, plan);
    MidiContent midi;
    std::string error;
    if (f.kind == FailureKind::None && !readMidiFile(file.input, midi, error))
        f = failureOf(FailureKind::MidiUnreadable, file.input, error);
    midi = countingQuarters(std::move(midi));
    MidiScoreReport report;
    report.input = file.input;
    report.output = file.output;
    report.notes = static_cast<int>(midi.notes.size());
    report.tempoGiven = !midi.tempos.empty();
    report.metreGiven = !midi.signatures.empty();
    report.cutShort = midi.cutShort;
    report.metre = metreName(midi.numerator, midi.denominatorPower);
    for (const MidiSignature &s : signaturesLeftOut(midi, plan.grid))
        if (std::find(report.metresLeftOut.begin(), report.metresLeftOut.end(),
                      metreName(s.numerator, s.denominatorPower)) == report.metresLeftOut.end())
            report.metresLeftOut.push_back(metreName(s.numerator, s.denominatorPower));
    if (f.kind == FailureKind::None)
        f = placeMidiScore(file, plan, midi, report.bars);
    if (f.kind != FailureKind::None)
        return outcomeOf(f);
    Outcome out{0, midiScoreSummary(report), OutcomeKind::Summary, false};
    out.notes = report.notes;
    return out;
}
