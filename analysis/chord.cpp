// Block post-processing: chord estimate, chord weights, pitch-class totals.
#include <cstring>

#include "analysis/analysis.h"
#include "input/input.h"

namespace {

// Preference lists: root offset above the tonic and the minor flag.
const int MajorKeyTriads[24][2] = {{0, 0}, {7, 0}, {5, 0},  {9, 1},  {4, 1}, {2, 1}, {0, 1},  {7, 1},
                                   {5, 1}, {10, 0}, {9, 0}, {4, 0},  {2, 0}, {11, 1}, {8, 0}, {3, 0},
                                   {8, 1}, {10, 1}, {1, 0}, {1, 1},  {11, 0}, {6, 1}, {3, 1}, {6, 0}};
const int MinorKeyTriads[24][2] = {{0, 1}, {7, 1},  {5, 1}, {8, 0},  {3, 0}, {10, 0}, {5, 0}, {0, 0},
                                   {7, 0}, {8, 1},  {2, 1}, {1, 0},  {10, 1}, {3, 1}, {9, 1}, {4, 1},
                                   {4, 0}, {1, 1},  {11, 0}, {11, 1}, {2, 0}, {6, 0},  {9, 0}, {6, 1}};

const char *const ChordNames[48] = {
    "C",  "Db",  "D",  "Eb",  "E",  "F",  "Gb",  "G",  "Ab",  "A",  "Bb",  "B",
    "Cm", "Dbm", "Dm", "Ebm", "Em", "Fm", "Gbm", "Gm", "Abm", "Am", "Bbm", "Bm",
    "C",  "C#",  "D",  "D#",  "E",  "F",  "F#",  "G",  "G#",  "A",  "A#",  "B",
    "Cm", "C#m", "Dm", "D#m", "Em", "Fm", "F#m", "Gm", "G#m", "Am", "A#m", "Bm"};

const int MajorChordWeights[12] = {1, 15, 5, 8, 4, 3, 32, 2, 8, 3, 8, 5};
const int MinorChordWeights[12] = {1, 15, 5, 4, 8, 3, 32, 2, 3, 8, 5, 8};

}  // namespace

void buildTriadTable() {
    const int T = settings.KeySignature == 8 ? 0 : derived.tonicPitchClass;
    const int(*list)[2] = settings.MajorMinor == 0 ? MajorKeyTriads : MinorKeyTriads;
    for (int n = 0; n < 24; ++n) {
        Triad &triad = analysis.TriadTable[n];
        const int offset = list[n][0];
        triad.minor = list[n][1];
        triad.root = (offset + T) % 12;
        triad.third = (offset + T + (triad.minor ? 3 : 4)) % 12;
        triad.fifth = (offset + T + 7) % 12;
    }
}

namespace {

// The held rows' sums and those of the rows measured beyond them.
void sumBlock(int lastRow) {
    for (int p = 0; p < 12; ++p) {
        analysis.BlockPitchSums[p] = analysis.DroppedPitchSums[p];
        analysis.DroppedPitchSums[p] = 0;
    }
    for (int r = 0; r <= lastRow && levelRowHeld(r); ++r) addRowPitchSums(levelRow(r), analysis.BlockPitchSums);
    if (settings.AutoDetectKey)
        for (int p = 0; p < 12; ++p) analysis.PitchClassTotals[p] += analysis.BlockPitchSums[p];
}

int bestTriad() {
    int64_t best = -1;
    int candidate = analysis.ChordIndex;
    const int64_t *sums = analysis.BlockPitchSums;
    for (int n = 0; n < 24; ++n) {
        const Triad &t = analysis.TriadTable[n];
        const int64_t score = sums[t.third] + sums[t.root] + sums[t.fifth];
        if (score > best) {
            best = score;
            candidate = n;
        }
    }
    return candidate;
}

}  // namespace

void addRowPitchSums(const int32_t *row, int64_t *sums) {
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) sums[k % 12] += row[k];
}

const char *triadName(const Triad &triad) {
    return ChordNames[triad.root + 12 * triad.minor + (settings.KeySignature < 0 ? 0 : 24)];
}

const char *postProcessBlock(int lastRow) {
    sumBlock(lastRow);
    analysis.ChordIndex = bestTriad();
    const Triad &chord = analysis.TriadTable[analysis.ChordIndex];
    std::memset(analysis.chordName, 0, sizeof analysis.chordName);
    std::strncpy(analysis.chordName, triadName(chord), 3);
    const int *weights = chord.minor ? MinorChordWeights : MajorChordWeights;
    for (int j = 0; j < 12; ++j) analysis.ChordWeights[(chord.root + j) % 12] = weights[j];
    return analysis.chordName;
}
