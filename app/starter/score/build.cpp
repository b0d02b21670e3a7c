// Building the score of a MIDI file: grid, the file's pick-up, measures, staves,
// voices, spelling, tempo marks, chord symbols and dynamics.
#include "app/starter/score/score.h"

#include <algorithm>

namespace {

// More measures than this are refused: no transcription is that long.
constexpr int64_t MaxMeasures = 100000;

// A part name for the General MIDI programs the starter's instruments use.
std::string partName(int program) {
    if (program <= 7)
        return "Piano";
    switch (program) {
    case 19: return "Organ";
    case 24: return "Guitar";
    case 40: return "Violin";
    case 48: return "Strings";
    case 73: return "Flute";
    default: return "Music";
    }
}

// Chord symbols of the markers; a repeat of the chord before is left out.
std::vector<ChordSymbol> chordSymbols(const MidiContent &midi, const Score &score) {
    std::vector<ChordSymbol> chords;
    const ScoreMeasure &last = score.measures.back();
    for (const MidiMarker &marker : midi.markers) {
        ChordSymbol c;
        c.at = stepOfTick(score.grid, midi.division, marker.tick);
        if (c.at >= last.start + last.length || !parseChordName(marker.text, c))
            continue;
        if (!chords.empty() && chords.back().at == c.at)
            chords.pop_back();
        const ChordSymbol *before = chords.empty() ? nullptr : &chords.back();
        if (before && before->rootStep == c.rootStep && before->rootAlter == c.rootAlter &&
            before->kind == c.kind && before->bassStep == c.bassStep && before->bassAlter == c.bassAlter)
            continue;
        chords.push_back(c);
    }
    return chords;
}

}  // namespace

bool buildScore(const MidiContent &midi, double resolution, const std::string &title, Score &score,
                std::string &error) {
    score = Score{};
    if (!chooseGrid(midi, resolution, score.grid, error))
        return false;
    score.title = title;
    score.program = midi.program >= 0 && midi.program <= 127 ? midi.program : 0;
    score.partName = partName(score.program);
    int64_t pickup = pickupSteps(midi, score.grid), shift = pickup > 0 ? score.grid.barSteps - pickup : 0;
    // A file too long for a score is refused below; only one that fits is read for triplets, whose
    // steps are three times as many.
    if (stepOfTick(score.grid, midi.division, midi.lastTick) / score.grid.barSteps <= MaxMeasures)
        useTriplets(score.grid, chooseTripletBeats(midi, score.grid, shift));
    pickup *= score.grid.tuplet;
    shift *= score.grid.tuplet;
    std::vector<ScoreNote> notes = snapNotes(midi, score.grid, shift);
    int64_t lastEnd = 0;
    for (const ScoreNote &n : notes)
        lastEnd = std::max({lastEnd, n.end, n.released});
    if (lastEnd / score.grid.barSteps > MaxMeasures) {
        error = "its notes would fill more than " + std::to_string(MaxMeasures) + " measures";
        return false;
    }
    int64_t legato = score.grid.tuplet;
    score.staves = chooseStaves(notes, score.program, score.singleClef, score.clefOctave, legato);
    if (score.staves == 2) {
        splitStaves(notes, legato);
        holdAcrossStaves(notes);
    }
    lastEnd = 0;
    for (const ScoreNote &n : notes)
        lastEnd = std::max(lastEnd, n.end);
    score.measures = layMeasures(score.grid, shift, lastEnd);
    setMeasureKeys(score, midi);
    for (int staff = 1; staff <= score.staves; ++staff) {
        std::vector<std::vector<VoiceChord>> voices = assignVoices(notes, staff, legato);
        for (size_t v = 0; v < voices.size(); ++v) {
            ScoreGrid grid = voiceGrid(score.grid, voices[v]);
            closeShortGaps(grid, shift, notes, voices[v]);
            fillMeasures(score, grid, voices[v], staff, static_cast<int>(v) + 1);
        }
    }
    hideSilentVoicesRests(score);
    spellScore(score);
    ScoreTempo tempo = copyistTempo(tempoMap(midi, score.grid), score.measures);
    score.tempos = tempo.marks;
    score.tempoWords = tempo.words;
    score.chords = chordSymbols(midi, score);
    score.dynamics = dynamicMarks(midi, score.grid, shift);
    return true;
}
