// Analysis tables: harmonic offsets, the fit's lookup tables, key records
// and reference waves.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "analysis/analysis.h"
#include "engine/finish.h"
#include "input/input.h"

AnalysisTables tables;
AnalysisState analysis;

namespace {

const float C12 = 1.0f / 12.0f;

// Period of key k in analysis samples.
double keyPeriod(int k) { return settings.VirtualSR / keyFrequency(k); }

// Fills one key's slot with a cosine of amplitude `levelScale`.
void fillReferenceSlot(int64_t base, int64_t count, double period) {
    const double scale = derived.levelScale;
    const float step = static_cast<float>(6.2831853071796 / (period * settings.PhaseMult));
    double phase = 1.5707964f;
    for (int64_t j = 0; j < count; ++j) {
        tables.ReferenceTable[base + j] = truncInt(scale * std::sin(phase) + 0.5);
        phase += step;
    }
}

// Fills key k's slot. A run that reaches one entry into the next slot stops
// short of it, as the next key writes that entry; only the last key's run
// takes the table's extra entry.
void fillKeySlot(int k) {
    const KeyRecord &key = tables.KeyTable[k];
    const int64_t base = key.slotStart - key.quarterSteps;
    const int64_t run = static_cast<int64_t>(settings.PhaseMult) * settings.BufferSize + 2 * key.quarterSteps + 1;
    fillReferenceSlot(base, k < settings.KeyMax ? std::min<int64_t>(run, tables.SlotLength) : run, keyPeriod(k));
}

// Fills every key's slot, the keys shared among `threads` threads.
void fillReferenceSlots(int threads) {
    auto share = [threads](int t) {
        for (int64_t k = static_cast<int64_t>(settings.KeyMin) + t; k <= settings.KeyMax; k += threads)
            fillKeySlot(static_cast<int>(k));
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t) helpers.emplace_back(share, t);
    } catch (const std::system_error &) {
    }
    for (int t = static_cast<int>(helpers.size()) + 1; t < threads; ++t) share(t);  // shares of threads that did not start
    share(0);
    for (std::thread &helper : helpers) helper.join();
}

}  // namespace

bool levelRowHeld(int r) {
    return analysis.heldRows == 0 || (r >= analysis.heldFrom && r - analysis.heldFrom < analysis.heldRows);
}

int32_t *levelRow(int r) {
    const int64_t at = levelRowHeld(r) ? r - analysis.heldFrom : analysis.spareRow;
    return analysis.LevelMatrix + at * derived.keyColumns;
}

void buildHarmonicOffsets() {
    const double keys = static_cast<double>(settings.KeyMax) - settings.KeyMin + 1;
    int count = truncInt(std::pow(2.0, keys * static_cast<double>(C12)) + 1);
    if (count > HarmonicTableSize - 1) count = HarmonicTableSize - 1;
    if (count < 1) count = 1;
    tables.HarmonicCount = count;
    for (int i = 0; i < HarmonicTableSize; ++i)
        tables.HarmonicOffsets[i] = i >= 2 && i <= count ? static_cast<int32_t>(std::floor(12 * std::log2(i) + 0.5)) : 0;
}

void buildSearchTables() {
    tables.TriangularTable[0] = 0;
    for (int i = 0; i < RatioTableSize; ++i) {
        tables.RatioTable[i] = static_cast<float>(static_cast<double>(i) / (i + 1));
        if (i > 0) tables.TriangularTable[i] = tables.TriangularTable[i - 1] + (i - 1);
    }
}

void buildKeyTables(int threads) {
    const Settings &s = settings;
    const int PM = s.PhaseMult;
    const int keys = s.KeyMax >= s.KeyMin ? s.KeyMax - s.KeyMin + 1 : 0;
    const int64_t qmin = truncInt64(keyPeriod(s.KeyMin) * PM) / 4;
    const int64_t slotLength = static_cast<int64_t>(PM) * s.BufferSize + 2 * qmin;
    if (slotLength > INT32_MAX) finish(CodeNoMemory, 14);
    tables.SlotLength = static_cast<int32_t>(slotLength);
    tables.KeyTable = static_cast<KeyRecord *>(allocZeroed(derived.keyColumns, sizeof(KeyRecord), 13));
    tables.referenceSize = keys * slotLength + 1;
    tables.ReferenceTable = static_cast<int32_t *>(allocZeroed(tables.referenceSize, sizeof(int32_t), 14));
    int64_t base = 0;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        KeyRecord &key = tables.KeyTable[k];
        const double period = keyPeriod(k);
        key.keyWeight = static_cast<float>(std::pow(2.0, (k - 63.5) * (1.0 / 24)));
        key.halfPeriod = truncInt((period + 1) * 0.5);
        key.quarterSteps = truncInt(period * PM) / 4;
        key.slotStart = static_cast<int32_t>(base + key.quarterSteps);
        base += slotLength;
    }
    fillReferenceSlots(threads);
    buildPairTables();
}

namespace {

// Residues of (quarterSteps + phase) modulo the pair span that occur for a key.
int64_t residuesOf(int q, int64_t span) { return span < 2 * static_cast<int64_t>(q) + 1 ? span : 2 * q + 1; }

// Copies one key's pair reference values residue by residue and sums their squares per phase.
void layOutKey(int k, const PairLayout &layout, int64_t span, int64_t lastEntry) {
    const KeyRecord &key = tables.KeyTable[k];
    const int q = key.quarterSteps;
    const int64_t base = key.slotStart - q;
    const int m = tables.pairCount;
    for (int64_t rho = 0; rho < residuesOf(q, span); ++rho) {
        int16_t *values = tables.PairReference + layout.reference + rho * layout.length;
        for (int64_t i = 0; i < layout.length; ++i) {
            const int64_t entry = base + rho + span * i;
            const int32_t value = entry <= lastEntry ? tables.ReferenceTable[entry] : 0;
            values[i] = static_cast<int16_t>(value);  // at most levelScale + 1 in magnitude
            tables.referenceBound = std::max(tables.referenceBound, value < 0 ? -value : value);
        }
        std::vector<int64_t> prefix(layout.length + 1, 0);
        for (int64_t i = 0; i < layout.length; ++i) prefix[i + 1] = prefix[i] + static_cast<int64_t>(values[i]) * values[i];
        for (int64_t u = rho; u <= 2 * q; u += span) {
            tables.PairEnergy[layout.energy + u] = prefix[u / span + m + 1] - prefix[u / span + 1];
            tables.PairStart[layout.energy + u] = layout.reference + rho * layout.length + u / span + 1;
        }
    }
}

}  // namespace

void buildPairTables() {
    releasePairTables();
    const Settings &s = settings;
    const int64_t span = derived.phaseSpan;
    const int m = s.BufferSize / s.BufferIncrement;
    tables.pairCount = m;
    tables.PairTables = static_cast<PairLayout *>(allocZeroed(derived.keyColumns, sizeof(PairLayout), 14));
    tables.referenceBound = 0;
    int64_t references = 0, energies = 0;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        const int q = tables.KeyTable[k].quarterSteps;
        PairLayout &layout = tables.PairTables[k];
        layout.length = static_cast<int32_t>(2 * q / span + m + 1);
        layout.reference = references;
        layout.energy = energies;
        references += residuesOf(q, span) * layout.length;
        energies += 2 * q + 1;
    }
    // The detector's vector loops read up to 32 entries past a run (and multiply them by zeros).
    tables.PairReference = static_cast<int16_t *>(allocZeroed(references + 32, sizeof(int16_t), 14));
    tables.PairEnergy = static_cast<int64_t *>(allocZeroed(energies, sizeof(int64_t), 14));
    tables.PairStart = static_cast<int64_t *>(allocZeroed(energies, sizeof(int64_t), 14));
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        const int64_t slotEnd = tables.KeyTable[k].slotStart - tables.KeyTable[k].quarterSteps +
                                static_cast<int64_t>(s.PhaseMult) * s.BufferSize +
                                2 * tables.KeyTable[k].quarterSteps;
        layOutKey(k, tables.PairTables[k], span, slotEnd);
    }
    allocateFrameWork(analysis.work, false);
}

void releasePairTables() {
    for (void *block : {static_cast<void *>(tables.PairTables), static_cast<void *>(tables.PairReference),
                        static_cast<void *>(tables.PairEnergy), static_cast<void *>(tables.PairStart)})
        std::free(block);
    tables.PairTables = nullptr;
    tables.PairReference = nullptr;
    tables.PairEnergy = nullptr;
    tables.PairStart = nullptr;
    releaseFrameWork(analysis.work, false);
}

void releaseKeyTables() {
    releasePairTables();
    std::free(tables.ReferenceTable);
    std::free(tables.KeyTable);
    tables.ReferenceTable = nullptr;
    tables.KeyTable = nullptr;
}
