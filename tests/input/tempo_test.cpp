// Tempo file: beat durations read two bytes at a time space the frames of
// each beat; 65535 or the end of the file returns to the constant hop.
#include <cstdio>
#include <sys/stat.h>

#include "tests/input/input_rig.h"

namespace {

using input_rig::InputTest;

// Little-endian 16-bit values, as the tempo file holds them.
std::string values(const std::vector<int> &v) { return pcm16(v); }

class TempoFileTest : public InputTest {
protected:
    // Opens the tempo file at 11025 Hz and 120 beats per minute and starts
    // the pacing as the frame loop does.
    void start(const std::string &bytes, double framesPerBeat = 4, bool withFile = true) {
        writeFile(dir.file("tempo.bin"), bytes);
        settings.TempoFile = withFile ? dir.file("tempo.bin") : "";
        settings.VirtualSR = 11025;
        derived.framesPerBeat = framesPerBeat;
        derived.samplesPerFrame = 11025 / (framesPerBeat * 2.0);
        openTempoFile();
        run.framePosition = 1000;
        run.tempoPace.framesSinceValue = derived.frameTempo.framesPerValue;
        run.tempoPace.value = 0;
    }

    // The advance of each of the next n frames.
    std::vector<double> advances(int n) {
        std::vector<double> out;
        for (int i = 0; i < n; ++i) {
            double before = run.framePosition;
            advanceFramePosition();
            out.push_back(run.framePosition - before);
        }
        return out;
    }
};

TEST_F(TempoFileTest, EachValueSpacesTheFramesOfOneBeat) {
    start(values({500, 600, 65535, 700}));
    EXPECT_EQ(derived.frameTempo.framesPerValue, 4);
    std::vector<double> a = advances(12);
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(a[i], 1378.125) << "frame " << i + 1;
    for (int i = 4; i < 8; ++i) EXPECT_DOUBLE_EQ(a[i], 1653.75) << "frame " << i + 1;
    // 65535 ends the map: constant hop, and the file is not read again.
    for (int i = 8; i < 12; ++i) EXPECT_DOUBLE_EQ(a[i], 1378.125) << "frame " << i + 1;
    EXPECT_EQ(run.tempoPace.value, 65535);
    EXPECT_EQ(std::ftell(inputFiles.tempo), 6);
    EXPECT_DOUBLE_EQ(run.framePosition, 1000 + 4 * 1378.125 + 4 * 1653.75 + 4 * 1378.125);
}

TEST_F(TempoFileTest, EndOfFileReadsAs65535) {
    start(std::string("\xF4\x01\x10", 3));
    EXPECT_EQ(readTempoValue(), 500);
    EXPECT_EQ(readTempoValue(), 65280 + 0x10);
    EXPECT_EQ(readTempoValue(), 65535);
    EXPECT_EQ(readTempoValue(), 65535);
}

TEST_F(TempoFileTest, LoneEndMarkerOrEmptyFileBehavesLikeNoFile) {
    const double hop = 11025 / 8.0;
    start(values({65535}));
    EXPECT_NE(inputFiles.tempo, nullptr);
    EXPECT_EQ(advances(6), std::vector<double>(6, hop));
    input_rig::releaseInput();
    start("");
    EXPECT_NE(inputFiles.tempo, nullptr);
    EXPECT_EQ(advances(6), std::vector<double>(6, hop));
    input_rig::releaseInput();
    start(values({500}), 4, false);
    EXPECT_EQ(inputFiles.tempo, nullptr);
    EXPECT_EQ(advances(6), std::vector<double>(6, hop));
}

TEST_F(TempoFileTest, ValueZeroAnalysesTheSameAudioAgainForThatBeat) {
    start(values({0, 500}));
    std::vector<double> a = advances(8);
    EXPECT_EQ(std::vector<double>(a.begin(), a.begin() + 4), std::vector<double>(4, 0.0));
    for (int i = 4; i < 8; ++i) EXPECT_DOUBLE_EQ(a[i], 1378.125);
}

TEST_F(TempoFileTest, FrameSpanningSeveralBeatsAdvancesByTheirSum) {
    // A quarter frame per beat: each frame takes four values.
    start(values({100, 200, 300, 400, 65000, 535, 1, 0, 65535, 0, 0, 0, 7}), 0.25);
    EXPECT_EQ(derived.frameTempo.framesPerValue, 0);
    EXPECT_EQ(derived.frameTempo.valuesPerFrame, 4);
    EXPECT_EQ(derived.frameTempo.sampleFactor, static_cast<float>(11.025));
    std::vector<double> a = advances(4);
    EXPECT_DOUBLE_EQ(a[0], 1000 * static_cast<double>(11.025f));
    EXPECT_DOUBLE_EQ(a[1], 65536 * static_cast<double>(11.025f));
    EXPECT_DOUBLE_EQ(a[2], derived.samplesPerFrame);  // the sum is exactly 65535
    EXPECT_DOUBLE_EQ(a[3], derived.samplesPerFrame);
    EXPECT_EQ(std::ftell(inputFiles.tempo), 24);
}

}  // namespace

namespace {

// Read whole, the file gives its values up to the end marker; only a regular file is read,
// so a FIFO never blocks the reader.
TEST_F(TempoFileTest, ReadWholeUpToTheEndMarkerFromRegularFilesOnly) {
    std::vector<uint16_t> read{7};
    writeFile(dir.file("tempo.bin"), values({500, 0, 65535, 700}));
    ASSERT_TRUE(readTempoValues(dir.file("tempo.bin"), read));
    EXPECT_EQ(read, (std::vector<uint16_t>{500, 0}));
    writeFile(dir.file("tempo.bin"), std::string("\xF4\x01\x10", 3));
    ASSERT_TRUE(readTempoValues(dir.file("tempo.bin"), read));
    EXPECT_EQ(read, (std::vector<uint16_t>{500, 65280 + 0x10}));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(readTempoValues(dir.file("fifo"), read));
    EXPECT_FALSE(readTempoValues(dir.path, read));
    EXPECT_FALSE(readTempoValues(dir.file("missing.bin"), read));
    EXPECT_TRUE(read.empty());
}

}  // namespace
