// The tempo curve and the beats placed along it, on synthetic onset strengths.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "app/starter/beats/pulse.h"
#include "tests/app/beats/synthetic_onsets.h"

namespace {

// An onset strength of 1 with pulses of 10 at the given hops.
std::vector<float> pulses(const std::vector<double> &at, size_t length) { return clickStrength(at, {10.0f}, length); }

// Number of pulses with a beat at most tolerance hops away.
int hits(const std::vector<double> &at, const std::vector<int64_t> &beats, double tolerance) {
    int n = 0;
    for (double a : at)
        for (int64_t b : beats)
            if (std::fabs(static_cast<double>(b) - a) <= tolerance) {
                ++n;
                break;
            }
    return n;
}

TEST(Pulse, ASteadyPulseGivesItsPeriodEverywhere) {
    std::vector<double> at = drifting(10, 50, 50, 60);
    PulseCurve c = followPulse(pulses(at, 3050), 48);
    ASSERT_EQ(c.periods.size(), 3050u);
    for (double p : c.periods)
        EXPECT_NEAR(p, 50, 1);
    EXPECT_GT(c.clarity, 0.5);
    std::vector<int64_t> beats = placeBeats(pulses(at, 3050), c.periods);
    EXPECT_EQ(hits(at, beats, 0), 60);
}

TEST(Pulse, TheCurveFollowsAGradualChangeWithoutJumpingLevels) {
    // 40 hops a beat slowing to 60 over 80 beats, then the curve is read at its middle and ends.
    std::vector<double> at = drifting(5, 40, 60, 80);
    size_t length = static_cast<size_t>(at.back()) + 30;
    PulseCurve c = followPulse(pulses(at, length), 50);
    ASSERT_FALSE(c.periods.empty());
    for (size_t i = 10; i + 10 < at.size(); i += 10) {
        double local = at[i + 1] - at[i];
        EXPECT_NEAR(c.periods[static_cast<size_t>(at[i])], local, 0.1 * local) << "beat " << i;
    }
    std::vector<int64_t> beats = placeBeats(pulses(at, length), c.periods);
    EXPECT_GE(hits(at, beats, 1), 78);
    EXPECT_LE(beats.size(), at.size() + 2);  // one beat per pulse: neither halves nor doubles
}

TEST(Pulse, BeatsGoOnThroughMissingPulsesAtThePeriod) {
    std::vector<double> at = drifting(0, 50, 50, 40);
    std::vector<double> heard = at;
    heard.erase(heard.begin() + 15, heard.begin() + 19);
    PulseCurve c = followPulse(pulses(heard, 2000), 50);
    std::vector<int64_t> beats = placeBeats(pulses(heard, 2000), c.periods);
    EXPECT_EQ(hits(at, beats, 1), 40);
}

TEST(Pulse, NoiseHasNoClearPulse) {
    std::mt19937 random(7);
    std::exponential_distribution<float> spread(1.0f);
    std::vector<float> noise(3000);
    for (float &v : noise)
        v = spread(random);
    EXPECT_LT(followPulse(noise, 45).clarity, 0.2);
    EXPECT_EQ(followPulse(std::vector<float>(3000, 1.0f), 45).clarity, 0);
}

TEST(Pulse, TooLittleToGoOn) {
    EXPECT_TRUE(followPulse({}, 50).periods.empty());
    EXPECT_TRUE(followPulse(pulses({10, 60}, 100), 50).periods.empty());  // shorter than two long periods
    EXPECT_TRUE(followPulse(pulses({10, 60, 110}, 3000), 3).periods.empty());
    EXPECT_TRUE(followPulse(pulses({10, 60, 110}, 3000), NAN).periods.empty());
    EXPECT_TRUE(placeBeats({}, {}).empty());
    EXPECT_TRUE(placeBeats(pulses({1}, 10), {}).empty());
    EXPECT_TRUE(placeBeats(pulses({1, 5}, 10), std::vector<double>(10, 1.0)).empty());
    EXPECT_TRUE(placeBeats(pulses({1, 5}, 10), std::vector<double>(10, NAN)).empty());
    EXPECT_TRUE(placeBeats(pulses({1, 5}, 10), std::vector<double>(10, 1e300)).empty());
}

}  // namespace

namespace {

TEST(Pulse, WithoutAClearPulseAtThePriorOtherLevelsAreTried) {
    // Long chords every 100 hops; a prior of a third of that finds nothing between them.
    std::vector<double> at;
    for (int i = 0; i < 40; ++i)
        at.push_back(50 + 100.0 * i);
    std::vector<float> s = pulses(at, 4100);
    EXPECT_LT(followPulse(s, 33).clarity, 0.2);
    bool other = false;
    PulseCurve c = followClearestPulse(s, 33, 0.2, other);
    EXPECT_TRUE(other);
    EXPECT_GE(c.clarity, 0.2);
    EXPECT_NEAR(c.periods[2000], 100, 1);
    // A clear pulse at the prior is kept as it is.
    c = followClearestPulse(s, 100, 0.2, other);
    EXPECT_FALSE(other);
    EXPECT_NEAR(c.periods[2000], 100, 1);
}

}  // namespace

namespace {

// A slow swell of the onset strength (a room, held notes: 900 hops a cycle) with a weak pulse
// on it every 50 hops.
std::vector<float> pulseOnASwell() {
    std::vector<float> s(4000);
    for (size_t h = 0; h < s.size(); ++h)
        s[h] = static_cast<float>(5 + 4 * std::sin(2 * M_PI * static_cast<double>(h) / 900) + (h % 50 == 10 ? 3 : 0));
    return s;
}

TEST(Pulse, ASwellDoesNotPullTheProminentOrPeakPeriodToTheShortestLag) {
    std::vector<float> s = pulseOnASwell();
    // The swell's correlation falls with the lag: the plain curve sits on the shortest lag searched
    // (0.7 of the prior), a period the music does not have.
    PulseCurve plain = followPulse(s, 50);
    EXPECT_NEAR(plain.periods[2000], 35, 1);
    for (PulseScore score : {PulseScore::Prominence, PulseScore::Peaks}) {
        PulseCurve c = followPulse(s, 50, score);
        ASSERT_EQ(c.periods.size(), s.size());
        for (size_t h = 500; h < 3500; h += 500)
            EXPECT_NEAR(c.periods[h], 50, 1) << "hop " << h << ", score " << static_cast<int>(score);
        bool other = true;
        EXPECT_NEAR(followClearestPulse(s, 50, 0.2, other, score).periods[2000], 50, 1);
        EXPECT_FALSE(other);
    }
}

TEST(Pulse, TheProminentPeriodIsFoundAwayFromThePrior) {
    // Clicks every 60 hops on a swell, the prior at 45: the plain curve stays near the shortest lag,
    // the prominent one goes to the clicks' period, 1.33 times the prior (within the periods searched).
    std::vector<float> s(5000);
    for (size_t h = 0; h < s.size(); ++h)
        s[h] = static_cast<float>(5 + 4 * std::sin(2 * M_PI * static_cast<double>(h) / 1100) + (h % 60 == 7 ? 3 : 0));
    EXPECT_LT(followPulse(s, 45).periods[2500], 40);
    PulseCurve c = followPulse(s, 45, PulseScore::Prominence);
    for (size_t h = 500; h < 4500; h += 500)
        EXPECT_NEAR(c.periods[h], 60, 1) << "hop " << h;
    std::vector<int64_t> beats = placeBeats(s, c.periods);
    ASSERT_GT(beats.size(), 10u);
    for (size_t i = 1; i + 1 < beats.size(); ++i)
        EXPECT_EQ(beats[i] % 60, 7) << "beat " << i;
}

TEST(Pulse, FollowingPeaksOnlyKeepsASteadyOrDriftingPulse) {
    std::vector<double> at = drifting(10, 50, 50, 60);
    PulseCurve c = followPulse(pulses(at, 3050), 48, PulseScore::Peaks);
    for (double p : c.periods)
        EXPECT_NEAR(p, 50, 1);
    at = drifting(5, 40, 60, 80);
    size_t length = static_cast<size_t>(at.back()) + 30;
    c = followPulse(pulses(at, length), 50, PulseScore::Peaks);
    ASSERT_FALSE(c.periods.empty());
    for (size_t i = 10; i + 10 < at.size(); i += 10) {
        double local = at[i + 1] - at[i];
        EXPECT_NEAR(c.periods[static_cast<size_t>(at[i])], local, 0.1 * local) << "beat " << i;
    }
    // Too short for the lags beyond the range that a peak is judged against.
    EXPECT_TRUE(followPulse(pulses({10, 60}, 150), 50, PulseScore::Peaks).periods.empty());
}

}  // namespace
