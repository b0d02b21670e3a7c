// Shared set-up of the analysis tests: process-wide settings, derived values,
// tables and working buffers configured by hand, and released afterwards.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analysis.h"
#include "input/input.h"

namespace analysis_rig {

// Frees every buffer the analysis tests allocate and clears the analysis state.
inline void releaseAll() {
    releaseKeyTables();
    std::free(analysis.FrameSamples);
    std::free(analysis.FilteredFrame);
    std::free(analysis.LevelMatrix);
    std::free(derived.allowedKeys);
    std::memset(&tables, 0, sizeof tables);
    std::memset(FilterTable, 0, sizeof FilterTable);
    std::memset(&analysis, 0, sizeof analysis);
    derived.allowedKeys = nullptr;
}

// Filter path: the values the set-up forces whatever the settings say.
inline void configureFilterPath(int keyMin, int keyMax) {
    releaseAll();
    resetSettings();
    Settings &s = settings;
    Derived &d = derived;
    s.Filter = 0;
    s.VirtualSR = 11025;
    s.ReferencePitch = 440;
    s.PhaseMult = 3;
    s.BufferSize = 1350;
    s.BufferIncrement = 1;
    s.ClusterDetect = 0;
    s.KeyMin = keyMin;
    s.KeyMax = keyMax;
    s.OutputThreshold = 3;
    s.PitchMode = 16;
    d.levelCeiling = 127;
    d.levelScale = static_cast<float>(32768.0 / 127);
    d.phaseSpan = 3;
    d.framePad = 0;
    d.frameCore = d.frameLength = 1350;
    d.keyColumns = keyMax + 1;
}

// Resonator path with the geometry the set-up derives for a default BufferSize
// (or the one given, between one and sixteen periods of KeyMin).
inline void configureResonatorPath(int keyMin, int keyMax, int virtualSR = 11025, int bufferIncrement = 1,
                                   int phaseMult = 3, int bufferSize = 0) {
    releaseAll();
    resetSettings();
    Settings &s = settings;
    Derived &d = derived;
    s.Filter = -1;
    s.VirtualSR = virtualSR;
    s.ReferencePitch = 440;
    s.PhaseMult = phaseMult;
    s.BufferIncrement = bufferIncrement;
    s.KeyMin = keyMin;
    s.KeyMax = keyMax;
    s.OutputThreshold = 6;
    s.PitchMode = 16;
    const int P = truncInt(11025 / keyFrequency(keyMin));
    s.BufferSize = bufferSize >= P && bufferSize <= 16 * P ? bufferSize : truncInt(keyMin * P / 6.0);
    d.levelCeiling = 508;
    d.levelScale = static_cast<float>(32768.0 / 508);
    d.phaseSpan = phaseMult * bufferIncrement;
    d.framePad = truncInt(1.5 * virtualSR / keyFrequency(keyMin) + 0.5);
    d.frameCore = s.BufferSize + d.framePad;
    d.frameLength = s.BufferSize + 2 * d.framePad;
    d.keyColumns = keyMax + 1;
}

// Allocates the working buffers exactly as large as the engine does, every
// key allowed.
inline void allocateBuffers(int blockLength = 1) {
    Derived &d = derived;
    d.blockLength = blockLength;
    analysis.FrameSamples = static_cast<int32_t *>(std::calloc(d.frameLength + 2, sizeof(int32_t)));
    analysis.FilteredFrame = static_cast<int32_t *>(std::calloc(settings.BufferSize + 2, sizeof(int32_t)));
    analysis.LevelMatrix = static_cast<int32_t *>(std::calloc(static_cast<size_t>(d.keyColumns) * blockLength, sizeof(int32_t)));
    d.allowedKeys = static_cast<int32_t *>(std::calloc(d.keyColumns, sizeof(int32_t)));
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) d.allowedKeys[k] = 1;
}

// Builds the tables in the engine's order.
inline void buildTables() {
    if (settings.Filter == -1) buildHarmonicOffsets();
    buildSearchTables();
    buildKeyTables(2);
}

// Reference value of key k for analysis sample n at phase offset p.
inline int32_t reference(int k, int n, int p) {
    return tables.ReferenceTable[tables.KeyTable[k].slotStart + p + settings.PhaseMult * n];
}

// Cosine of amplitude `amplitude` x levelScale that continues key k's
// reference wave at phase p to any sample n (the frame's context included).
inline double continuedWave(int k, int n, int p, double amplitude) {
    const double period = settings.VirtualSR / keyFrequency(k);
    const int PM = settings.PhaseMult;
    const double step = static_cast<float>(6.2831853071796 / (period * PM));
    const int j = tables.KeyTable[k].quarterSteps + p + PM * n;
    return amplitude * derived.levelScale * std::sin(static_cast<double>(1.5707964f) + j * step);
}

// Writes `multiple` x key k's reference wave at phase p into the frame: the
// core from the table itself, the context samples from the continued cosine.
inline void addReferenceWave(int k, int p, int multiple) {
    const int pad = derived.framePad;
    for (int i = 1; i <= derived.frameLength + 1; ++i) {
        const int n = i - pad;
        const int32_t v = n >= 1 && n <= settings.BufferSize
                              ? multiple * reference(k, n, p)
                              : static_cast<int32_t>(std::lround(continuedWave(k, n, p, multiple)));
        analysis.FrameSamples[i] += v;
    }
}

// Adds a sine of the given frequency and amplitude to the whole frame.
inline void addSine(double frequency, double amplitude, double phase = 0.0) {
    for (int i = 1; i <= derived.frameLength + 1; ++i)
        analysis.FrameSamples[i] += static_cast<int32_t>(
            std::lround(amplitude * std::sin(2 * M_PI * frequency * i / settings.VirtualSR + phase)));
}

inline int32_t *row(int r = 0) { return levelRow(r); }

// Detector result for one key on the current frame.
inline DetectorResult detect(int k) {
    DetectorResult result = {-99, -99, k, 0};
    detectKey(result);
    return result;
}

// The strength the last decision gave key k.
inline int32_t strength(int k) { return analysis.KeyStrengths[k]; }

// Every key of 24..96 but the given ones has strength 0.
inline void expectOnly(std::initializer_list<std::pair<int, int>> strengths) {
    for (int k = 24; k <= 96; ++k) {
        int expected = 0;
        for (auto [key, value] : strengths)
            if (key == k) expected = value;
        EXPECT_EQ(strength(k), expected) << "key " << k;
    }
}

}  // namespace analysis_rig

// Base fixture: every test starts from and leaves clean process-wide state.
class AnalysisTest : public ::testing::Test {
protected:
    void TearDown() override { analysis_rig::releaseAll(); }
};
