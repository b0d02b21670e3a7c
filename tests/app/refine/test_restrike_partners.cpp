// Soft re-strikes of ringing notes and partners of ringing notes, on
// synthetic recordings: each rule alone and with the others.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/starter/refine/rules.h"
#include "tests/app/refine/tone_evidence.h"
#include "tests/app/support.h"

namespace {

// The rules with the soft re-strikes and the partners' rule on or off, the rest as by default.
std::vector<TimedNote> refine(const std::vector<TimedNote> &notes, const AttackEvidence &e, bool restrike,
                              bool partners, RefineCounts &counts) {
    RefineThresholds th;
    th.restrikeOn = restrike;
    th.partnerOn = partners;
    return applyRules(notes, e, grid(), th, counts);
}

}  // namespace

TEST(RefineRestrikes, ABowedNoteReStruckSoftlyWhileItRingsBecomesTwoNotes) {
    AttackEvidence e;
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 1.6, 3.0, 3.5), geometryFor(44100, 440), e, nullptr));
    RefineCounts counts;
    EXPECT_EQ(refine({note(67, 0.5, 3.0)}, e, false, true, counts).size(), 1u) << "too soft for a split";
    std::vector<TimedNote> out = refine({note(67, 0.5, 3.0)}, e, true, true, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(counts.split, 1);
    EXPECT_NEAR(out[1].on, 1.6, 0.05);
    EXPECT_NEAR(out[1].off, 3.0, 1e-9);
}

TEST(RefineRestrikes, APluckedNoteStruckAgainSoftlyWhileItRingsBecomesTwoNotes) {
    AttackEvidence e = evidenceOf({{55, 0.5, 3.0}, {55, 1.75, 1.5, 0.6}}, 4);
    RefineCounts counts;
    std::vector<TimedNote> out = refine({note(55, 0.5, 3.5)}, e, true, true, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(out[1].on, 1.75, SuddenToneEarly);
}

TEST(RefineRestrikes, ASteadyOrDecayingToneIsNotSplit) {
    // A tone decaying from 0.5 s, a steady bowed tone without a change of bow, and a chord whose
    // upper note is struck while the lower one rings (the lower one's partials rise, not its own).
    AttackEvidence decaying = evidenceOf({{57, 0.5, 4.0}}, 5), chord = evidenceOf({{45, 0.5, 4.0}, {57, 2.0, 2.0}}, 5);
    AttackEvidence steady;
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 10, 4.0, 4.5), geometryFor(44100, 440), steady, nullptr));
    RefineCounts counts;
    EXPECT_EQ(refine({note(57, 0.5, 4.5)}, decaying, true, true, counts).size(), 1u);
    EXPECT_EQ(refine({note(67, 0.5, 4.0)}, steady, true, true, counts).size(), 1u);
    std::vector<TimedNote> out = refine({note(45, 0.5, 4.5), note(57, 2.0, 4.0)}, chord, true, true, counts);
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const TimedNote &n) { return n.key == 45; }), 1);
}

TEST(RefinePartners, AnOctaveOverARingingNoteWithoutAnAttackIsDroppedAndAPlayedOneKept) {
    // C3 rings from 1 s; the engine wrote C4 from 2 s, which nothing struck, and G4 (a twelfth) from
    // 3 s, which was played. The partners' rule alone (the drop rules off) drops C4 and keeps G4.
    AttackEvidence e = evidenceOf({{48, 1.0, 4.0}, {67, 3.0, 1.0}}, 5);
    RefineThresholds th;
    th.dropOn = 0;
    th.restrikeOn = 0;
    std::vector<TimedNote> written = {note(48, 1.0, 5.0), note(60, 2.0, 2.75), note(67, 3.0, 4.0)};
    RefineCounts counts;
    th.partnerOn = 0;
    EXPECT_EQ(applyRules(written, e, grid(), th, counts).size(), 3u);
    th.partnerOn = 1;
    std::vector<TimedNote> out = applyRules(written, e, grid(), th, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(counts.dropped, 1);
    EXPECT_EQ(out[0].key, 48);
    EXPECT_EQ(out[1].key, 67);
    EXPECT_NEAR(out[1].on, 3.0, SuddenToneEarly);
    EXPECT_EQ(refine(written, e, true, true, counts).size(), 2u) << "with the re-strikes on as well";
}

TEST(RefineRestrikes, AHeldNoteSwellingWithoutADipIsNotSplitButOneThatFadedIs) {
    // The swell is an attack of the key's own partials that rise and stay: a note that had faded
    // (as a struck one does) would be re-struck by it; a held one is not, for its partials never dip.
    AttackEvidence e;
    ASSERT_TRUE(measureSamples(swelledTone(67, 0.5, 1.6, 3.0, 3.5), geometryFor(44100, 440), e, nullptr));
    RefineCounts counts;
    EXPECT_EQ(refine({note(67, 0.5, 3.0)}, e, true, true, counts).size(), 1u);
    RefineThresholds th;
    th.restrikeOn = 1;
    th.restrikeDecay = -1000;  // every note taken for a faded one
    th.restrikeSudden = 0;     // and its rise over 40 ms for a sudden one
    std::vector<TimedNote> out = applyRules({note(67, 0.5, 3.0)}, e, grid(), th, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(out[1].on, 1.6, 0.05);
}

TEST(RefineRestrikes, AFadedNoteSwellingSlowlyStaysOneNoteWhileOneStruckAgainBecomesTwo) {
    // Both notes fade from their full level, so the fading test takes either rise for a re-strike:
    // one swells back from a quarter over 150 ms inside the one long note (an attack of 4.2 dB whose
    // partials rise 2.1 dB within 20-30 ms), the other is struck again at half its level and is back
    // within 5 ms (4.3 dB, too soft for a split, rising 4.1 dB at once).
    AttackEvidence swell, struck;
    ASSERT_TRUE(measureSamples(swelledTone(67, 0.5, 1.6, 3.0, 3.5, 0.15, 1.0, 0.25), geometryFor(44100, 440), swell,
                               nullptr));
    ASSERT_TRUE(measureSamples(swelledTone(67, 0.5, 1.6, 3.0, 3.5, 0.005, 1.0, 0.5), geometryFor(44100, 440), struck,
                               nullptr));
    RefineCounts counts;
    EXPECT_EQ(refine({note(67, 0.5, 3.0)}, swell, true, true, counts).size(), 1u);
    EXPECT_EQ(refine({note(67, 0.5, 3.0)}, struck, false, true, counts).size(), 1u) << "too soft for a split";
    std::vector<TimedNote> out = refine({note(67, 0.5, 3.0)}, struck, true, true, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(out[1].on, 1.6, SuddenToneEarly);
    RefineThresholds th;
    th.restrikeOn = 1;
    th.restrikeSudden = 0;  // how sudden the rise is not asked
    EXPECT_EQ(applyRules({note(67, 0.5, 3.0)}, swell, grid(), th, counts).size(), 2u);
}

TEST(RefineRestrikes, ABowChangedWithAnOctaveBelowStartingIsTakenByItsLevelWhenAsked) {
    // G4 bowed from 0.5 s changes bow at 1.6 s, where G3 starts below it: G3's second partial lies on
    // G4's fundamental and explains its rise, so by the rule G4 stays one note. Asked to take a
    // re-strike there by the fundamental's level, it becomes two; a level it never reaches, one. A
    // steady G4 without a change of bow stays one note whatever G3 starting below does to its key.
    auto mixed = [](double again) {
        std::vector<float> x = bowedTone(67, 0.5, again, 3.0, 3.5), low = bowedTone(55, 1.6, 10, 3.0, 3.5);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] += 0.25f * low[i];
        return x;
    };
    AttackEvidence changed, steady;
    ASSERT_TRUE(measureSamples(mixed(1.6), geometryFor(44100, 440), changed, nullptr));
    ASSERT_TRUE(measureSamples(mixed(10), geometryFor(44100, 440), steady, nullptr));
    auto g4s = [](const std::vector<TimedNote> &out) {
        return std::count_if(out.begin(), out.end(), [](const TimedNote &n) { return n.key == 67; });
    };
    std::vector<TimedNote> written = {note(67, 0.5, 3.0), note(55, 1.6, 3.0)};
    RefineCounts counts;
    RefineThresholds th;
    th.restrikeModel = 0;  // the rule alone (the trees, fitted on recordings, split both bowed tones at 1.6 s)
    th.restrikeDip = 2;    // G3 fills the dip of the changed bow a little (2.7 dB)
    EXPECT_EQ(g4s(applyRules(written, changed, grid(), th, counts)), 1);
    th.restrikeBelowLevel = -30;
    std::vector<TimedNote> out = applyRules(written, changed, grid(), th, counts);
    ASSERT_EQ(g4s(out), 2);
    auto second = std::find_if(out.begin(), out.end(), [](const TimedNote &n) { return n.key == 67 && n.on > 1; });
    EXPECT_NEAR(second->on, 1.6, 0.05);
    EXPECT_EQ(g4s(applyRules(written, steady, grid(), th, counts)), 1);
    th.restrikeBelowLevel = 0.5;
    EXPECT_EQ(g4s(applyRules(written, changed, grid(), th, counts)), 1);
}
