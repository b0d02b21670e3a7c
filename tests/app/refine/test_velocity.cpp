// Velocities from attack levels on synthetic recordings: a crescendo, equal
// notes, the same notes recorded quietly and loudly, silence and a held tone.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <sndfile.h>

#include "app/starter/refine/velocity.h"
#include "tests/app/refine/tone_evidence.h"
#include "tests/app/support.h"

namespace {

// A note as the engine writes it: at velocity 127.
TimedNote engineNote(int key, double on, double off) {
    TimedNote n;
    n.key = n.pitch = key;
    n.on = on;
    n.off = off;
    n.velocity = 127;
    return n;
}

// A key struck every half second with these gains, the tones and the notes written for them.
struct Struck {
    std::vector<ToneNote> tones;
    std::vector<TimedNote> notes;
};
Struck struck(int key, const std::vector<double> &gains) {
    Struck s;
    for (size_t i = 0; i < gains.size(); ++i) {
        double on = 0.5 + 0.5 * static_cast<double>(i);
        s.tones.push_back({key, on, 0.45, gains[i]});
        s.notes.push_back(engineNote(key, on, on + 0.45));
    }
    return s;
}

std::vector<int> velocities(const std::vector<TimedNote> &notes) {
    std::vector<int> v;
    for (const TimedNote &n : notes)
        v.push_back(n.velocity);
    return v;
}

const std::vector<double> Crescendo{0.1, 0.16, 0.25, 0.4, 0.63, 1.0};

}  // namespace

TEST(RefineVelocity, ACrescendoOfOneRepeatedNoteGivesRisingVelocities) {
    Struck s = struck(64, Crescendo);
    std::vector<int> v = velocities(withVelocities(s.notes, evidenceOf(s.tones, 4), RefineThresholds{}));
    ASSERT_EQ(v.size(), Crescendo.size());
    for (size_t i = 1; i < v.size(); ++i)
        EXPECT_GT(v[i], v[i - 1] + 3) << i;
    EXPECT_LE(v.back(), 127);
    EXPECT_GE(v.front(), 20) << "a tenth of the amplitude is soft, not silent";
}

TEST(RefineVelocity, NotesOfEqualLevelGetEqualVelocities) {
    Struck s = struck(57, std::vector<double>(6, 0.5));
    std::vector<int> v = velocities(withVelocities(s.notes, evidenceOf(s.tones, 4), RefineThresholds{}));
    ASSERT_EQ(v.size(), 6u);
    for (int x : v)
        EXPECT_NEAR(x, v.front(), 1);
    EXPECT_LT(v.front(), 127) << "a recording's typical level is not fff";
}

TEST(RefineVelocity, AQuietAndALoudRecordingOfTheSameNotesGetTheSameDynamics) {
    std::vector<double> quiet;
    for (double g : Crescendo)
        quiet.push_back(g / 20);
    Struck loudNotes = struck(60, Crescendo), quietNotes = struck(60, quiet);
    std::vector<int> loud = velocities(withVelocities(loudNotes.notes, evidenceOf(loudNotes.tones, 4), RefineThresholds{}));
    std::vector<int> soft = velocities(withVelocities(quietNotes.notes, evidenceOf(quietNotes.tones, 4), RefineThresholds{}));
    ASSERT_EQ(loud.size(), soft.size());
    for (size_t i = 0; i < loud.size(); ++i)
        EXPECT_NEAR(soft[i], loud[i], 2) << i;
    EXPECT_GT(loud.back() - loud.front(), 30) << "the spread of a crescendo";
}

TEST(RefineVelocity, SilenceAndASustainedToneAddNothing) {
    EXPECT_TRUE(withVelocities({}, evidenceOf({}, 2), RefineThresholds{}).empty());
    std::vector<TimedNote> silent{engineNote(60, 0.5, 1.0)};
    std::vector<TimedNote> out = withVelocities(silent, evidenceOf({}, 2), RefineThresholds{});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].on, 0.5);
    out = withVelocities({engineNote(57, 0.5, 4.5)}, evidenceOf({{57, 0.5, 4.0}}, 5), RefineThresholds{});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].on, 0.5);
    EXPECT_EQ(out[0].off, 4.5);
    EXPECT_GT(out[0].velocity, 40);
    EXPECT_LT(out[0].velocity, 110) << "one note is the recording's typical level";
}

TEST(RefineVelocity, TheCurveRisesWithLevelAndStaysInRange) {
    int previous = 0;
    for (double level = -60; level <= 10; level += 2) {
        int v = velocityOf(level, -10);
        EXPECT_GE(v, previous) << level;
        EXPECT_GE(v, 1);
        EXPECT_LE(v, 127);
        previous = v;
    }
    EXPECT_EQ(typicalLevel({-3, -20, -9}), -9);
    EXPECT_EQ(typicalLevel({}), 0);
}

TEST(RefineVelocity, TheRefinementToolPrintsTheLevelsTheCalibrationFits) {
    ScratchDir dir;
    Struck s = struck(69, {0.1, 0.3, 1.0});
    ASSERT_TRUE(writeTones(dir.path + "tones.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, s.tones, 3));
    writeText(dir.path + "notes.txt", "0.5 69\n1.0 69\n1.5 69\n");
    CommandResult r = runCommand({REFINE_TOOL_PATH, "--levels", dir.path + "tones.wav", dir.path + "notes.txt"}, {},
                                 dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    double on = 0, level = 0, previous = -100;
    int key = 0, count = 0;
    while (lines >> on >> key >> level) {
        EXPECT_EQ(key, 69);
        EXPECT_GT(level, previous + 5) << "about 10 dB between the tones";
        previous = level;
        ++count;
    }
    EXPECT_EQ(count, 3);
    EXPECT_LE(previous, 0) << "in dB re the recording's loudest band";
    writeText(dir.path + "bad.txt", "0.5 sixty-nine\n");
    EXPECT_EQ(runCommand({REFINE_TOOL_PATH, "--levels", dir.path + "tones.wav", dir.path + "bad.txt"}, {}, dir.path).code,
              3);
}
