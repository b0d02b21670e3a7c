// Building the score of a MIDI file: grid, pick-up, measures, staves,
// voices, spelling, tempo marks and chord symbols.
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

// Chord symbols of the markers, moved by shift; a repeat of the chord before is left out.
std::vector<ChordSymbol> chordSymbols(const MidiContent &midi, const Score &score, int64_t shift) {
    std::vector<ChordSymbol> chords;
    const ScoreMeasure &last = score.measures.back();
    for (const MidiMarker &marker : midi.markers) {
        ChordSymbol c;
        c.at = std::max<int64_t>(0, stepOfTick(score.grid, midi.division, marker.tick) - shift);
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

// Tempo marks moved by shift; marks that fall before the pick-up collapse onto its start.
std::vector<TempoMark> shiftedTempos(std::vector<TempoMark> marks, int64_t shift) {
    std::vector<TempoMark> out;
    for (TempoMark m : marks) {
        m.at = std::max<int64_t>(0, m.at - shift);
        if (!out.empty() && out.back().at == m.at)
            out.pop_back();
        out.push_back(m);
    }
    return out;
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
    score.fifths = midi.hasKeySignature ? std::clamp(midi.keySignature, -7, 7) : 0;
    score.minor = midi.hasKeySignature && midi.mode == 1;
    std::vector<ScoreNote> notes = snapNotes(midi, score.grid);
    int64_t shift = pickupShift(notes, score.grid), lastEnd = 0;
    for (ScoreNote &n : notes) {
        n.start -= shift;
        n.end -= shift;
        lastEnd = std::max(lastEnd, n.end);
    }
    if (lastEnd / score.grid.barSteps > MaxMeasures) {
        error = "its notes would fill more than " + std::to_string(MaxMeasures) + " measures";
        return false;
    }
    score.measures = layMeasures(score.grid, shift, lastEnd);
    score.staves = chooseStaves(notes, score.program, score.singleClef);
    if (score.staves == 2)
        splitStaves(notes);
    for (int staff = 1; staff <= score.staves; ++staff) {
        std::vector<std::vector<VoiceChord>> voices = assignVoices(notes, staff);
        fillMeasures(score, voices[0], staff, 1);
        fillMeasures(score, voices[1], staff, 2);
    }
    spellScore(score);
    score.tempos = shiftedTempos(tempoMarks(midi, score.grid), shift);
    score.chords = chordSymbols(midi, score, shift);
    return true;
}
