// Analysis set-up: path defaults, range checks, frame geometry, analysed
// region, musical grid, time-base checks and allowed keys, each run through
// the whole set-up on a real settings file and WAV file.
#include <climits>
#include <cmath>

#include "tests/input/input_rig.h"

namespace {

using input_rig::InputTest;
using input_rig::WavLayout;
using input_rig::wavBytes;

class AnalysisSetupTest : public InputTest {
protected:
    // A canonical silent WAV file; at least the 4132 bytes the header reader needs.
    std::string wav(int rate, int channels, int bits, double seconds = 0.5, const std::string &name = "in.wav") {
        WavLayout w;
        w.rate = rate;
        w.channels = channels;
        w.bits = bits;
        size_t bytes = static_cast<size_t>(seconds * rate) * channels * (bits / 8);
        char silence = bits == 8 ? static_cast<char>(128) : 0;
        writeFile(dir.file(name), wavBytes(w, std::string(bytes, silence)));
        return dir.file(name);
    }

    // 8-bit mono 11025 Hz with exactly 20 seconds of waveDataLength (82 bytes
    // more data than that, as the length is RIFF size - offset - 74).
    std::string twentySeconds() {
        WavLayout w;
        w.bits = 8;
        writeFile(dir.file("long.wav"), wavBytes(w, std::string(220500 + 82, static_cast<char>(128))));
        return dir.file("long.wav");
    }

    void setUpAgain(const std::string &wavPath, const std::string &lines) {
        input_rig::releaseInput();
        setUp(wavPath, lines);
    }

    bool allowed(int k) const { return derived.allowedKeys[k] != 0; }
};

TEST_F(AnalysisSetupTest, DefaultsOn44100Hz16BitStereo) {
    setUp(wav(44100, 2, 16));
    const Settings &s = settings;
    const Derived &d = derived;
    EXPECT_EQ(s.Tracks, 2);
    EXPECT_EQ(s.Rate, 44100);
    EXPECT_EQ(s.BitsPerSample, 16);
    EXPECT_EQ(d.sampleFormat, 18);
    EXPECT_EQ(s.VirtualSR, 44100);
    EXPECT_EQ(d.inputStride, 4);
    EXPECT_EQ(s.KeyMin, 24);
    EXPECT_EQ(s.KeyMax, 96);
    EXPECT_EQ(s.OutputThreshold, 6);
    EXPECT_EQ(s.PitchMode, 16);
    EXPECT_FLOAT_EQ(s.Gain, 2.0f);
    EXPECT_FLOAT_EQ(d.gainFactor, 2.0f);
    EXPECT_FLOAT_EQ(s.Speed, 1.0f);
    EXPECT_FLOAT_EQ(d.speedFactor, 1.0f);
    EXPECT_EQ(s.BufferIncrement, 5);
    EXPECT_EQ(d.phaseSpan, 15);
    EXPECT_EQ(d.highestKeyByRate, 108);
    EXPECT_EQ(s.BufferSize, 1348);
    EXPECT_EQ(d.framePad, 2023);
    EXPECT_EQ(d.frameCore, 1348 + 2023);
    EXPECT_EQ(d.frameLength, 5394);
    EXPECT_EQ(d.framePadBytes, 2023 * 4);
    EXPECT_EQ(d.frameSpanBytes, (1348 + 2023) * 4);
    EXPECT_EQ(d.levelCeiling, 508);
    EXPECT_EQ(d.levelScale, static_cast<float>(32768.0 / 508));
    EXPECT_EQ(d.leftWeight, 50);
    EXPECT_DOUBLE_EQ(d.beatsPerSecond, 2.0);
    EXPECT_EQ(d.framesPerBeat, 4.0);
    EXPECT_EQ(d.framesPerStep, 2);
    EXPECT_DOUBLE_EQ(d.samplesPerFrame, 5512.5);
    EXPECT_EQ(d.stepsPerBar, 8);
    EXPECT_EQ(s.ChordRes, 4);
    EXPECT_EQ(d.blockLength, 16);
    EXPECT_EQ(s.MinimumLength, 2);
    EXPECT_EQ(s.Channel, 0);
    EXPECT_EQ(s.Patch, 0);
    EXPECT_EQ(s.KeySignature, 8);
    EXPECT_EQ(s.MajorMinor, 0);
    EXPECT_EQ(s.AutoDetectKey, 1);
    EXPECT_EQ(d.fixedVelocity, 0);
    EXPECT_EQ(d.waveDataOffset, 44);
    EXPECT_EQ(d.waveDataLength, 88200 - 82);
    EXPECT_EQ(d.startByte, 44);
    EXPECT_EQ(d.endByte, 44 + 88118 - 5394 * 4);
    EXPECT_EQ(inputFiles.tempo, nullptr);
    EXPECT_NE(inputFiles.wave, nullptr);
    ASSERT_NE(d.allowedKeys, nullptr);
    for (int k = 0; k <= 96; ++k) EXPECT_EQ(d.allowedKeys[k], k >= 24 ? 1 : 0) << "key " << k;
    double b;
    int64_t c, t;
    midiTimeBase(b, c, t);
    EXPECT_DOUBLE_EQ(b, 96.0);
    EXPECT_EQ(c, 96);
    EXPECT_EQ(t, 500000);
}

TEST_F(AnalysisSetupTest, DefaultsOn11025HzFile) {
    setUp(wav(11025, 1, 16));
    EXPECT_EQ(settings.VirtualSR, 11025);
    EXPECT_EQ(derived.inputStride, 2);
    EXPECT_EQ(settings.BufferIncrement, 1);
    EXPECT_EQ(derived.phaseSpan, 3);
    EXPECT_EQ(derived.highestKeyByRate, 112);
    EXPECT_EQ(settings.BufferSize, 1348);
    EXPECT_EQ(derived.framePad, 506);
    EXPECT_EQ(derived.frameLength, 2360);
    EXPECT_DOUBLE_EQ(derived.samplesPerFrame, 1378.125);
}

TEST_F(AnalysisSetupTest, VirtualRateIsOneOfTheThreeRatesAndNeverAboveTheFileRate) {
    setUp(wav(44100, 1, 8), "VirtualSR=11025\n");
    EXPECT_EQ(settings.VirtualSR, 11025);
    EXPECT_EQ(derived.inputStride, 4);
    EXPECT_EQ(derived.sampleFormat, 9);
    setUpAgain(wav(11025, 1, 16), "VirtualSR=22050\n");
    EXPECT_EQ(settings.VirtualSR, 11025);
    EXPECT_EQ(derived.inputStride, 2);
    setUpAgain(wav(44100, 2, 16), "VirtualSR=12345\n");
    EXPECT_EQ(settings.VirtualSR, 44100);
    EXPECT_EQ(derived.inputStride, 4);
    setUpAgain(wav(44100, 2, 16), "VirtualSR=22050\n");
    EXPECT_EQ(settings.VirtualSR, 22050);
    EXPECT_EQ(derived.inputStride, 8);
}

TEST_F(AnalysisSetupTest, FilterPathForcesItsOwnValues) {
    setUp(wav(44100, 2, 16),
          "ExePath=" + dir.path + "/\nFilter=5\nVirtualSR=44100\nBufferSize=99\nBufferIncrement=9\n"
          "PhaseMult=7\nClusterDetect=1\n");
    const Settings &s = settings;
    const Derived &d = derived;
    EXPECT_EQ(s.Filter, 5);
    EXPECT_EQ(s.VirtualSR, 11025);
    EXPECT_EQ(d.inputStride, 16);
    EXPECT_EQ(s.BufferSize, 1350);
    EXPECT_EQ(s.BufferIncrement, 1);
    EXPECT_EQ(s.PhaseMult, 3);
    EXPECT_EQ(d.phaseSpan, 3);
    EXPECT_EQ(s.ClusterDetect, 0);
    EXPECT_EQ(d.framePad, 0);
    EXPECT_EQ(d.framePadBytes, 0);
    EXPECT_EQ(d.frameCore, 1350);
    EXPECT_EQ(d.frameLength, 1350);
    EXPECT_EQ(d.frameSpanBytes, 1350 * 16);
    EXPECT_EQ(d.levelCeiling, 127);
    EXPECT_EQ(d.levelScale, static_cast<float>(32768.0 / 127));
    EXPECT_EQ(s.OutputThreshold, 3);
    EXPECT_FLOAT_EQ(d.gainFactor, 1.0f);
    EXPECT_EQ(s.Patch, 5);
    EXPECT_EQ(s.KeyMin, 24);
    EXPECT_EQ(s.KeyMax, 96);
    EXPECT_EQ(s.PitchMode, 16);
}

TEST_F(AnalysisSetupTest, KeyRangeIsLimitedByTheAnalysisRate) {
    setUp(wav(11025, 1, 16), "VirtualSR=11025\nBufferIncrement=1\nKeyMax=120\n");
    EXPECT_EQ(derived.highestKeyByRate, 112);
    EXPECT_EQ(settings.KeyMax, 112);
    EXPECT_EQ(settings.BufferIncrement, 1);
    // KeyMax 200 on 44100 Hz: R is tiny, BufferIncrement ends at 1, KeyMax at 127.
    setUpAgain(wav(44100, 1, 16), "KeyMax=200\n");
    EXPECT_EQ(settings.BufferIncrement, 1);
    EXPECT_EQ(derived.highestKeyByRate, 136);
    EXPECT_EQ(settings.KeyMax, 127);
    // An explicit BufferIncrement above R is cut to trunc(R) = 10.
    setUpAgain(wav(44100, 1, 16), "BufferIncrement=20\n");
    EXPECT_EQ(settings.BufferIncrement, 10);
    EXPECT_EQ(derived.phaseSpan, 30);
    // KeyMax below KeyMin is raised to it; KeyMin below 1 becomes 1.
    setUpAgain(wav(11025, 1, 16), "KeyMin=-5\nKeyMax=0\n");
    EXPECT_EQ(settings.KeyMin, 1);
    EXPECT_EQ(settings.KeyMax, 1);
    EXPECT_EQ(derived.allowedKeys[0], 0);
    EXPECT_EQ(derived.allowedKeys[1], 1);
    // KeyMin 999 counts as absent.
    setUpAgain(wav(11025, 1, 16), "KeyMin=999\nGain=999\n");
    EXPECT_EQ(settings.KeyMin, 24);
    EXPECT_FLOAT_EQ(derived.gainFactor, 2.0f);
}

TEST_F(AnalysisSetupTest, KeyMinAboveTheReachableKeysLeavesAnEmptyKeyRange) {
    setUp(wav(11025, 1, 16), "KeyMin=120\n");
    EXPECT_EQ(settings.KeyMin, 120);
    EXPECT_EQ(settings.KeyMax, 112);
    ASSERT_NE(derived.allowedKeys, nullptr);
    EXPECT_GE(derived.keyColumns, 1);
    for (int k = 0; k < derived.keyColumns; ++k) EXPECT_EQ(derived.allowedKeys[k], 0);
    // A hugely negative KeyMax: f(KeyMax) is 0, BufferIncrement saturates,
    // and the rate limit drops KeyMax far below KeyMin.
    setUpAgain(wav(11025, 1, 16), "KeyMax=-99999999999\n");
    EXPECT_EQ(settings.BufferIncrement, INT_MAX);
    EXPECT_EQ(derived.highestKeyByRate, -259);
    EXPECT_EQ(settings.KeyMax, -259);
    EXPECT_EQ(settings.KeyMin, 24);
    EXPECT_GE(derived.keyColumns, 1);
}

TEST_F(AnalysisSetupTest, AnalysedRegionOfATwentySecondFile) {
    const std::string file = twentySeconds();
    const double M = 20 - 2360.0 / 11025;
    setUp(file, "StartPoint=2.0\nEndPoint=3.0\n");
    EXPECT_EQ(derived.waveDataLength, 220500);
    EXPECT_EQ(derived.frameLength, 2360);
    EXPECT_EQ(derived.startByte, 22094);
    EXPECT_EQ(derived.endByte, 33119);
    EXPECT_EQ(settings.EndPoint, 3.0);

    setUpAgain(file, "StartPoint=2.0\n");
    EXPECT_DOUBLE_EQ(settings.EndPoint, M);
    EXPECT_EQ(derived.endByte, 44 + 220500 - 2360);

    setUpAgain(file, "StartPoint=3,0\nEndPoint=2,5\n");
    EXPECT_EQ(derived.startByte, 33119);
    EXPECT_DOUBLE_EQ(settings.EndPoint, M);

    setUpAgain(file, "StartPoint=30\nEndPoint=25\n");
    EXPECT_EQ(derived.startByte, 44);
    EXPECT_DOUBLE_EQ(settings.EndPoint, M);

    setUpAgain(file, "StartPoint=-1.0\n");
    EXPECT_EQ(derived.startByte, -10980);
    EXPECT_EQ(settings.EndPoint, 0.0);
    EXPECT_EQ(derived.endByte, 44);

    setUpAgain(file, "EntireWave=1\nStartPoint=5\nEndPoint=6\n");
    EXPECT_EQ(derived.startByte, 44);
    EXPECT_DOUBLE_EQ(settings.EndPoint, M);
    EXPECT_EQ(derived.endByte, 44 + 220500 - 2360);

    setUpAgain(file, "StartPoint=nan\nEndPoint=inf\n");
    EXPECT_EQ(settings.StartPoint, 0.0);
    EXPECT_EQ(derived.startByte, 44);
    EXPECT_DOUBLE_EQ(settings.EndPoint, M);
}

TEST_F(AnalysisSetupTest, FileWithoutRiffHeaderHasNoWholeFrame) {
    WavLayout w;
    w.bits = 8;
    w.riff = "RIFX";
    writeFile(dir.file("raw.wav"), wavBytes(w, std::string(220582, static_cast<char>(128))));
    setUp(dir.file("raw.wav"));
    EXPECT_EQ(settings.Rate, 11025);
    EXPECT_EQ(settings.Tracks, 1);
    EXPECT_EQ(settings.BitsPerSample, 8);
    EXPECT_EQ(derived.waveDataOffset, 0);
    EXPECT_EQ(derived.waveDataLength, 0);
    EXPECT_EQ(derived.startByte, 0);
    EXPECT_EQ(derived.endByte, -2359);
}

TEST_F(AnalysisSetupTest, MusicalGridBlocksAndTempo) {
    setUp(wav(11025, 1, 16), "TimeSignatureNumerator=3\n");
    EXPECT_EQ(settings.ChordRes, 3);
    EXPECT_EQ(derived.blockLength, 12);
    EXPECT_EQ(derived.stepsPerBar, 6);

    setUpAgain(wav(11025, 1, 16), "ChordRes=3\nTempo=90\nSensitivity=2\nResolution=4\n");
    EXPECT_EQ(derived.framesPerBeat, 16.0);
    EXPECT_EQ(derived.framesPerStep, 4);
    EXPECT_EQ(derived.blockLength, 48);
    EXPECT_DOUBLE_EQ(derived.samplesPerFrame, 459.375);
    EXPECT_EQ(derived.stepsPerBar, 16);

    // 6/8: the beat is an eighth note.
    setUpAgain(wav(11025, 1, 16), "TimeSignatureNumerator=6\nTimeSignatureDenominator=3\nChordRes=100\n");
    EXPECT_EQ(settings.ChordRes, 6);
    EXPECT_EQ(derived.framesPerBeat, 2.0);
    EXPECT_EQ(derived.stepsPerBar, 6);
    EXPECT_EQ(derived.blockLength, 12);

    for (const char *tempo : {"0", "-5", "inf", "nan", "-inf"}) {
        setUpAgain(wav(11025, 1, 16), std::string("Tempo=") + tempo + "\n");
        EXPECT_EQ(settings.Tempo, 120.0) << tempo;
        EXPECT_DOUBLE_EQ(derived.samplesPerFrame, 1378.125) << tempo;
    }
}

TEST_F(AnalysisSetupTest, PatchFallsBackToFilterThenZero) {
    const std::string file = wav(11025, 1, 16);
    const std::string exePath = "ExePath=" + dir.path + "/\n";
    setUp(file, exePath + "Filter=40\n");
    EXPECT_EQ(settings.Patch, 40);
    setUpAgain(file, exePath + "Filter=40\nPatch=200\n");
    EXPECT_EQ(settings.Patch, 40);
    setUpAgain(file, exePath + "Filter=300\n");
    EXPECT_EQ(settings.Patch, 0);
    setUpAgain(file, "Patch=200\n");
    EXPECT_EQ(settings.Patch, 0);
    setUpAgain(file, "");
    EXPECT_EQ(settings.Patch, 0);
    setUpAgain(file, "Patch=127\nFilter=-1\n");
    EXPECT_EQ(settings.Patch, 127);
}

TEST_F(AnalysisSetupTest, RhythmNoteFoldsTransposedMiddleCIntoTheMidiRange) {
    const std::string file = wav(11025, 1, 16);
    const struct {
        int transpose;
        int note;
    } cases[] = {{100, 124}, {-100, 8}, {0, 60}, {67, 127}, {68, 116}, {-60, 0}, {-61, 11}, {-72, 0}, {128, 60}, {-128, 60}};
    for (const auto &c : cases) {
        setUpAgain(file, "PitchMode=0\nTranspose=" + std::to_string(c.transpose) + "\n");
        EXPECT_EQ(derived.rhythmNote, c.note) << "Transpose " << c.transpose;
        EXPECT_EQ(settings.PitchMode, 0);
    }
    setUpAgain(file, "Transpose=128\n");
    EXPECT_EQ(settings.Transpose, 0);
    setUpAgain(file, "Transpose=-127\n");
    EXPECT_EQ(settings.Transpose, -127);
}

TEST_F(AnalysisSetupTest, ConstrainAllowsOnlyTheMajorScaleOfTheKeySignature) {
    const std::string file = wav(11025, 1, 16);
    setUp(file, "KeySignature=2\nConstrain=1\n");
    EXPECT_EQ(derived.tonicPitchClass, 2);
    EXPECT_EQ(settings.Constrain, 1);
    EXPECT_EQ(settings.AutoDetectKey, 0);
    const int dMajor[12] = {0, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0, 1};  // C# D E F# G A B
    for (int k = 0; k <= 96; ++k) EXPECT_EQ(derived.allowedKeys[k], k >= 24 ? dMajor[k % 12] : 0) << "key " << k;

    // Keys below the tonic still take their scale entry: B major from key 1.
    setUpAgain(file, "KeySignature=-7\nConstrain=1\nKeyMin=1\nKeyMax=13\n");
    EXPECT_EQ(derived.tonicPitchClass, 11);
    const int bMajor[14] = {0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 1};
    for (int k = 0; k <= 13; ++k) EXPECT_EQ(derived.allowedKeys[k], bMajor[k]) << "key " << k;

    // Tonic of every key signature: 7 x KeySignature taken in 0..11.
    for (int ks = -7; ks <= 7; ++ks) {
        setUpAgain(file, "KeySignature=" + std::to_string(ks) + "\n");
        EXPECT_EQ(derived.tonicPitchClass, ((7 * ks) % 12 + 12) % 12) << "KeySignature " << ks;
        EXPECT_EQ(settings.KeySignature, ks);
    }
}

TEST_F(AnalysisSetupTest, KeySignatureEightOrInvalidClearsConstrain) {
    const std::string file = wav(11025, 1, 16);
    setUp(file, "KeySignature=8\nConstrain=1\nMajorMinor=1\n");
    EXPECT_EQ(settings.Constrain, 0);
    EXPECT_EQ(settings.MajorMinor, 0);
    EXPECT_EQ(settings.AutoDetectKey, 1);
    for (int k = 24; k <= 96; ++k) EXPECT_EQ(derived.allowedKeys[k], 1) << "key " << k;

    setUpAgain(file, "KeySignature=9\nConstrain=1\nMajorMinor=1\n");
    EXPECT_EQ(settings.KeySignature, 0);
    EXPECT_EQ(settings.Constrain, 0);
    EXPECT_EQ(settings.MajorMinor, 1);
    EXPECT_EQ(settings.AutoDetectKey, 1);
    EXPECT_EQ(derived.tonicPitchClass, 0);
    for (int k = 24; k <= 96; ++k) EXPECT_EQ(derived.allowedKeys[k], 1) << "key " << k;

    setUpAgain(file, "KeySignature=-8\nConstrain=1\n");
    EXPECT_EQ(settings.KeySignature, 0);
    EXPECT_EQ(settings.Constrain, 0);
}

TEST_F(AnalysisSetupTest, MinimumLengthFromSensitivityAndCappedByResolution) {
    const std::string file = wav(11025, 1, 16);
    const int derivedLength[8] = {2, 2, 3, 3, 4, 4, 5, 5};
    for (int sens = 0; sens <= 7; ++sens) {
        setUpAgain(file, "MinimumLength=0\nResolution=8\nSensitivity=" + std::to_string(sens) + "\n");
        EXPECT_EQ(settings.MinimumLength, derivedLength[sens]) << "Sensitivity " << sens;
        EXPECT_EQ(derived.framesPerStep, 1 << sens);
    }
    setUpAgain(file, "Sensitivity=7\nResolution=2\nMinimumLength=0\n");
    EXPECT_EQ(settings.MinimumLength, 4);
    setUpAgain(file, "MinimumLength=10\n");
    EXPECT_EQ(settings.MinimumLength, 8);
    setUpAgain(file, "Resolution=2,5\nMinimumLength=6\n");  // 2^2.5 + 0.5 = 6.16
    EXPECT_EQ(settings.MinimumLength, 6);
    setUpAgain(file, "Resolution=2,5\nMinimumLength=7\n");
    EXPECT_EQ(settings.MinimumLength, 6);
}

TEST_F(AnalysisSetupTest, GainSpeedAndFixedVelocity) {
    const std::string file = wav(11025, 1, 16);
    setUp(file, "Gain=150\nVelocityOn=0\n");
    EXPECT_FLOAT_EQ(derived.gainFactor, 1.5f);
    EXPECT_EQ(settings.Gain, derived.gainFactor);
    EXPECT_EQ(derived.fixedVelocity, 48);
    const struct {
        const char *gain;
        float factor;
        int velocity;
    } cases[] = {{"", 2.0f, 64}, {"0", 1.0f, 32}, {"-5", 1.0f, 32}, {"5000", 9.99f, 127}, {"1", 0.01f, 1}};
    for (const auto &c : cases) {
        setUpAgain(file, std::string("VelocityOff=0\nGain=") + c.gain + "\n");
        EXPECT_FLOAT_EQ(derived.gainFactor, c.factor) << "Gain " << c.gain;
        EXPECT_EQ(derived.fixedVelocity, c.velocity) << "Gain " << c.gain;
    }
    setUpAgain(file, "Speed=0\n");
    EXPECT_FLOAT_EQ(derived.speedFactor, 1.0f);
    setUpAgain(file, "Speed=1500\n");
    EXPECT_FLOAT_EQ(derived.speedFactor, 9.99f);
    EXPECT_EQ(settings.Speed, derived.speedFactor);
    setUpAgain(file, "Speed=50\n");
    EXPECT_FLOAT_EQ(derived.speedFactor, 0.5f);
}

TEST_F(AnalysisSetupTest, OutOfRangeValuesAreReplacedSilently) {
    const std::string file = wav(11025, 1, 16);
    setUp(file,
          "StereoPan=150\nInputThreshold=40000\nOutputThreshold=200\nPitchMode=500\nChannel=0\nSensitivity=9\n"
          "Resolution=9,5\nReferencePitch=450\nPhaseMult=10\nTimeSignatureDenominator=7\n"
          "TimeSignatureNumerator=100\n");
    EXPECT_EQ(settings.StereoPan, 100);
    EXPECT_EQ(derived.leftWeight, 0);
    EXPECT_EQ(settings.InputThreshold, 1);
    EXPECT_EQ(settings.OutputThreshold, 3);
    EXPECT_EQ(settings.PitchMode, 128);
    EXPECT_EQ(settings.Channel, 0);
    EXPECT_EQ(settings.Sensitivity, 1);
    EXPECT_EQ(settings.Resolution, 8.0f);
    EXPECT_EQ(derived.stepsPerBar, 256);
    EXPECT_EQ(settings.ReferencePitch, 440);
    EXPECT_EQ(settings.PhaseMult, 3);
    EXPECT_EQ(settings.TimeSignatureDenominator, 2);
    EXPECT_EQ(settings.TimeSignatureNumerator, 4);

    setUpAgain(file,
               "StereoPan=-5\nInputThreshold=0\nOutputThreshold=0\nPitchMode=-1\nChannel=17\nSensitivity=-1\n"
               "Resolution=-1\nReferencePitch=434\nPhaseMult=0\nTimeSignatureDenominator=-1\n"
               "TimeSignatureNumerator=0\n");
    EXPECT_EQ(settings.StereoPan, 0);
    EXPECT_EQ(derived.leftWeight, 100);
    EXPECT_EQ(settings.InputThreshold, 1);
    EXPECT_EQ(settings.OutputThreshold, 3);
    EXPECT_EQ(settings.PitchMode, 128);
    EXPECT_EQ(settings.Channel, 0);
    EXPECT_EQ(settings.Sensitivity, 1);
    EXPECT_EQ(settings.Resolution, 0.0f);
    EXPECT_EQ(derived.framesPerBeat, 0.5);
    EXPECT_EQ(settings.ReferencePitch, 440);
    EXPECT_EQ(settings.PhaseMult, 3);
    EXPECT_EQ(settings.TimeSignatureDenominator, 2);
    EXPECT_EQ(settings.TimeSignatureNumerator, 4);

    // Ends of the ranges stay.
    setUpAgain(file,
               "StereoPan=0\nInputThreshold=32767\nOutputThreshold=127\nPitchMode=128\nChannel=16\nSensitivity=7\n"
               "ReferencePitch=445\nPhaseMult=9\nTimeSignatureDenominator=6\nTimeSignatureNumerator=99\n"
               "Resolution=nan\n");
    EXPECT_EQ(derived.leftWeight, 100);
    EXPECT_EQ(settings.InputThreshold, 32767);
    EXPECT_EQ(settings.OutputThreshold, 127);
    EXPECT_EQ(settings.PitchMode, 128);
    EXPECT_EQ(settings.Channel, 15);
    EXPECT_EQ(settings.Sensitivity, 7);
    EXPECT_EQ(settings.ReferencePitch, 445);
    EXPECT_EQ(settings.PhaseMult, 9);
    EXPECT_EQ(derived.phaseSpan, 9);
    EXPECT_EQ(settings.TimeSignatureDenominator, 6);
    EXPECT_EQ(settings.TimeSignatureNumerator, 99);
    EXPECT_EQ(settings.Resolution, 3.0f);
}

TEST_F(AnalysisSetupTest, FlagsBecomeOne) {
    setUp(wav(11025, 1, 16),
          "AGC=5\nAutoDetectKey=-1\nCropSilence=2\nClusterDetect=3\nPauseBetweenNotes=4\nVelocityOn=9\n"
          "VelocityOff=-9\nKeySignature=0\nMajorMinor=2\n");
    EXPECT_EQ(settings.AGC, 1);
    EXPECT_EQ(settings.AutoDetectKey, 1);
    EXPECT_EQ(settings.CropSilence, 1);
    EXPECT_EQ(settings.ClusterDetect, 1);
    EXPECT_EQ(settings.PauseBetweenNotes, 1);
    EXPECT_EQ(settings.VelocityOn, 1);
    EXPECT_EQ(settings.VelocityOff, 1);
    EXPECT_EQ(settings.MajorMinor, 1);
    EXPECT_EQ(derived.fixedVelocity, 0);
    setUpAgain(wav(11025, 1, 16), "KeySignature=0\nConstrain=7\nAGC=0\n");
    EXPECT_EQ(settings.Constrain, 1);
    EXPECT_EQ(settings.AutoDetectKey, 0);
    EXPECT_EQ(settings.AGC, 0);
}

TEST_F(AnalysisSetupTest, EmptyMidiFileDerivesTheNameFromTheWaveFile) {
    const std::string file = wav(11025, 1, 16, 0.5, "take.wav");
    setupAnalysis(settingsFile("WaveFile=" + file + "\n").c_str());
    EXPECT_EQ(settings.MidiFile, dir.file("take.mid"));
    input_rig::releaseInput();
    setupAnalysis(settingsFile("WaveFile=" + file + "\nMidiFile=" + dir.file("x.mid") + "\n").c_str());
    EXPECT_EQ(settings.MidiFile, dir.file("x.mid"));
}

TEST_F(AnalysisSetupTest, TempoFileValuesWhenTheFileOpens) {
    writeFile(dir.file("beats.bin"), std::string("\xF4\x01", 2));
    const std::string file = wav(11025, 1, 16);
    setUp(file, "TempoFile=" + dir.file("beats.bin") + "\n");
    ASSERT_NE(inputFiles.tempo, nullptr);
    EXPECT_EQ(derived.frameTempo.framesPerValue, 4);
    EXPECT_EQ(derived.frameTempo.valuesPerFrame, 0);
    EXPECT_EQ(derived.frameTempo.sampleFactor, static_cast<float>(11025 * 0.001 / 4));

    // A quarter frame per beat: four tempo values per frame, factor VirtualSR x 0.001.
    setUpAgain(file, "TempoFile=" + dir.file("beats.bin") +
                         "\nSensitivity=0\nResolution=1\nTimeSignatureDenominator=3\nSpeed=999\n");
    ASSERT_NE(inputFiles.tempo, nullptr);
    EXPECT_EQ(derived.framesPerBeat, 0.25);
    EXPECT_EQ(derived.frameTempo.framesPerValue, 0);
    EXPECT_EQ(derived.frameTempo.valuesPerFrame, 4);
    EXPECT_EQ(derived.frameTempo.sampleFactor, static_cast<float>(11025 * 0.001));

    setUpAgain(file, "TempoFile=" + dir.file("absent.bin") + "\n");
    EXPECT_EQ(inputFiles.tempo, nullptr);
    EXPECT_EQ(derived.frameTempo.framesPerValue, 0);
    EXPECT_EQ(derived.frameTempo.sampleFactor, 0.0f);
}

TEST_F(AnalysisSetupTest, TimeBaseOutsideTheMidiHeaderEndsWithCode7) {
    const std::string file = wav(11025, 1, 16);
    // Division above 32767 and rounding to 0.
    EXPECT_FINISH(setUp(file, "Speed=999\nSensitivity=7\nResolution=8\n"), 7, 25);
    EXPECT_FINISH(setUp(file, "Sensitivity=0\nResolution=0\n"), 7, 24);
    // Tempo of 0 or more than 24 bits of microseconds per beat.
    EXPECT_FINISH(setUp(file, "Tempo=1e12\n"), 7, 26);
    EXPECT_FINISH(setUp(file, "Tempo=1\n"), 7, 27);
    // The header's own values: division 768 x 48 per step is above 32767.
    EXPECT_FINISH(setUp(file, "Sensitivity=0\nResolution=8\nTimeSignatureDenominator=0\nSpeed=300\n"), 7, 25);
    // Two frames per beat at half speed over 128-frame steps: 0.375 rounds to 0.
    EXPECT_FINISH(setUp(file, "Sensitivity=7\nResolution=0\nTimeSignatureDenominator=6\nSpeed=50\n"), 7, 24);
    // Division 0.75 rounds to 1, so the header tempo is 4/3 of the beat: above 24 bits.
    EXPECT_FINISH(setUp(file, "Tempo=4\nSensitivity=7\nResolution=0\nTimeSignatureDenominator=6\n"), 7, 27);
}

TEST_F(AnalysisSetupTest, MissingOrUnsupportedWaveFileEndsTheRun) {
    EXPECT_FINISH(setupAnalysis(settingsFile("MidiFile=" + dir.file("out.mid") + "\n").c_str()), 3, 23);
    EXPECT_FINISH(setUp(dir.file("absent.wav")), 3, 15);
    const std::string threeTracks = wav(11025, 3, 16, 0.5, "three.wav");
    EXPECT_FINISH(setUp(threeTracks), 4, 9);
    const std::string rate8000 = wav(8000, 1, 16, 0.5, "r8000.wav");
    EXPECT_FINISH(setUp(rate8000), 4, 10);
    const std::string bits24 = wav(11025, 1, 24, 0.5, "b24.wav");
    EXPECT_FINISH(setUp(bits24), 4, 11);
    const std::string both = wav(48000, 3, 12, 0.5, "both.wav");
    EXPECT_FINISH(setUp(both), 4, 9);
    // Without a RIFF header the bytes 22..35 are still checked.
    WavLayout w;
    w.rate = 8000;
    w.waveFmt = "WAVEfmx ";
    writeFile(dir.file("raw.wav"), wavBytes(w, std::string(8000, '\0')));
    EXPECT_FINISH(setUp(dir.file("raw.wav")), 4, 10);
}

}  // namespace
