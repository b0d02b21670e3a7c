// The joint tempo-and-phase beat tracker on synthetic onset strengths.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/starter/beats/dbn.h"
#include "tests/app/beats/synthetic_onsets.h"

namespace {

// The onset-strength hop of the starter's tracker, in seconds.
constexpr double Hop = 256.0 / 22050;

// The beats from a hop before the first click to a hop after the last.
std::vector<int64_t> beatsAmong(const std::vector<int64_t> &beats, const std::vector<double> &at) {
    std::vector<int64_t> inside;
    for (int64_t b : beats)
        if (static_cast<double>(b) >= at.front() - 1 && static_cast<double>(b) <= at.back() + 1)
            inside.push_back(b);
    return inside;
}

// Expects one beat on every click (within a hop) and no other between the first and the last.
void expectOnClicks(const std::vector<int64_t> &beats, const std::vector<double> &at) {
    std::vector<int64_t> inside = beatsAmong(beats, at);
    ASSERT_EQ(inside.size(), at.size());
    for (size_t i = 0; i < at.size(); ++i)
        EXPECT_LE(std::fabs(static_cast<double>(inside[i]) - at[i]), 1.0) << "click " << i;
}

TEST(FramePulse, FollowsAClickTrackThroughARitardando) {
    // 129 beats a minute slowing to 99 over 40 clicks, with a steady stretch after.
    std::vector<double> at = drifting(30, 40, 52, 40);
    for (int i = 0; i < 10; ++i)
        at.push_back(at.back() + 52);
    std::vector<float> s = clickStrength(at, {10.0f}, static_cast<size_t>(at.back()) + 40);
    expectOnClicks(framePulseBeats(s, Hop, 30, 300), at);
}

TEST(FramePulse, ThreeBeatsToTheBarGiveBeatsNotBars) {
    // A waltz at 150 beats a minute, its downbeats twice as loud as the other beats.
    std::vector<double> at;
    for (int i = 0; i < 60; ++i)
        at.push_back(20 + 34.4 * i);
    std::vector<float> s = clickStrength(at, {10.0f, 5.0f, 5.0f}, static_cast<size_t>(at.back()) + 40);
    expectOnClicks(framePulseBeats(s, Hop, 30, 300), at);
}

TEST(FramePulse, PeriodsRiseByAConstantRatioOnceEach) {
    std::vector<int> p = framePeriods(60 / 300.0 / Hop, 60 / 30.0 / Hop);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.front(), 17);
    EXPECT_GE(p.back(), 171);  // the longest, 172.3 hops, within a step
    EXPECT_LE(p.back(), 172);
    EXPECT_EQ(p.size(), 96u);  // 7315 states
    for (size_t i = 1; i < p.size(); ++i) {
        EXPECT_GT(p[i], p[i - 1]);
        EXPECT_LE(p[i], std::ceil(p[i - 1] * 1.02 + 1));
    }
    EXPECT_TRUE(framePeriods(0.5, 10).empty());
    EXPECT_TRUE(framePeriods(10, 5).empty());
    EXPECT_TRUE(framePeriods(10, std::numeric_limits<double>::infinity()).empty());
}

TEST(FramePulse, OddStrengthsGiveProbabilitiesAndNoBeatsFromNothing) {
    std::vector<float> s{1, std::numeric_limits<float>::quiet_NaN(), 3, std::numeric_limits<float>::infinity(), 2};
    for (double o : beatObservation(s)) {
        EXPECT_GT(o, 0);
        EXPECT_LT(o, 1);
    }
    EXPECT_TRUE(beatObservation({}).empty());
    EXPECT_TRUE(framePulseBeats({}, Hop, 30, 300).empty());
    EXPECT_TRUE(framePulseBeats(std::vector<float>(100, 1.0f), 0, 30, 300).empty());
    EXPECT_TRUE(decodeFramePulse({0.5, 0.5}, {}).empty());
}

}  // namespace
