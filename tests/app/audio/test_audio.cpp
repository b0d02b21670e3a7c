// What the engine reads as it is, and conversion of everything else.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <cstring>

#include <sndfile.h>

#include "app/starter/audio/audio.h"
#include "tests/app/support.h"

namespace {

// A canonical 44-byte header followed by n zero data bytes, with fields to change.
std::vector<uint8_t> canonicalWave(int rate, int bits, int channels, uint32_t n) {
    std::string b = wavBytes(pcmLayout(rate, channels, bits), std::string(n, '\0'));
    return std::vector<uint8_t>(b.begin(), b.end());
}

std::string rejection(const std::vector<uint8_t> &b) {
    return engineRejection(readWaveHeader(b, int64_t(b.size())), int64_t(b.size()));
}

// Samples and format of a WAV file read through libsndfile.
std::vector<float> readSamples(const std::string &path, SF_INFO &info) {
    info = SF_INFO{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> x(static_cast<size_t>(info.frames * info.channels));
    if (f) {
        sf_readf_float(f, x.data(), info.frames);
        sf_close(f);
    }
    return x;
}

// Strength of frequency hz in the first channel (Goertzel over the whole signal).
double strengthAt(const std::vector<float> &x, int channels, int rate, double hz) {
    double w = 2 * M_PI * hz / rate, c = 2 * std::cos(w), s1 = 0, s2 = 0;
    for (size_t i = 0; i < x.size(); i += channels) {
        double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return std::sqrt(s1 * s1 + s2 * s2 - c * s1 * s2) / (x.size() / channels);
}


// Writes interleaved float samples as a float WAV file; false when libsndfile cannot.
bool writeFloatWav(const std::string &path, int rate, int channels, const std::vector<float> &samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    sf_writef_float(f, samples.data(), sf_count_t(samples.size()) / channels);
    return sf_close(f) == 0;
}

}  // namespace

TEST(Audio, TheEngineReadsPlainPcmAsItIs) {
    EXPECT_EQ(rejection(canonicalWave(44100, 16, 2, 8000)), "");
    EXPECT_EQ(rejection(canonicalWave(11025, 8, 1, 8000)), "");
    EXPECT_EQ(rejection(canonicalWave(22050, 16, 1, 8000)), "");
}

TEST(Audio, EverythingElseIsConverted) {
    EXPECT_NE(rejection(canonicalWave(48000, 16, 2, 8000)).find("48000 Hz"), std::string::npos);
    EXPECT_NE(rejection(canonicalWave(44100, 24, 2, 8000)).find("24-bit"), std::string::npos);
    EXPECT_NE(rejection(canonicalWave(44100, 16, 6, 8000)).find("6 channels"), std::string::npos);
    EXPECT_NE(rejection(canonicalWave(44100, 16, 2, 100)).find("shorter"), std::string::npos);
    std::vector<uint8_t> extensible = canonicalWave(44100, 16, 2, 8000);
    extensible[20] = 0xFE;
    extensible[21] = 0xFF;
    EXPECT_NE(rejection(extensible).find("EXTENSIBLE"), std::string::npos);
    std::vector<uint8_t> floating = canonicalWave(44100, 32, 2, 8000);
    floating[20] = 3;
    EXPECT_NE(rejection(floating).find("floating-point"), std::string::npos);
    std::vector<uint8_t> zeroSize = canonicalWave(44100, 16, 2, 8000);
    std::memset(zeroSize.data() + 4, 0, 4);
    EXPECT_NE(rejection(zeroSize).find("size"), std::string::npos);
    std::vector<uint8_t> junkFirst = canonicalWave(44100, 16, 2, 8000);
    std::memcpy(junkFirst.data() + 12, "JUNK", 4);
    EXPECT_NE(rejection(junkFirst), "");
}

TEST(Audio, ChunksBeforeTheDataAreFineUnlessTheyLookLikeIt) {
    std::vector<uint8_t> b = canonicalWave(44100, 16, 1, 8000);
    std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 8, 0, 0, 0, 'I', 'N', 'F', 'O', 'a', 'b', 'c', 'd'};
    b.insert(b.begin() + 36, list.begin(), list.end());
    uint32_t riff = uint32_t(b.size() - 8);
    std::memcpy(b.data() + 4, &riff, 4);
    EXPECT_EQ(rejection(b), "");
    std::memcpy(b.data() + 48, "data", 4);  // "data" inside the LIST chunk's contents
    EXPECT_NE(rejection(b).find("not where"), std::string::npos);
}

TEST(Audio, InspectsFilesOfEveryCommonKind) {
    ScratchDir dir;
    auto melody = testMelody();
    struct Case { const char *name; int format; int rate; int channels; bool asIs; const char *words; };
    for (Case c : std::vector<Case>{
             {"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, true, "44100 Hz 16-bit stereo WAV"},
             {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, false, "48000 Hz 24-bit stereo WAV"},
             {"c.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, false, "32-bit float mono"},
             {"d.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 44100, 2, false, "extensible"},
             {"e.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 22050, 1, false, "32-bit"},
             {"f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, false, "FLAC"},
             {"g.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, false, "Ogg"}}) {
        std::string path = dir.path + c.name;
        ASSERT_TRUE(writeTones(path, c.format, c.rate, c.channels, melody, 1.0)) << c.name;
        AudioInfo info;
        std::string error;
        ASSERT_TRUE(inspectAudio(path, info, error)) << c.name << ": " << error;
        EXPECT_EQ(info.readableAsIs, c.asIs) << c.name << ": " << info.reason;
        EXPECT_NE(info.description.find(c.words), std::string::npos) << info.description;
        EXPECT_NEAR(info.seconds, 1.0, 0.01) << c.name;
    }
}

TEST(Audio, RefusesWhatIsNoAudio) {
    ScratchDir dir;
    writeText(dir.path + "notes.txt", std::string(5000, 'x'));
    AudioInfo info;
    std::string error;
    EXPECT_FALSE(inspectAudio(dir.path + "notes.txt", info, error));
    EXPECT_EQ(info.fault, AudioFault::NotAudio);
    EXPECT_FALSE(error.empty()) << "libsndfile's words";
    info = AudioInfo{};
    EXPECT_FALSE(inspectAudio(dir.path + "missing.wav", info, error));
    EXPECT_EQ(info.fault, AudioFault::Unreadable);
}

TEST(Audio, AWaveWhoseSizesWereNeverWrittenIsReadToItsEnd) {
    // A recorder stopped before it wrote the sizes: the RIFF and data sizes stay 0, the audio follows.
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "whole.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 1, {{69, 0.0, 2.0}}, 2.0));
    std::string bytes = readFile(dir.path + "whole.wav");
    size_t data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    for (size_t at : {size_t(4), data + 4})
        bytes.replace(at, 4, std::string(4, '\0'));
    writeText(dir.path + "unfinished.wav", bytes);
    writeText(dir.path + "header-only.wav", bytes.substr(0, data + 8));
    AudioInfo info;
    std::string error;
    ASSERT_TRUE(inspectAudio(dir.path + "unfinished.wav", info, error)) << error;
    EXPECT_FALSE(info.readableAsIs);
    EXPECT_EQ(info.frames, 96000);
    ASSERT_EQ(convertForEngine(dir.path + "unfinished.wav", dir.path + "out.wav", nullptr, error), Conversion::Done)
        << error;
    SF_INFO sf;
    std::vector<float> x = readSamples(dir.path + "out.wav", sf);
    EXPECT_NEAR(double(sf.frames), 88200.0, 50.0);
    EXPECT_GT(strengthAt(x, 1, 44100, 440), 20 * strengthAt(x, 1, 44100, 470));
    info = AudioInfo{};
    EXPECT_FALSE(inspectAudio(dir.path + "header-only.wav", info, error));
    EXPECT_EQ(info.fault, AudioFault::Empty);
}

TEST(Audio, TellsTheLengthTheHeaderStates) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "whole.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 1, {{69, 0.0, 2.0}}, 2.0));
    ASSERT_TRUE(writeTones(dir.path + "whole.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 1, {{69, 0.0, 2.0}}, 2.0));
    std::string bytes = readFile(dir.path + "whole.wav");
    writeText(dir.path + "cut.wav", bytes.substr(0, bytes.size() / 2));
    AudioInfo info;
    std::string error;
    ASSERT_TRUE(inspectAudio(dir.path + "whole.wav", info, error)) << error;
    EXPECT_NEAR(info.statedSeconds, 2.0, 1e-9);
    info = AudioInfo{};
    ASSERT_TRUE(inspectAudio(dir.path + "cut.wav", info, error)) << error;
    EXPECT_NEAR(info.seconds, 1.0, 0.01) << "what the file holds";
    EXPECT_NEAR(info.statedSeconds, 2.0, 1e-9) << "what its data size says";
    info = AudioInfo{};
    ASSERT_TRUE(inspectAudio(dir.path + "whole.ogg", info, error)) << error;
    EXPECT_EQ(info.statedSeconds, 0) << "an Ogg file states no length";
}

TEST(Audio, Converts48000Hz24BitTo44100Hz16BitKeepingPitchAndLength) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2,
                           {{69, 0.0, 2.0}}, 2.0));
    std::string error;
    ASSERT_EQ(convertForEngine(dir.path + "in.wav", dir.path + "out.wav", nullptr, error), Conversion::Done) << error;
    AudioInfo info;
    ASSERT_TRUE(inspectAudio(dir.path + "out.wav", info, error));
    EXPECT_TRUE(info.readableAsIs) << info.reason;
    EXPECT_EQ(info.rate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_NEAR(double(info.frames), 88200.0, 50.0);
    SF_INFO sf;
    std::vector<float> x = readSamples(dir.path + "out.wav", sf);
    EXPECT_EQ(sf.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_GT(strengthAt(x, 2, 44100, 440), 20 * strengthAt(x, 2, 44100, 470));
}

TEST(Audio, ScalesLoudFloatFilesInsteadOfClipping) {
    ScratchDir dir;
    std::vector<float> x(44100);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = 4.0f * float(std::sin(2 * M_PI * 220 * double(i) / 44100));
    ASSERT_TRUE(writeFloatWav(dir.path + "loud.wav", 44100, 1, x));
    SF_INFO info{};
    std::string error;
    ASSERT_EQ(convertForEngine(dir.path + "loud.wav", dir.path + "out.wav", nullptr, error), Conversion::Done) << error;
    std::vector<float> y = readSamples(dir.path + "out.wav", info);
    float peak = 0;
    int clipped = 0;
    for (float v : y) {
        peak = std::max(peak, std::fabs(v));
        clipped += std::fabs(v) >= 0.99999f;
    }
    EXPECT_GT(peak, 0.95f);
    EXPECT_LT(clipped, 3);
}

// One +Inf or NaN sample must not set the gain (it made the whole file silent), nor wipe the
// other channel of its frame, nor spread through the resampler: it is a silent sample, counted.
TEST(Audio, NonFiniteSamplesAreSilentAndCounted) {
    ScratchDir dir;
    std::vector<float> x(2 * 48000);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = 0.5f * float(std::sin(2 * M_PI * 440 * double(i / 2) / 48000));
    x[2 * 12000] = std::numeric_limits<float>::infinity();
    x[2 * 24000 + 1] = std::numeric_limits<float>::quiet_NaN();
    x[2 * 36000] = -std::numeric_limits<float>::infinity();
    ASSERT_TRUE(writeFloatWav(dir.path + "inf.wav", 48000, 2, x));
    SF_INFO info{};
    std::string error;
    int64_t nonFinite = -1;
    ASSERT_EQ(convertForEngine(dir.path + "inf.wav", dir.path + "out.wav", nullptr, error, &nonFinite),
              Conversion::Done) << error;
    EXPECT_EQ(nonFinite, 3);
    std::vector<float> y = readSamples(dir.path + "out.wav", info);
    float peak = 0;
    size_t zeroRun = 0, longestZeroRun = 0;
    for (size_t i = 200; i + 200 < y.size(); ++i) {
        peak = std::max(peak, std::fabs(y[i]));
        zeroRun = y[i] == 0 ? zeroRun + 1 : 0;
        longestZeroRun = std::max(longestZeroRun, zeroRun);
    }
    EXPECT_GT(peak, 0.45f);
    EXPECT_LT(longestZeroRun, 4u);
    EXPECT_GT(strengthAt(y, 2, 44100, 440), 20 * strengthAt(y, 2, 44100, 470));
}

TEST(Audio, PadsShortRecordingsAndMixesManyChannelsToMono) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "short.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 6,
                           {{60, 0.0, 0.01}}, 0.01));
    std::string error;
    ASSERT_EQ(convertForEngine(dir.path + "short.wav", dir.path + "out.wav", nullptr, error), Conversion::Done) << error;
    AudioInfo info;
    ASSERT_TRUE(inspectAudio(dir.path + "out.wav", info, error));
    EXPECT_TRUE(info.readableAsIs) << info.reason;
    EXPECT_EQ(info.channels, 1);
    EXPECT_GE(fileText(dir.path + "out.wav").size(), size_t(EngineHeaderBytes));
}

TEST(Audio, StopsWhenAskedTo) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1,
                           {{60, 0, 1}}, 1.0));
    std::atomic<bool> stop{true};
    std::string error;
    EXPECT_EQ(convertForEngine(dir.path + "in.flac", dir.path + "out.wav", &stop, error), Conversion::Stopped);
}

namespace {

// The starts of the sounds of a converted file: the first sample above a tenth of full scale after
// at least 50 ms below a hundredth, in seconds.
std::vector<double> soundStarts(const std::string &path) {
    SF_INFO info;
    std::vector<float> x = readSamples(path, info);
    std::vector<double> starts;
    long quiet = 0;
    for (long i = 0; i < info.frames; ++i) {
        float v = std::fabs(x[static_cast<size_t>(i * info.channels)]);
        if (v > 0.1f && quiet >= info.samplerate / 20)
            starts.push_back(static_cast<double>(i) / info.samplerate);
        quiet = v < 0.01f ? quiet + 1 : v > 0.1f ? 0 : quiet;
    }
    return starts;
}

// The bytes of an MP3 file without its first frame, LAME's tag (MPEG-1 layer III header).
std::string withoutFirstFrame(const std::string &mp3) {
    static const int kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int rates[4] = {44100, 48000, 32000, 0};
    const auto *h = reinterpret_cast<const unsigned char *>(mp3.data());
    EXPECT_TRUE(h[0] == 0xFF && (h[1] & 0xFE) == 0xFA) << "an MPEG-1 layer III frame first";
    int rate = rates[(h[2] >> 2) & 3];
    size_t length = rate ? 144 * 1000 * static_cast<size_t>(kbps[h[2] >> 4]) / rate + ((h[2] >> 1) & 1) : 0;
    EXPECT_NE(mp3.find("Xing"), std::string::npos);
    EXPECT_LT(mp3.find("Xing"), length) << "the tag is in the first frame";
    return mp3.substr(length);
}

}  // namespace

TEST(Audio, CompressedFilesKeepTheTimelineOfTheirWav) {
    ScratchDir dir;
    std::vector<ToneNote> tones;
    for (int i = 0; i < 8; ++i)
        tones.push_back({57 + 2 * i, 0.2 + 0.45 * i, 0.25});
    const std::vector<std::pair<std::string, int>> files = {
        {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}, {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
    for (const auto &[ext, format] : files)
        ASSERT_TRUE(writeTones(dir.path + "in." + ext, format, 44100, 1, tones, 4.0)) << ext;
    // An MP3 whose encoder left no tag: the delay LAME adds is taken off.
    writeFile(dir.path + "untagged.mp3", withoutFirstFrame(readFile(dir.path + "in.mp3")));
    std::vector<double> reference = soundStarts(dir.path + "in.wav");
    ASSERT_EQ(reference.size(), tones.size());
    for (const std::string name : {"in.flac", "in.ogg", "in.mp3", "untagged.mp3"}) {
        std::string error;
        ASSERT_EQ(convertForEngine(dir.path + name, dir.path + name + ".wav", nullptr, error), Conversion::Done)
            << error;
        std::vector<double> starts = soundStarts(dir.path + name + ".wav");
        ASSERT_EQ(starts.size(), reference.size()) << name;
        for (size_t i = 0; i < starts.size(); ++i)
            EXPECT_NEAR(starts[i], reference[i], 0.005) << name << ", sound " << i;
    }
}

TEST(Audio, AnMp3WithoutItsTagStatesNoLength) {
    // Its length is a guess from its size, and counts the encoder's delay its conversion drops: at a
    // low rate that would pass for a file cut short.
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "in.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1,
                           {{69, 0.5, 2.0}}, 3.0));
    writeFile(dir.path + "untagged.mp3", withoutFirstFrame(readFile(dir.path + "in.mp3")));
    AudioInfo info;
    std::string error;
    ASSERT_TRUE(inspectAudio(dir.path + "in.mp3", info, error)) << error;
    EXPECT_NEAR(info.statedSeconds, 3.0, 0.001) << "LAME's tag records the length";
    info = AudioInfo{};
    ASSERT_TRUE(inspectAudio(dir.path + "untagged.mp3", info, error)) << error;
    EXPECT_GT(info.seconds, 2.9) << "a guess from its size";
    EXPECT_EQ(info.statedSeconds, 0);
}
