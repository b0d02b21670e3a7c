// The tuning of a recording: synthetic chords of harmonic tones a known number of cents from
// A = 440 Hz must give that deviation back, and the engine's reference pitch for it; silence and
// noise hold no tuning; a file is read only over the region asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>

#include <sndfile.h>

#include "app/starter/tuning/tuning.h"
#include "tests/app/support.h"

namespace {

// Chords of three notes, one every half second for seconds, each cents from its key.
std::vector<ToneNote> chords(double cents, double from, double seconds) {
    const int roots[] = {48, 53, 55, 57, 60, 50};
    std::vector<ToneNote> notes;
    for (int i = 0; from + 0.5 * i + 0.5 <= seconds; ++i)
        for (int step : {0, 4, 7})
            notes.push_back({roots[i % 6] + step, from + 0.5 * i, 0.5, 1, cents});
    return notes;
}

// The chords as mono samples at rate, written and read back through a WAV file.
std::vector<float> chordSamples(double cents, int rate, double seconds) {
    ScratchDir dir;
    std::string path = dir.path + "chords.wav";
    EXPECT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, rate, 1, chords(cents, 0, seconds), seconds));
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> samples(static_cast<size_t>(info.frames));
    EXPECT_EQ(sf_readf_float(f, samples.data(), info.frames), info.frames);
    sf_close(f);
    return samples;
}

}  // namespace

TEST(Tuning, FindsHowFarTheNotesLieFromTheirKeys) {
    struct Case {
        double cents;
        int rate;
        int pitch;
    };
    // 443 Hz is 11.8 cents sharp, 435 Hz 19.8 cents flat: the engine takes no lower.
    for (Case c : {Case{0, 44100, 440}, Case{-20, 44100, 435}, Case{12, 48000, 443}, Case{-31, 22050, 435},
                   Case{25, 44100, 445}, Case{6, 44100, 440}}) {
        TuningFound t = tuningOfSamples(chordSamples(c.cents, c.rate, 6), c.rate);
        EXPECT_TRUE(t.measured) << c.cents;
        EXPECT_NEAR(t.cents, c.cents, 2.0) << c.rate;
        EXPECT_GT(t.share, 0.5) << c.cents;
        EXPECT_EQ(t.referencePitch, c.pitch) << c.cents;
    }
}

TEST(Tuning, SilenceAndNoiseHoldNone) {
    EXPECT_FALSE(tuningOfSamples(std::vector<float>(44100 * 3, 0.0f), 44100).measured);
    EXPECT_FALSE(tuningOfSamples({}, 44100).measured);
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> hiss(44100 * 5);
    for (float &x : hiss)
        x = noise(random);
    TuningFound t = tuningOfSamples(hiss, 44100);
    EXPECT_FALSE(t.measured) << t.cents << " " << t.share;
    EXPECT_EQ(t.referencePitch, 440);
}

TEST(Tuning, ReferencePitchKeepsFourHundredFortyNearItAndTheEnginesRange) {
    EXPECT_EQ(referencePitchFor(0), 440);
    EXPECT_EQ(referencePitchFor(9.9), 440);
    EXPECT_EQ(referencePitchFor(-9.9), 440);
    EXPECT_EQ(referencePitchFor(10), 443);   // 442.55 Hz
    EXPECT_EQ(referencePitchFor(-10), 437);  // 437.46 Hz
    EXPECT_EQ(referencePitchFor(-50), 435);
    EXPECT_EQ(referencePitchFor(50), 445);
    EXPECT_EQ(referencePitchFor(std::nan("")), 440);
    EXPECT_EQ(referencePitchFor(4, 0), 441);  // with no dead zone: the nearest hertz
    EXPECT_EQ(referencePitchFor(1, 0), 440);
}

TEST(Tuning, ReadsOnlyTheRegionAskedFor) {
    ScratchDir dir;
    std::string path = dir.path + "two halves.wav";
    std::vector<ToneNote> notes = chords(-25, 0, 4);
    for (const ToneNote &n : chords(25, 4, 8))
        notes.push_back(n);
    ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, notes, 8));
    TuningFound t;
    std::string error;
    ASSERT_TRUE(measureTuning(path, 0, 4, nullptr, t, error));
    EXPECT_NEAR(t.cents, -25, 2);
    ASSERT_TRUE(measureTuning(path, 4.2, 0, nullptr, t, error));
    EXPECT_NEAR(t.cents, 25, 2);
    EXPECT_EQ(t.referencePitch, 445);
    // A start past the end reads nothing: no tuning, and no failure; nor do times beyond any frame.
    for (double start : {100.0, 1e300, std::nan("")}) {
        ASSERT_TRUE(measureTuning(path, start, 0, nullptr, t, error)) << start;
        EXPECT_FALSE(t.measured && start > 8) << start;
    }
    ASSERT_TRUE(measureTuning(path, 4.2, 1e300, nullptr, t, error));
    EXPECT_NEAR(t.cents, 25, 2);
}

TEST(Tuning, AFileGivesWhatItsSamplesGive) {
    // A mono float file holds its samples exactly: read window by window (each frame once, the
    // windows overlapping), it must give the very histogram its samples give, whole or in part.
    ScratchDir dir;
    std::string path = dir.path + "chords.wav";
    ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, chords(-17, 0, 7), 7));
    std::vector<float> samples = chordSamples(-17, 44100, 7);
    struct Region {
        double start, end;
    };
    for (Region r : {Region{0, 0}, Region{1.3, 5.05}, Region{6.9, 0}}) {
        TuningFound fromFile;
        std::string error;
        ASSERT_TRUE(measureTuning(path, r.start, r.end, nullptr, fromFile, error)) << error;
        size_t first = static_cast<size_t>(r.start * 44100);
        size_t last = r.end > r.start ? static_cast<size_t>(r.end * 44100) : samples.size();
        std::vector<float> part(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                samples.begin() + static_cast<std::ptrdiff_t>(last));
        TuningFound fromSamples = tuningOfSamples(part, 44100);
        EXPECT_EQ(fromFile.measured, fromSamples.measured) << r.start;
        EXPECT_EQ(fromFile.cents, fromSamples.cents) << r.start;
        EXPECT_EQ(fromFile.share, fromSamples.share) << r.start;
    }
}

TEST(Tuning, AnUnreadableFileAndAStopEndTheReading) {
    ScratchDir dir;
    TuningFound t;
    std::string error;
    writeText(dir.path + "text.wav", "not audio");
    EXPECT_FALSE(measureTuning(dir.path + "text.wav", 0, 0, nullptr, t, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(t.referencePitch, 440);
    std::string path = dir.path + "take.wav";
    ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, chords(-20, 0, 3), 3));
    std::atomic<bool> stop{true};
    error = "unset";
    EXPECT_FALSE(measureTuning(path, 0, 0, &stop, t, error));
    EXPECT_TRUE(error.empty());
}
