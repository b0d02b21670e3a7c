// Analysis set-up: validates every setting and derives the run's parameters.
#include <cmath>
#include <sys/stat.h>

#include "engine/finish.h"
#include "input/input.h"

namespace {

const int TonicByKeySignature[15] = {11, 6, 1, 8, 3, 10, 5, 0, 7, 2, 9, 4, 11, 6, 1};
const int MajorScale[12] = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1};

int saturate(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

// Defaults and forced values that depend on the analysis path.
void applyPathDefaults() {
    Settings &s = settings;
    if (s.PitchMode == 999) s.PitchMode = 16;
    if (s.KeyMin == 999) s.KeyMin = 24;
    if (s.KeyMax == 999) s.KeyMax = 96;
    if (s.Filter == -1) {
        if (s.OutputThreshold == 999) s.OutputThreshold = 6;
        if (s.Gain == 999.0f) s.Gain = 200.0f;
        derived.levelCeiling = 508;
    } else {
        if (s.OutputThreshold == 999) s.OutputThreshold = 3;
        if (s.Gain == 999.0f) s.Gain = 100.0f;
        s.VirtualSR = FilterVirtualSR;
        s.ClusterDetect = 0;
        s.BufferIncrement = 1;
        s.PhaseMult = 3;
        s.BufferSize = FilterBufferSize;
        derived.levelCeiling = FilterLevelCeiling;
    }
    derived.levelScale = static_cast<float>(32768.0 / derived.levelCeiling);
}

// The WAV formats the engine reads.
void checkFormat() {
    int detail = waveFormatDetail(settings.Tracks, settings.Rate, settings.BitsPerSample);
    if (detail != 0) finish(CodeWaveFormat, detail);
}

// Flags become 0 or 1.
void normaliseFlags() {
    Settings &s = settings;
    for (int *flag : {&s.AGC, &s.AutoDetectKey, &s.CropSilence, &s.ClusterDetect, &s.PauseBetweenNotes,
                      &s.VelocityOn, &s.VelocityOff, &s.MajorMinor, &s.Constrain})
        if (*flag != 0) *flag = 1;
}

// Analysis rate and stride.
void deriveRates() {
    Settings &s = settings;
    derived.sampleFormat = s.BitsPerSample + s.Tracks;
    s.VirtualSR = analysisRateFor(s.VirtualSR, s.Rate);
    derived.inputStride = inputStrideFor(s.Rate, s.VirtualSR, s.Tracks, s.BitsPerSample);
    s.ReferencePitch = referencePitchInRange(s.ReferencePitch);
    if (s.PhaseMult < 1 || s.PhaseMult > 9) s.PhaseMult = 3;
}

// Detector step and key range; returns P, the period of KeyMin at 11025 Hz.
int deriveKeyRange() {
    Settings &s = settings;
    int N = s.VirtualSR / 2;
    double R = N / keyFrequency(s.KeyMax);
    if (s.BufferIncrement < 1) s.BufferIncrement = truncInt((R + 1) * 0.5);
    if (s.BufferIncrement > R) s.BufferIncrement = truncInt(R);
    if (s.BufferIncrement == 0) s.BufferIncrement = 1;
    derived.phaseSpan = saturate(static_cast<int64_t>(s.PhaseMult) * s.BufferIncrement);
    derived.highestKeyByRate =
        truncInt(69 + 17.31234049066757 * std::log(static_cast<double>(N) / s.BufferIncrement / s.ReferencePitch));
    if (s.StereoPan < 0) s.StereoPan = 0;
    if (s.StereoPan > 100) s.StereoPan = 100;
    derived.leftWeight = 100 - s.StereoPan;
    if (s.KeyMin < 1) s.KeyMin = 1;
    int P = truncInt(11025 / keyFrequency(s.KeyMin));
    if (s.KeyMax < s.KeyMin) s.KeyMax = s.KeyMin;
    if (s.KeyMax > 127) s.KeyMax = 127;
    if (s.KeyMax > derived.highestKeyByRate) s.KeyMax = derived.highestKeyByRate;
    if (s.InputThreshold < 1 || s.InputThreshold > 32767) s.InputThreshold = 1;
    derived.keyColumns = s.KeyMax >= s.KeyMin ? s.KeyMax + 1 : 1;
    return P;
}

// Frame geometry.
void deriveFrameGeometry(int P) {
    Settings &s = settings;
    Derived &d = derived;
    if (s.Filter == -1) {
        if (s.BufferSize < P || s.BufferSize > 16 * static_cast<int64_t>(P))
            s.BufferSize = truncInt(static_cast<double>(s.KeyMin) * P * 0.16666666666666666);
        d.framePad = truncInt(1.5 * s.VirtualSR / keyFrequency(s.KeyMin) + 0.5);
        d.frameCore = s.BufferSize + d.framePad;
        d.frameLength = s.BufferSize + 2 * d.framePad;
    } else {
        d.framePad = 0;
        d.frameCore = d.frameLength = s.BufferSize;
    }
    d.framePadBytes = static_cast<int64_t>(d.framePad) * d.inputStride;
    d.frameSpanBytes = static_cast<int64_t>(d.frameCore) * d.inputStride;
}

// The analysed region of the file.
void deriveRegion() {
    Settings &s = settings;
    Derived &d = derived;
    if (!std::isfinite(s.StartPoint)) s.StartPoint = 0;
    if (!std::isfinite(s.EndPoint)) s.EndPoint = 0;
    int A = sampleFrameBytes(s.Tracks, s.BitsPerSample);
    double M = static_cast<double>(d.waveDataLength) / A / s.Rate - static_cast<double>(d.frameLength) / s.VirtualSR;
    double start = s.StartPoint;
    if (s.EntireWave != 0) {
        start = 0;
        s.EndPoint = M;
    }
    start = regionStart(start, M, static_cast<double>(d.waveDataLength) / A / s.Rate);
    d.startByte = startByteAt(start, s.Rate, A, d.waveDataOffset);
    if (s.EndPoint <= start) s.EndPoint = M;
    if (s.EndPoint > M) s.EndPoint = M;
    d.endByte = truncInt64(s.EndPoint * s.Rate * A + d.waveDataOffset + 0.5);
}

// The musical grid.
void deriveGrid() {
    Settings &s = settings;
    Derived &d = derived;
    s.TimeSignatureNumerator = numeratorInRange(s.TimeSignatureNumerator);
    if (s.ChordRes < 1 || s.ChordRes > 99) s.ChordRes = s.TimeSignatureNumerator;
    s.TimeSignatureDenominator = denominatorInRange(s.TimeSignatureDenominator);
    s.Tempo = tempoInRange(s.Tempo);
    d.beatsPerSecond = s.Tempo * 0.016666666666666666;
    s.Sensitivity = sensitivityInRange(s.Sensitivity);
    d.framesPerStep = 1 << s.Sensitivity;
    if (s.MinimumLength < 1) s.MinimumLength = truncInt(2.5 + 0.5 * (s.Sensitivity - 1));
    s.Resolution = resolutionInRange(s.Resolution);
    double Q = std::pow(2.0, static_cast<double>(s.Resolution));
    if (s.MinimumLength > Q + 0.5) s.MinimumLength = truncInt(Q + 0.5);
    d.stepsPerBar = gridStepsPerBar(s.Resolution, s.TimeSignatureDenominator, s.TimeSignatureNumerator);
    d.framesPerBeat = gridFramesPerBeat(s.Sensitivity, s.Resolution, s.TimeSignatureDenominator);
    d.samplesPerFrame = fixedFrameHop(s.VirtualSR, d.framesPerBeat, d.beatsPerSecond);
}

// The output settings.
void deriveOutput() {
    Settings &s = settings;
    Derived &d = derived;
    if (s.OutputThreshold < 1 || s.OutputThreshold > 127) s.OutputThreshold = 3;
    if (s.PitchMode < 0 || s.PitchMode > 128) s.PitchMode = 128;
    if (s.Channel < 1 || s.Channel > 16) s.Channel = 1;
    s.Channel -= 1;
    if (s.Patch < 0 || s.Patch > 127) s.Patch = s.Filter;
    if (s.Patch < 0 || s.Patch > 127) s.Patch = 0;
    s.Speed = speedInRange(s.Speed);
    s.Speed = d.speedFactor = static_cast<float>(s.Speed * 0.01);
    if (s.Transpose < -127 || s.Transpose > 127) s.Transpose = 0;
    if (s.PitchMode == 0) {
        int v = 60 + s.Transpose;
        if (v > 127) v -= 12 * ((v - 116) / 12);
        if (v < 0) v += 12 * ((11 - v) / 12);
        d.rhythmNote = v;
    }
    if (s.KeySignature < -7 || s.KeySignature > 8) {
        s.KeySignature = 0;
        s.Constrain = 0;
    }
    if (s.Gain <= 0) s.Gain = 100.0f;
    if (s.Gain > 999) s.Gain = 999.0f;
    s.Gain = d.gainFactor = static_cast<float>(s.Gain * 0.01);
    if (s.VelocityOn == 0 || s.VelocityOff == 0) {
        d.fixedVelocity = truncInt(32 * static_cast<double>(d.gainFactor) + 0.5);
        if (d.fixedVelocity == 0) d.fixedVelocity = 1;
        if (d.fixedVelocity > 127) d.fixedVelocity = 127;
    }
}

// Analysis frames per beat at the speed, from the run's format and grid.
double runFramesAtSpeed() {
    const Settings &s = settings;
    const Derived &d = derived;
    return framesAtSpeed(s.Rate, s.Tracks, s.BitsPerSample, d.inputStride, d.samplesPerFrame, d.beatsPerSecond,
                         d.speedFactor);
}

// The MIDI time base must be expressible in the header.
void checkTimeBase() {
    TimeBase tb;
    int detail = timeBaseDetail(runFramesAtSpeed(), derived.beatsPerSecond, derived.framesPerStep, tb);
    if (detail != 0) finish(CodeTimeBase, detail);
}

// The keys that may be reported.
void buildAllowedKeys() {
    Settings &s = settings;
    Derived &d = derived;
    d.allowedKeys = static_cast<int32_t *>(allocZeroed(d.keyColumns, sizeof(int32_t), 12));
    if (s.KeySignature < 8) {
        d.tonicPitchClass = TonicByKeySignature[s.KeySignature + 7];
    } else {
        s.Constrain = 0;
        s.MajorMinor = 0;
    }
    if (s.Constrain == 1) s.AutoDetectKey = 0;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k)
        d.allowedKeys[k] = s.Constrain == 1 ? MajorScale[((k - d.tonicPitchClass) % 12 + 12) % 12] : 1;
}

}  // namespace

int waveFormatDetail(int tracks, int rate, int bitsPerSample) {
    if (tracks != 1 && tracks != 2) return 9;
    if (!isAnalysisRate(rate)) return 10;
    if (bitsPerSample != 8 && bitsPerSample != 16) return 11;
    return 0;
}

std::string defaultMidiName(const std::string &waveFile) {
    size_t slash = waveFile.find_last_of('/');
    size_t dot = waveFile.find_last_of('.');
    std::string name = waveFile;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.erase(dot);
    name += ".mid";
    if (name == waveFile) name += ".mid";
    return name;
}

void midiTimeBase(double &b, int64_t &c, int64_t &t) {
    TimeBase tb;
    timeBaseDetail(runFramesAtSpeed(), derived.beatsPerSecond, derived.framesPerStep, tb);
    b = tb.ticks;
    c = tb.ticksRounded;
    t = tb.tickMicros;
}

void deriveAnalysis() {
    checkFormat();
    normaliseFlags();
    deriveRates();
    int P = deriveKeyRange();
    deriveFrameGeometry(P);
    deriveRegion();
    deriveGrid();
    openTempoFile();
    Derived &d = derived;
    d.blockLength = truncInt(settings.ChordRes * d.framesPerBeat + 0.5);
    if (d.blockLength == 0) d.blockLength = 1;
    deriveOutput();
    checkTimeBase();
    buildAllowedKeys();
}

void setupAnalysis(const char *settingsPath) {
    resetSettings();
    readSettings(settingsPath);
    if (settings.MidiFile.empty() && !settings.WaveFile.empty())
        settings.MidiFile = defaultMidiName(settings.WaveFile);
    if (settings.Filter != -1) loadFilterRecord();
    applyPathDefaults();
    if (settings.WaveFile.empty()) finish(CodeOpenFailure, 23);
    if (!readWaveHeader()) derived.waveDataOffset = 0;
    deriveAnalysis();
}
