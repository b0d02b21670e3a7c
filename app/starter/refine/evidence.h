// Attack evidence: how loud each piano key sounds in a recording every
// 10 ms, how sharply it rises, and where its attacks are. Two short-time
// spectra (FFTW): a short window gives the time of a rise, a long one the
// pitch; each key's first six partials are summed with weights 1/h.
// A long recording read from a file is swept block by block and keeps only
// its attacks and, over as many hops as a budget allows, the values of the
// keys the rules will ask about; the rest they ask for is measured again
// where it is needed (see probes.h). Samples in memory and short files keep
// every value.
#pragma once

#include <atomic>
#include <string>
#include <vector>

// The keys measured: MIDI notes 21 (A0) to 108 (C8).
constexpr int LowestPitch = 21;
constexpr int HighestPitch = 108;
constexpr int PitchCount = HighestPitch - LowestPitch + 1;
// How far below the loudest band the level floor lies, in dB.
constexpr double LevelFloorDb = 40;
// Partials measured per key.
constexpr int PartialCount = 6;
// Partials of a key whose own rise is kept: 1, 2 and 3.
constexpr int KeptPartials = 3;

// The farthest an attack's start lies before its steepest rise, in hops: 80 ms, the slowest swell
// of a bowed string or an organ pipe.
constexpr int RiseStartHops = 8;
// Hops of rises either side of a hop that decide the attack candidates found there (a rise start
// RiseStartHops before a peak 3 hops away, and one more to place it between hops).
constexpr int AttackReachHops = 12;

// One attack candidate: the time in seconds of the file where its short rise starts (the latency
// is not yet taken off), its strength in dB of rise, and its key's short rise where that strength
// peaks: how much its partials rose within 20-30 ms (a hammer or a pluck rises most of the way at
// once, a swell of a bow or a breath a little a hop). Sixteen bytes.
struct Attack {
    double time;
    float strength;
    float shortRise;
};

// The spectra's geometry at one sample rate.
struct EvidenceGeometry {
    int rate = 44100;
    int hop = 441;          // samples per 10 ms
    int shortSize = 2048;   // short window (timing)
    int longSize = 8192;    // long window (pitch)
    double referencePitch = 440;
};

// Where the values of a swept file are measured again: the file and its scale.
struct EvidenceSource {
    std::string path;          // the sound file; "" when the evidence keeps every value
    EvidenceGeometry geometry;
    float peak = 0;            // largest magnitude of its mono samples
    double longReference = 0;  // loudest bin power of the long window
    long frames = 0;           // sample frames read from it
};

// Values kept per key and hop for the probes of a swept file: the 1/h-weighted level, the level of
// partial 1, the long rise and the rises of partials 1..KeptPartials.
constexpr int CellValues = 3 + KeptPartials;
// A swept file keeps the values of the keys asked for over its first hops, at most this many bytes
// (about 45 s of 20 keys; the rest is measured again): with the sweep's rows of rises searched in
// blocks of 256 hops instead of 2048, the peak memory of a minute's run stays below what it was.
constexpr double KeptCellsBytes = 2 << 20;

// The cells a sweep kept: the probes on these keys within these hops are read, not measured again.
struct KeptCells {
    std::vector<int> slot;      // per key from LowestPitch: its place in a hop's row, -1 when not kept
    int keys = 0;               // keys kept per hop
    int hops = 0;               // hops [0, hops) kept
    std::vector<float> values;  // [(hop * keys + slot) * CellValues + value], values as above
};

// Everything measured in one recording. Per-key arrays hold one value per
// hop and key at [hop * PitchCount + pitch - LowestPitch]; they are empty
// for a file swept block by block.
struct AttackEvidence {
    double hopSeconds = 0.01;
    int hops = 0;
    std::vector<float> level;        // 1/h-weighted level of the partials, dB re the loudest band (>= -40)
    std::vector<float> fundamentalLevel;  // level of partial 1 alone, dB re the loudest band (>= -40)
    std::vector<float> longRise;     // rise over +-80 ms in the long window, weighted over the partials
    std::vector<float> partialRise;  // the same per partial 1..3: [(h - 1) * hops * PitchCount + ...]
    std::vector<float> shortRise;    // rise over 20-30 ms in the short window, weighted over the partials
                                     // (released once the candidates are found)
    std::vector<std::vector<Attack>> attacks;  // per key from LowestPitch, in time order
    EvidenceSource source;
    KeptCells cells;                 // of a swept file, the keys asked for at measuring
};

// The short and long rises of consecutive hops from hop `first` on, PitchCount values a hop.
struct RiseRows {
    int first = 0;
    const float *shortRise = nullptr;
    const float *longRise = nullptr;
};

/** The window sizes and hop for a sample rate: 2048 and 8192 samples at 44100 Hz, scaled. */
EvidenceGeometry geometryFor(int rate, double referencePitch);
// What the caller of measureFile will read: the keys (MIDI notes) its probes ask about, and whether
// it reads the attacks of those keys alone.
struct EvidenceRequest {
    std::vector<int> keys;
    bool onlyKeys = false;               // only these keys' attacks (and the levels they rest on) are measured
    double cellsBytes = KeptCellsBytes;  // room for the cells of a swept file
};

/** Measures a sound file mixed to mono, read block by block; a long one keeps only its attacks and,
 *  of the keys asked for, the cells over as many first hops as the request's room holds (the rest
 *  is measured again on demand). With onlyKeys the other keys have no attacks and their levels are
 *  not measured. False with a sentence, or when *stop is set. */
bool measureFile(const std::string &path, double referencePitch, AttackEvidence &e,
                 const std::atomic<bool> *stop, std::string &error, const EvidenceRequest &request = {});
/** Measures mono samples (any scale): levels, rises and attack candidates; false when *stop is set. */
bool measureSamples(std::vector<float> mono, const EvidenceGeometry &g, AttackEvidence &e,
                    const std::atomic<bool> *stop);
/** Finds the attack candidates from the rises (called by measureSamples). */
void findAttacks(AttackEvidence &e);
/** Appends the attack candidates at hops [from, to) of a recording of `hops` hops (with keys, of the
 *  keys flagged only, one flag per key from LowestPitch); the rows must cover the hops AttackReachHops
 *  either side (within the recording). The lists are sorted by time afterwards. */
void findAttacksIn(const RiseRows &rows, int hops, double hopSeconds, int from, int to,
                   std::vector<std::vector<Attack>> &attacks, const bool *keys = nullptr);
/** Sorts each key's attack candidates by time (stable). */
void sortAttacks(std::vector<std::vector<Attack>> &attacks);
/** A per-key array's value at hop (clamped into the recording) and pitch. */
float valueAt(const AttackEvidence &e, const std::vector<float> &v, int hop, int pitch);
