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
    int16_t *PairReference;     // the pairs' reference values, residue by residue
    int64_t *PairEnergy;        // sum of the squared reference values per key and phase
    int64_t *PairStart;         // where in PairReference the pairs' values start, per key and phase
    int32_t referenceBound;     // largest magnitude in PairReference
};

// One analysis thread's working state: its frame, the signal measured at the
// fit's pairs (kept while the frame and the comb lag stay the same), and the
// row and key mask it fills.
struct FrameWork {
    int32_t *frame;          // frameLength + 2 samples
    int32_t *row;            // the level-matrix row to fill
    int32_t *mask;           // KeyLimit entries: the working mask
    int32_t *runs;           // the frame split by residue modulo BufferIncrement
    int32_t runLength;       // entries per residue run; 0 while the runs are stale
    int32_t frameBound;      // largest sample magnitude, when the runs are fresh
    int32_t *pairs;          // the measured signal at the pairs
    int16_t *narrowPairs;    // the same, when every value fits 16 bits
    int32_t chunk;           // terms per 32-bit partial cross sum; 0 when the pairs are not narrow
    int32_t lag;             // comb lag of the pairs, 0 for the unfiltered frame, -1 when stale
    int64_t sumYY;           // energy of the pairs
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
    int32_t *LevelMatrix;    // rows of keyColumns levels: the block's, or the held ones and spare ones
    int32_t heldRows;        // block rows the matrix holds when it cannot hold them all, else 0
    int32_t heldFrom;        // the block row in the matrix's first row
    int32_t spareRow;        // the matrix row that takes a row beyond the held ones
    int64_t DroppedPitchSums[12];  // pitch-class sums of the rows measured beyond the held ones
    int32_t WorkingMask[KeyLimit];
    Triad TriadTable[24];
    int32_t ChordIndex;
    char chordName[4];
    int32_t ChordWeights[12];
    int64_t BlockPitchSums[12];
    int64_t PitchClassTotals[12];
    int32_t CarryLevels[KeyLimit];
    int32_t KeyStrengths[KeyLimit];  // the strengths decided for the row being tracked
    int32_t AttributionMatrix[KeyLimit * KeyLimit];
    double WorkingLevels[113];
    FrameWork work;          // scratch of the single-threaded calls below
};

extern AnalysisTables tables;
extern AnalysisState analysis;

/** Pointer to row r of the level matrix; a row that is not held gets the spare row. */
int32_t *levelRow(int r);
/** Whether the level matrix holds block row r. */
bool levelRowHeld(int r);
/** Adds a row's levels to the pitch-class sums. */
void addRowPitchSums(const int32_t *row, int64_t *sums);

/** Fills `HarmonicOffsets` and sets `HarmonicCount`. */
void buildHarmonicOffsets();
/** Fills `RatioTable` and `TriangularTable`. */
void buildSearchTables();
/** Computes `SlotLength`, allocates and fills `KeyTable` and `ReferenceTable` (the slots on
    up to `threads` threads) and the pair tables. */
void buildKeyTables(int threads);

/** Lays out the reference values and energies of the fit's sample pairs (again after `ReferenceTable` changed). */
void buildPairTables();
/** Frees the pair tables. */
void releasePairTables();
/** Frees `KeyTable`, `ReferenceTable` and the pair tables. */
void releaseKeyTables();

/** Measures one key on the current frame: level, phase and sign of the best fit; `FilteredFrame` gets the signal. */
void detectKey(DetectorResult &result);

/** Allocates the scratch of a frame work (its own frame when asked, runs, pairs) for the run's sizes. */
void allocateFrameWork(FrameWork &work, bool ownFrame);
/** Frees what `allocateFrameWork` allocated. */
void releaseFrameWork(FrameWork &work, bool ownFrame);
/** Forgets the measured signal: the frame has changed. */
void frameChanged(FrameWork &work);
/** Measures one key on the work's frame (the signal is filtered once per lag and frame). */
void detectKeyWith(FrameWork &work, DetectorResult &result);

/** Fills a row of the level matrix from `FrameSamples`. */
void analyseFrame(int row);
/** Fills a row of the level matrix with the raw level of every key of `FrameSamples` (filter path). */
void measureAllKeys(int row);
/** `analyseFrame` on a work's frame, row and mask. */
void analyseFrameWith(FrameWork &work);
/** `measureAllKeys` on a work's frame and row. */
void measureAllKeysWith(FrameWork &work);

/** Builds `TriadTable` for the key signature, before the first block. */
void buildTriadTable();
/** Estimates the chord of rows 0..lastRow of the level matrix, sets the chord weights and adds
    the pitch-class totals; returns the chord's name (4 bytes, NUL-padded, kept until the next block). */
const char *postProcessBlock(int lastRow);
/** Name of a triad under the current key signature (flat or sharp names). */
const char *triadName(const Triad &triad);

/** Clears `CarryLevels` before the first row. */
void resetAttribution();
/** Decides the note strength of every key KeyMin..KeyMax of a level-matrix row (which it
    uses up) into strengths, indexed by key. */
void attributeHarmonics(int32_t *row, int32_t *strengths);

/** Decides the note strength of every key KeyMin..KeyMax of a level-matrix row by template
    pursuit into strengths, indexed by key. */
void pursueTemplates(const int32_t *row, int32_t *strengths);
