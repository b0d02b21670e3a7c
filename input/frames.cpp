// Where the analysis frames lie: the first byte of the analysed region, the
// grid's hop at a constant tempo, how a tempo file spaces the frames, and the
// advance from one frame to the next. No run state: the engine's set-up and
// frame loop and the starter's replay of the grid both take them from here.
#include <cmath>

#include "input/input.h"

double fixedFrameHop(int virtualSR, double framesPerBeat, double beatsPerSecond) {
    return virtualSR / (framesPerBeat * beatsPerSecond);
}

int gridStepsPerBar(float resolution, int denominatorPower, int numerator) {
    double q = std::pow(2.0, static_cast<double>(resolution)), b = std::pow(2.0, denominatorPower);
    return truncInt(q / b * numerator + 0.5);
}

TempoSpacing tempoSpacing(double framesPerBeat, int virtualSR) {
    TempoSpacing s{0, 0, 0.0f};
    s.framesPerValue = truncInt(framesPerBeat + 0.1);
    if (s.framesPerValue == 0) {
        s.valuesPerFrame = truncInt(1 / framesPerBeat + 0.5);
        s.sampleFactor = static_cast<float>(virtualSR * 0.001);
    } else {
        s.sampleFactor = static_cast<float>(virtualSR * 0.001 / s.framesPerValue);
    }
    return s;
}

double regionStart(double start, double latestStart, double audioSeconds) {
    if (start > latestStart) return 0;
    // A start further before the audio than the audio is long falls back to 0
    // like one beyond its end: it would only add hours of silent frames.
    if (start < -audioSeconds) return 0;
    return start;
}

int64_t startByteAt(double start, int rate, int frameBytes, int64_t dataOffset) {
    return truncInt64(start * rate * frameBytes + static_cast<double>(dataOffset) + 0.5);
}

TempoPace firstTempoPace(const TempoSpacing &s) { return TempoPace{0, s.framesPerValue, 0.0f}; }

double nextFramePosition(double position, double fixedHop, const TempoSpacing &s, TempoPace *pace,
                         int (*readValue)(void *), void *source) {
    if (!pace || pace->value == TempoFileEnd) return position + fixedHop;
    if (s.framesPerValue != 0) {
        if (pace->framesSinceValue == s.framesPerValue) {
            pace->value = readValue(source);
            pace->framesSinceValue = 0;
            pace->advance = static_cast<float>(pace->value * static_cast<double>(s.sampleFactor));
        }
        if (pace->value == TempoFileEnd) return position + fixedHop;
        pace->framesSinceValue += 1;
        return position + pace->advance;
    }
    int sum = 0;
    for (int i = 0; i < s.valuesPerFrame; ++i) sum += readValue(source);
    pace->value = sum;
    if (sum == TempoFileEnd) return position + fixedHop;
    return position + sum * static_cast<double>(s.sampleFactor);
}

int64_t frameByteAt(double position, int inputStride) { return truncInt64(position + 0.5) * inputStride; }
