// Spectral analysis: tables, key detector, frame analysis, chord estimate,
// harmonic attribution and template pursuit.
#pragma once

#include <cstdint>

constexpr int RatioTableSize = 508;
constexpr int HarmonicTableSize = 1536;  // harmonics 2..1535
constexpr int KeyLimit = 128;

// Per-key record of the detector tables.
struct KeyRecord {
    int32_t halfPeriod;
    int32_t quarterSteps;
    int32_t slotStart;
    float keyWeight;
};

// Where the detector finds one key's reference values of the fit's sample
// pairs: for each residue of (quarterSteps + phase) modulo the pair span, the
// entries the pairs read, stored contiguously.
struct PairLayout {
    int64_t reference;  // first entry in PairReference
    int64_t energy;     // first entry in PairEnergy (phase -quarterSteps)
    int32_t length;     // entries per residue
};

// Tables built once before the frame loop.
struct AnalysisTables {
    int32_t HarmonicOffsets[HarmonicTableSize];
    int HarmonicCount;
    float RatioTable[RatioTableSize];
    int32_t TriangularTable[RatioTableSize];
    KeyRecord *KeyTable;          // keyColumns records
    int32_t *ReferenceTable;      // one slot per key, plus one entry
    int64_t referenceSize;
    int32_t SlotLength;
    int32_t pairCount;          // sample pairs of the fit: BufferSize / BufferIncrement
    PairLayout *PairTables;     // keyColumns records
    int32_t *PairReference;     // the pairs' reference values, residue by residue
    int64_t *PairEnergy;        // sum of the squared reference values per key and phase
    int32_t *PairSamples;       // the current key's filtered samples at the pairs
};

// The key detector's input and output.
struct DetectorResult {
    int32_t level;
    int32_t phase;
    int32_t key;
    int32_t sign;  // +1 when the fit matched +reference, else -1
};

struct Triad {
    int32_t minor;
    int32_t root;
    int32_t third;
    int32_t fifth;
};

// Working buffers and per-block state of the analysis.
struct AnalysisState {
    int32_t *FrameSamples;   // frameLength + 2 samples
    int32_t *FilteredFrame;  // BufferSize + 2 samples
    int32_t *LevelMatrix;    // blockLength rows of keyColumns levels
    int32_t WorkingMask[KeyLimit];
    Triad TriadTable[24];
    int32_t ChordIndex;
    char chordName[4];
    int32_t ChordWeights[12];
    int64_t BlockPitchSums[12];
    int64_t PitchClassTotals[12];
    int32_t CarryLevels[KeyLimit];
    int32_t AttributionMatrix[KeyLimit * KeyLimit];
    double WorkingLevels[113];
};

extern AnalysisTables tables;
extern AnalysisState analysis;

/** Pointer to row r of the level matrix. */
int32_t *levelRow(int r);

/** Fills `HarmonicOffsets` and sets `HarmonicCount`. */
void buildHarmonicOffsets();
/** Fills `RatioTable` and `TriangularTable`. */
void buildSearchTables();
/** Computes `SlotLength`, allocates and fills `KeyTable` and `ReferenceTable`. */
void buildKeyTables();

/** Lays out the reference values and energies of the fit's sample pairs (again after `ReferenceTable` changed). */
void buildPairTables();
/** Frees the pair tables. */
void releasePairTables();
/** Frees `KeyTable`, `ReferenceTable` and the pair tables. */
void releaseKeyTables();

/** Measures one key on the current frame: level, phase and sign of the best fit. */
void detectKey(DetectorResult &result);

/** Fills row `CurrentRow` of the level matrix from the current frame. */
void analyseFrame();
/** Fills row `CurrentRow` with the raw level of every key (filter path). */
void measureAllKeys();

/** Start flag: builds `TriadTable`; otherwise estimates the chord of rows 0..`CurrentRow`. */
void postProcessBlock(int start);
/** Name of a triad under the current key signature (flat or sharp names). */
const char *triadName(const Triad &triad);

/** Start flag: clears `CarryLevels`; otherwise decides the strengths of row `CurrentRow`. */
void attributeHarmonics(int start);

/** Decides the strengths of row `CurrentRow` by template pursuit. */
void pursueTemplates();
