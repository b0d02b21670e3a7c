// WAV input: the header reader (format, "data" search, data length) and the
// frame reader (decoders, decimation, padding before the data, silence,
// automatic gain control, files shorter than their RIFF size).
#include <cstdlib>

#include "tests/input/input_rig.h"

namespace {

using input_rig::InputTest;
using input_rig::pcm16;
using input_rig::WavLayout;
using input_rig::wavBytes;

class WavInputTest : public InputTest {
protected:
    // Writes the file and reads its header.
    int header(const WavLayout &w, const std::string &data) {
        writeFile(dir.file("in.wav"), wavBytes(w, data));
        settings.WaveFile = dir.file("in.wav");
        return readWaveHeader();
    }

    // Frame geometry as the set-up derives it, and buffers of the sizes the
    // engine allocates: `framePad` samples before p, `bufferSize` + `framePad` after.
    void frames(int inputStride, int framePad, int bufferSize) {
        Derived &d = derived;
        d.inputStride = inputStride;
        d.framePad = framePad;
        d.frameCore = bufferSize + framePad;
        d.frameLength = bufferSize + 2 * framePad;
        d.framePadBytes = static_cast<int64_t>(framePad) * inputStride;
        d.frameSpanBytes = static_cast<int64_t>(d.frameCore) * inputStride;
        d.sampleFormat = settings.BitsPerSample + settings.Tracks;
        if (settings.StereoPan < 0) settings.StereoPan = 0;
        d.leftWeight = 100 - settings.StereoPan;
        std::free(inputFiles.frameBytes);
        frame.assign(d.frameLength + 2, 0);
        inputFiles.frameByteCount =
            static_cast<int64_t>(d.frameLength) * inputStride + settings.Tracks * (settings.BitsPerSample / 8);
        inputFiles.frameBytes = static_cast<uint8_t *>(std::calloc(inputFiles.frameByteCount, 1));
    }

    // The buffer the frames are read into, as large as the engine's.
    std::vector<int32_t> frame;

    // Reads the frame at byte p into the buffer; its peak or 0 when silent.
    uint32_t read(int64_t p) { return readFrame(p, frame.data()); }

    // Samples 1..frameLength + 1 of the last frame read.
    std::vector<int> samples() const { return std::vector<int>(frame.begin() + 1, frame.end()); }

    // Raw reading: no gain control, only all-zero frames are silent.
    void raw() {
        settings.AGC = 0;
        settings.InputThreshold = 1;
    }
};

TEST_F(WavInputTest, CanonicalHeaderGivesOffset44AndRiffSizeMinus118) {
    settings.Tracks = 7;
    settings.Rate = 1;
    settings.BitsPerSample = 3;
    WavLayout w;
    w.rate = 44100;
    w.channels = 2;
    EXPECT_EQ(header(w, std::string(5000, '\0')), 1);
    EXPECT_EQ(settings.Tracks, 2);
    EXPECT_EQ(settings.Rate, 44100);
    EXPECT_EQ(settings.BitsPerSample, 16);
    EXPECT_EQ(derived.waveDataOffset, 44);
    EXPECT_EQ(derived.waveDataLength, 5036 - 118);
    EXPECT_NE(inputFiles.wave, nullptr);
}

TEST_F(WavInputTest, DataMarkerIsFoundByByteSearchUpToOffset4128) {
    WavLayout w;
    w.extraChunk = "LIST" + std::string("\x1a\0\0\0", 4) + std::string(26, 'i');
    EXPECT_EQ(header(w, std::string(5000, '\0')), 1);
    EXPECT_EQ(derived.waveDataOffset, 36 + 34 + 8);
    EXPECT_EQ(derived.waveDataLength, 36 + 34 + 5000 - 78 - 74);
    // "data" inside an earlier chunk's contents is taken as the marker.
    input_rig::releaseInput();
    w.extraChunk = "JUNK" + std::string("\x08\0\0\0", 4) + "xxdatayy";
    EXPECT_EQ(header(w, std::string(5000, '\0')), 1);
    EXPECT_EQ(derived.waveDataOffset, 36 + 8 + 2 + 8);
    // The last place searched: "data" at offset 36 + 4092.
    input_rig::releaseInput();
    w.extraChunk = std::string(4092, 'j');
    EXPECT_EQ(header(w, std::string(100, '\0')), 1);
    EXPECT_EQ(derived.waveDataOffset, 4136);
}

TEST_F(WavInputTest, FileThatIsNotRiffWaveReturnsZeroButSetsTheFormatFields) {
    WavLayout w;
    w.riff = "RIFX";
    w.rate = 22050;
    w.channels = 2;
    w.bits = 8;
    EXPECT_EQ(header(w, std::string(5000, '\0')), 0);
    EXPECT_EQ(settings.Tracks, 2);
    EXPECT_EQ(settings.Rate, 22050);
    EXPECT_EQ(settings.BitsPerSample, 8);
    EXPECT_EQ(derived.waveDataOffset, 0);
    EXPECT_EQ(derived.waveDataLength, 0);
    input_rig::releaseInput();
    WavLayout v;
    v.waveFmt = "WAVEFMT ";
    v.formatTag = 3;  // not looked at when the file is not RIFF WAVE
    EXPECT_EQ(header(v, std::string(5000, '\0')), 0);
}

TEST_F(WavInputTest, HeaderFailuresEndTheRun) {
    WavLayout w;
    w.formatTag = 3;
    writeFile(dir.file("float.wav"), wavBytes(w, std::string(5000, '\0')));
    settings.WaveFile = dir.file("float.wav");
    EXPECT_FINISH(readWaveHeader(), 4, 17);

    WavLayout nodata;
    nodata.extraChunk = std::string(4093, 'j');  // "data" one byte beyond the search
    writeFile(dir.file("nodata.wav"), wavBytes(nodata, std::string(100, '\0')));
    settings.WaveFile = dir.file("nodata.wav");
    EXPECT_FINISH(readWaveHeader(), 4, 18);

    // A valid WAV file of 4131 bytes is too short for the header area.
    writeFile(dir.file("short.wav"), wavBytes(WavLayout{}, std::string(4131 - 44, '\0')));
    settings.WaveFile = dir.file("short.wav");
    EXPECT_FINISH(readWaveHeader(), 2, 16);

    settings.WaveFile = dir.file("absent.wav");
    EXPECT_FINISH(readWaveHeader(), 3, 15);
}

TEST_F(WavInputTest, RiffSizeZeroOrBeyondTheFileIsTakenFromTheFileLength) {
    const std::string data(5000, '\0');  // file length 5044
    const struct {
        int64_t riffSize;
        int64_t length;
    } cases[] = {{0, 5036 - 118}, {0xFFFFFFFF, 5036 - 118}, {5037, 5036 - 118}, {5036, 5036 - 118}, {3000, 3000 - 118}};
    for (const auto &c : cases) {
        input_rig::releaseInput();
        WavLayout w;
        w.riffSize = c.riffSize;
        EXPECT_EQ(header(w, data), 1);
        EXPECT_EQ(derived.waveDataLength, c.length) << "RIFF size " << c.riffSize;
    }
}

TEST_F(WavInputTest, EightBitSamplesAreCentredAndScaled) {
    WavLayout w;
    w.bits = 8;
    ASSERT_EQ(header(w, std::string("\x80\x00\xff\x01\x7f", 5) + std::string(5000, '\x80')), 1);
    raw();
    frames(1, 0, 4);
    EXPECT_EQ(read(44), 32768u);
    EXPECT_EQ(samples(), (std::vector<int>{0, -32768, 32512, -32512, -256}));

    // Stereo: ((L - 128) x (100 - pan) x 256 + (R - 128) x pan x 256) / 100.
    input_rig::releaseInput();
    w.channels = 2;
    ASSERT_EQ(header(w, std::string("\xff\x00\xff\x00\x80\x80", 6) + std::string(5000, '\x80')), 1);
    const struct {
        int pan;
        int value;
    } cases[] = {{50, -128}, {0, 32512}, {100, -32768}, {30, 12928}};
    for (const auto &c : cases) {
        settings.StereoPan = c.pan;
        frames(2, 0, 2);
        read(44);
        EXPECT_EQ(samples(), (std::vector<int>{c.value, c.value, 0})) << "StereoPan " << c.pan;
    }
}

TEST_F(WavInputTest, SixteenBitStereoIsMixedByStereoPan) {
    WavLayout w;
    w.channels = 2;
    ASSERT_EQ(header(w, pcm16({1000, -1000, -3, 0, 32767, 32767, -32768, -32768}) + std::string(5000, '\0')), 1);
    raw();
    const struct {
        int pan;
        std::vector<int> values;
    } cases[] = {{50, {0, -1, 32767, -32768}},
                 {0, {1000, -3, 32767, -32768}},
                 {100, {-1000, 0, 32767, -32768}},
                 {25, {500, -2, 32767, -32768}}};
    for (const auto &c : cases) {
        settings.StereoPan = c.pan;
        frames(4, 0, 3);
        EXPECT_EQ(read(44), 32768u);
        EXPECT_EQ(samples(), c.values) << "StereoPan " << c.pan;
    }
    // Mono 16-bit: the value itself.
    input_rig::releaseInput();
    WavLayout mono;
    ASSERT_EQ(header(mono, pcm16({-5, 32767, -32768, 7}) + std::string(5000, '\0')), 1);
    frames(2, 0, 3);
    EXPECT_EQ(read(44), 32768u);
    EXPECT_EQ(samples(), (std::vector<int>{-5, 32767, -32768, 7}));
}

// A 16-bit mono ramp: sample i has the value 100 + i.
class WavRampTest : public WavInputTest {
protected:
    void SetUp() override {
        WavInputTest::SetUp();
        std::vector<int> ramp(3000);
        for (int i = 0; i < 3000; ++i) ramp[i] = 100 + i;
        ASSERT_EQ(header(WavLayout{}, pcm16(ramp)), 1);
        raw();
    }
    static int64_t at(int sample) { return 44 + 2 * sample; }
};

TEST_F(WavRampTest, FrameHoldsPadBeforeAndCoreAfterTakingEveryStrideSample) {
    // Stride of 4 sample frames: pad 3, BufferSize 5 -> 12 samples from 100 - 12 to 100 + 32.
    frames(8, 3, 5);
    frame[0] = -7;
    EXPECT_EQ(read(at(100)), 232u);
    std::vector<int> expected;
    for (int i = 88; i <= 132; i += 4) expected.push_back(100 + i);
    EXPECT_EQ(samples(), expected);
    EXPECT_EQ(frame[0], -7);  // index 0 is never written

    // Frames keep no state: any order gives the same samples.
    std::vector<int> first = samples();
    read(at(2000));
    read(at(7));
    read(at(100));
    EXPECT_EQ(samples(), first);
}

TEST_F(WavRampTest, PositionsBeforeTheDataReadAsZero) {
    frames(2, 2, 1);  // samples p - 2 .. p + 3
    EXPECT_EQ(read(at(0)), 103u);
    EXPECT_EQ(samples(), (std::vector<int>{0, 0, 100, 101, 102, 103}));
    // Wholly before the data: silent even at the lowest threshold.
    EXPECT_EQ(read(at(-10)), 0u);
    EXPECT_EQ(samples(), (std::vector<int>(6, 0)));
    EXPECT_EQ(read(-10980), 0u);
}

TEST_F(WavRampTest, FrameBelowInputThresholdIsSilentAndKeepsItsSamples) {
    frames(2, 0, 3);
    settings.AGC = 1;
    settings.InputThreshold = 103;
    EXPECT_EQ(read(at(0)), 103u);  // peak equal to the threshold is not silent
    settings.InputThreshold = 104;
    EXPECT_EQ(read(at(0)), 0u);
    EXPECT_EQ(samples(), (std::vector<int>{100, 101, 102, 103}));
}

TEST_F(WavInputTest, GainControlScalesToPeak32768ExceptTheLastSample) {
    ASSERT_EQ(header(WavLayout{}, pcm16({16384, -8192, 100, -3, 1000, 3, -1, 2, 0, -32768, 5, 0}) +
                                      std::string(5000, '\0')),
              1);
    settings.InputThreshold = 1;
    frames(2, 0, 4);
    EXPECT_EQ(read(44), 16384u);
    EXPECT_EQ(samples(), (std::vector<int>{32768, -16384, 200, -6, 1000}));
    // Factor 32768 / 3 as a float; the products are cut toward zero.
    frames(2, 0, 3);
    EXPECT_EQ(read(44 + 2 * 5), 3u);
    EXPECT_EQ(samples(), (std::vector<int>{32768, -10922, 21845, 0}));
    // Peak 32768: unchanged.
    EXPECT_EQ(read(44 + 2 * 8), 32768u);
    EXPECT_EQ(samples(), (std::vector<int>{0, -32768, 5, 0}));
    // Without gain control the frame stays as read.
    settings.AGC = 0;
    frames(2, 0, 4);
    EXPECT_EQ(read(44), 16384u);
    EXPECT_EQ(samples(), (std::vector<int>{16384, -8192, 100, -3, 1000}));
}

TEST_F(WavInputTest, SampleFramesBeyondTheEndOfAShortFileAreZero) {
    // 16-bit stereo; the last sample frame has its left half only, and the
    // RIFF size promises much more.
    WavLayout w;
    w.channels = 2;
    w.riffSize = 100000;
    std::string data = pcm16(std::vector<int>(2 * 1100, 0)) + pcm16({1000, 2000, -1500, 500}) + pcm16({30000});
    ASSERT_EQ(header(w, data), 1);
    EXPECT_EQ(derived.waveDataLength, 44 + static_cast<int64_t>(data.size()) - 8 - 44 - 74);
    raw();
    frames(4, 0, 5);
    const int64_t p = 44 + 4 * 1100;
    EXPECT_EQ(read(p), 1500u);
    EXPECT_EQ(samples(), (std::vector<int>{1500, -500, 0, 0, 0, 0}));
    // Wholly beyond the end: silent.
    EXPECT_EQ(read(p + 4000), 0u);
    EXPECT_EQ(samples(), (std::vector<int>(6, 0)));
}

}  // namespace
