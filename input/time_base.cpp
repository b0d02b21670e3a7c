// The MIDI time base: the range rules of the grid settings and the check that
// the grid's ticks and tempo fit a MIDI file. No run state: the set-up and the
// starter both take their verdict from here.
#include <cmath>

#include "input/input.h"

double tempoInRange(double tempo) { return !std::isfinite(tempo) || tempo <= 0 ? 120.0 : tempo; }

int sensitivityInRange(int sensitivity) { return sensitivity < 0 || sensitivity > 7 ? 1 : sensitivity; }

float resolutionInRange(float resolution) {
    if (std::isnan(resolution)) return 3.0f;
    if (resolution < 0) return 0.0f;
    if (resolution > 8) return 8.0f;
    return resolution;
}

int numeratorInRange(int numerator) { return numerator < 1 || numerator > 99 ? 4 : numerator; }

int denominatorInRange(int power) { return power < 0 || power > 6 ? 2 : power; }

float speedInRange(float speed) {
    if (speed <= 0) return 100.0f;
    if (speed > 999) return 999.0f;
    return speed;
}

bool isAnalysisRate(int rate) { return rate == 11025 || rate == 22050 || rate == 44100; }

int analysisRateFor(int virtualSR, int rate) {
    if (!isAnalysisRate(virtualSR) || virtualSR > rate) return rate;
    return virtualSR;
}

int inputStrideFor(int rate, int virtualSR, int tracks, int bitsPerSample) {
    return (rate / virtualSR) * sampleFrameBytes(tracks, bitsPerSample);
}

double gridFramesPerBeat(int sensitivity, float resolution, int denominatorPower) {
    return std::pow(2.0, sensitivity + static_cast<double>(resolution)) / std::pow(2.0, denominatorPower);
}

double framesAtSpeed(int rate, int tracks, int bitsPerSample, int inputStride, double samplesPerFrame,
                     double beatsPerSecond, float speedFactor) {
    return rate / (inputStride * samplesPerFrame) * (bitsPerSample / 8) * tracks / beatsPerSecond * speedFactor;
}

int timeBaseDetail(double frames, double beatsPerSecond, int framesPerStep, TimeBase &tb) {
    tb.frames = frames;
    tb.framesRounded = truncInt64(frames + 0.5);
    tb.frameMicros = truncInt64(tb.framesRounded * 1000000.0 / frames / beatsPerSecond);
    tb.ticks = frames / framesPerStep * TicksPerStep;
    tb.ticksRounded = truncInt64(tb.ticks + 0.5);
    tb.tickMicros = truncInt64(tb.ticksRounded * 1000000.0 / tb.ticks / beatsPerSecond);
    for (auto [rounded, micros] : {std::pair{tb.framesRounded, tb.frameMicros}, {tb.ticksRounded, tb.tickMicros}}) {
        if (rounded == 0) return 24;
        if (rounded > 32767) return 25;
        if (micros == 0) return 26;
        if (micros > 16777215) return 27;
    }
    return 0;
}

int timeBaseVerdict(Settings &s, int rate, int tracks, int bitsPerSample, TimeBase &tb) {
    int virtualSR = analysisRateFor(s.Filter == -1 ? s.VirtualSR : FilterVirtualSR, rate);
    int inputStride = inputStrideFor(rate, virtualSR, tracks, bitsPerSample);
    s.Tempo = tempoInRange(s.Tempo);
    s.Sensitivity = sensitivityInRange(s.Sensitivity);
    s.Resolution = resolutionInRange(s.Resolution);
    s.TimeSignatureDenominator = denominatorInRange(s.TimeSignatureDenominator);
    s.Speed = speedInRange(s.Speed);
    double beatsPerSecond = s.Tempo * 0.016666666666666666;
    double framesPerBeat = gridFramesPerBeat(s.Sensitivity, s.Resolution, s.TimeSignatureDenominator);
    double samplesPerFrame = fixedFrameHop(virtualSR, framesPerBeat, beatsPerSecond);
    float speedFactor = static_cast<float>(s.Speed * 0.01);
    double frames = framesAtSpeed(rate, tracks, bitsPerSample, inputStride, samplesPerFrame, beatsPerSecond,
                                  speedFactor);
    return timeBaseDetail(frames, beatsPerSecond, 1 << s.Sensitivity, tb);
}
