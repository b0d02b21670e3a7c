// The refinement rules on synthetic recordings: re-strikes, late onsets,
// octave partials, notes the engine missed, silence and a sustained tone.
#include <gtest/gtest.h>

#include <cmath>

#include <sndfile.h>

#include "app/starter/refine/rules.h"
#include "tests/app/refine/tone_evidence.h"
#include "tests/app/support.h"

namespace {

std::vector<TimedNote> refine(const std::vector<TimedNote> &notes, const AttackEvidence &e, RefineCounts &counts) {
    return applyRules(notes, e, grid(), RefineThresholds{}, counts);
}

// The logistic acceptance with the check of the keys below, which the tests of that check ask for (the
// default's trees, fitted on recordings, give the upper note of these four-partial octaves 0.24-0.34).
RefineThresholds logisticAcceptance() {
    RefineThresholds th;
    th.addModel = 1;
    th.addCut = 0.35;
    th.addModelBelow = 1;
    return th;
}

// The rules with the proposal of notes on and splits at attacks of 3 dB (the split off by default
// until it gains on pieces it was not chosen on).
std::vector<TimedNote> refineProposing(const std::vector<TimedNote> &notes, const AttackEvidence &e,
                                       RefineCounts &counts) {
    RefineThresholds th;
    th.addOn = 1;
    th.splitStrength = 3;
    return applyRules(notes, e, grid(), th, counts);
}

}  // namespace

TEST(RefineRules, AToneStruckAgainWhileItRingsBecomesTwoNotes) {
    AttackEvidence e = evidenceOf({{60, 0.5, 2.5}, {60, 1.5, 1.5}}, 4);
    RefineCounts counts;
    std::vector<TimedNote> out = refine({note(60, 0.5, 3.0)}, e, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(counts.split, 1);
    EXPECT_NEAR(out[0].on, 0.5, SuddenToneEarly);
    EXPECT_NEAR(out[1].on, 1.5, SuddenToneEarly);
    EXPECT_NEAR(out[0].off, out[1].on, 1e-9) << "the first ends where the second starts";
    EXPECT_NEAR(out[1].off, 3.0, 1e-9);
}

TEST(RefineRules, ABowedNoteReStruckWhileItRingsBecomesTwoNotes) {
    AttackEvidence e;
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 1.6, 3.0, 3.5), geometryFor(44100, 440), e, nullptr));
    RefineCounts counts;
    std::vector<TimedNote> out = refineProposing({note(67, 0.5, 3.0)}, e, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(out[0].on, 0.5, SuddenToneEarly);
    EXPECT_NEAR(out[1].on, 1.6, 0.05);
}

TEST(RefineRules, ANotePlayedAfterItsGridStepLandsOnItsAttack) {
    // Played 30 ms after the step at 1.0 s; the engine wrote it on that step or one late.
    AttackEvidence e = evidenceOf({{64, 1.03, 1.0}, {55, 2.0, 1.0}}, 4);
    for (double engineOnset : {1.0, 1.125}) {
        RefineCounts counts;
        std::vector<TimedNote> out = refine({note(64, engineOnset, 2.0), note(55, 2.0, 3.0)}, e, counts);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_NEAR(out[0].on, 1.03, SuddenToneEarly) << engineOnset;
        EXPECT_NEAR(out[1].on, 2.0, SuddenToneEarly);
        EXPECT_EQ(counts.moved, engineOnset > 1.1 ? 1 : 0);
    }
}

TEST(RefineRules, AnOctavePartialIsDroppedAndAPlayedOctaveKept) {
    // C3 sounds from 1 s; the engine also wrote C4 with it, which nothing struck. At 2.5 s C4 is played
    // while C3 still rings.
    AttackEvidence e = evidenceOf({{48, 1.0, 3.5}, {60, 2.5, 1.0}}, 5);
    RefineCounts counts;
    std::vector<TimedNote> out =
        refine({note(48, 1.0, 4.5), note(60, 1.0, 2.0), note(60, 2.5, 3.5)}, e, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(counts.dropped, 1);
    EXPECT_EQ(out[0].key, 48);
    EXPECT_EQ(out[1].key, 60);
    EXPECT_NEAR(out[1].on, 2.5, SuddenToneEarly);
}

TEST(RefineRules, AnOnsetAStepEarlyMovesToTheAttackItSharesWithALowerOctave) {
    // G4 struck with G2 or G3 at 1 s (G4 is a partial of both); the engine wrote G4 a step early. Its
    // onset goes to the attack they share, and is judged there: kept where it rises beyond the lower
    // note's partials, else dropped as one of them; never left a step early.
    for (int low : {43, 55}) {
        AttackEvidence e = evidenceOf({{low, 1.0, 2.0}, {67, 1.0, 1.0}}, 3);
        RefineCounts counts;
        std::vector<TimedNote> out = refine({note(low, 1.0, 3.0), note(67, 0.875, 2.0)}, e, counts);
        EXPECT_EQ(counts.moved, 1) << low;
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].key, low);
        for (const TimedNote &n : out)
            EXPECT_NEAR(n.on, 1.0, SuddenToneEarly) << low << ": key " << n.key;
    }
}

TEST(RefineRules, ANoteWithoutAnythingHeardIsDropped) {
    AttackEvidence e = evidenceOf({{67, 1.0, 1.0}}, 3);
    RefineCounts counts;
    std::vector<TimedNote> out = refine({note(67, 1.0, 2.0), note(71, 2.5, 2.75)}, e, counts);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, 67);
    EXPECT_EQ(counts.dropped, 1);
}

TEST(RefineRules, SilenceAndASustainedToneChangeNothing) {
    RefineCounts counts;
    EXPECT_TRUE(refine({}, evidenceOf({}, 3), counts).empty());
    EXPECT_EQ(counts.moved + counts.split + counts.dropped + counts.added, 0);
    AttackEvidence e = evidenceOf({{57, 0.5, 4.0}}, 5);
    for (auto rules : {refine, refineProposing}) {
        std::vector<TimedNote> out = rules({note(57, 0.5, 4.5)}, e, counts);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(counts.moved + counts.split + counts.dropped + counts.added, 0);
        EXPECT_NEAR(out[0].on, 0.5, SuddenToneEarly);
        EXPECT_NEAR(out[0].off, 4.5, 1e-9);
    }
    EXPECT_TRUE(refineProposing({}, evidenceOf({}, 3), counts).empty());
}

TEST(RefineRules, ANoteTheEngineMissedIsAddedAtItsAttackButNotItsPartials) {
    // E5 and G5 of a second voice over C3 and the C4 an octave above it; the engine wrote C3 alone.
    // E5 and G5 are added at their attacks; C4 too, for it is struck, but nothing at C3's partials
    // (C4 at 1 s, G4, C5) where nothing but C3 was struck.
    AttackEvidence e = evidenceOf({{48, 1.0, 4.0}, {76, 1.5, 1.0}, {79, 2.5, 1.0}, {60, 3.5, 1.0}}, 5);
    RefineCounts counts;
    std::vector<TimedNote> out = refineProposing({note(48, 1.0, 5.0)}, e, counts);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(counts.added, 3);
    int keys[] = {48, 76, 79, 60};
    double onsets[] = {1.0, 1.5, 2.5, 3.5};
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].key, keys[i]);
        EXPECT_NEAR(out[i].on, onsets[i], SuddenToneEarly) << out[i].key;
    }
}

// A decaying harmonic tone of key added to x from `start` s (44100 Hz), as a plucked string.
void addPlucked(std::vector<float> &x, int key, double start, double gain) {
    double f0 = 440 * std::pow(2.0, (key - 69) / 12.0);
    for (size_t i = static_cast<size_t>(start * 44100); i < x.size(); ++i) {
        double t = static_cast<double>(i) / 44100 - start, v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * M_PI * f0 * h * t) / h;
        x[i] += static_cast<float>(gain * std::exp(-t / 0.8) * v);
    }
}

// The engine's notes with one note added after them: key, starting at `on`.
void expectOneAdded(const std::vector<TimedNote> &out, const RefineCounts &counts, int key, double on) {
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(counts.added, 1);
    EXPECT_EQ(out[1].key, key);
    EXPECT_NEAR(out[1].on, on, SuddenToneEarly);
}

// One plucked tone: its key, start in seconds and gain.
struct Pluck {
    int key;
    double start, gain;
};

// The evidence of three seconds of plucked tones (44100 Hz).
AttackEvidence pluckedEvidence(std::initializer_list<Pluck> tones) {
    std::vector<float> x(static_cast<size_t>(3 * 44100), 0.0f);
    for (const Pluck &p : tones)
        addPlucked(x, p.key, p.start, p.gain);
    AttackEvidence e;
    EXPECT_TRUE(measureSamples(x, geometryFor(44100, 440), e, nullptr));
    return e;
}

TEST(RefineRules, AnUnwrittenBassNoteIsAddedWithoutTheKeysBesideIt) {
    // The engine wrote C4; A1 of a bass, unwritten, is plucked at 1.5 s. Low keys lie closer than the
    // long window tells apart, so the keys a semitone and a tone beside A1 rise with it: only the key
    // that stands above them is added (when any strong attack of its own proposed a note, they were too).
    AttackEvidence e = pluckedEvidence({{60, 0.5, 0.15}, {33, 1.5, 0.3}});
    RefineCounts counts;
    std::vector<TimedNote> out = refine({note(60, 0.5, 2.5)}, e, counts);
    expectOneAdded(out, counts, 33, 1.5);
    RefineThresholds anyPeak;
    anyPeak.addModel = 0;  // the conjunction's own check of the peak
    anyPeak.addPeak = -1000;
    EXPECT_GT(applyRules({note(60, 0.5, 2.5)}, e, grid(), anyPeak, counts).size(), 2u)
        << "without its peak across the keys the keys beside it are taken for notes";
}

TEST(RefineRules, AnUnwrittenLowNoteIsAddedAndExplainsItsPartials) {
    // The engine wrote only a high E6; G2 is struck beneath it and added, lowest first, and its
    // octave, twelfth and double octave (which rise with it) are not.
    AttackEvidence e = evidenceOf({{88, 0.3, 1.0}, {43, 1.5, 2.0}}, 4);
    RefineCounts counts;
    std::vector<TimedNote> out = refineProposing({note(88, 0.3, 1.3)}, e, counts);
    expectOneAdded(out, counts, 43, 1.5);
}

TEST(RefineRules, AddedNotesTakeTheTranspositionOfTheWrittenOnes) {
    // Written two semitones up: the key heard is the key written less 2.
    AttackEvidence e = evidenceOf({{60, 0.5, 1.0}, {67, 1.5, 1.0}}, 3);
    TimedNote written = note(62, 0.5, 1.5);
    written.pitch = 60;
    RefineCounts counts;
    std::vector<TimedNote> out = refineProposing({written}, e, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].pitch, 67);
    EXPECT_EQ(out[1].key, 69);
}

TEST(RefineRules, NotesOutsideTheMeasuredKeysAreKeptAsTheyAre) {
    AttackEvidence e = evidenceOf({{60, 1.0, 1.0}}, 2);
    RefineCounts counts;
    std::vector<TimedNote> out = refine({note(110, 0.3, 0.6), note(60, 1.0, 1.5)}, e, counts);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].key, 110);
    EXPECT_NEAR(out[0].on, 0.3, 1e-9);
}

TEST(RefineRules, AnOctaveStruckWithItsLowerNoteIsTakenByItsLevelAndAPartialIsNot) {
    // C3 and C4 (a little louder, a tune over its bass) plucked together at 1 s; the engine wrote C3
    // alone. Both rise together, so C4 rises little beyond C3's own partials; but its key stands near
    // C3's (2 dB below), as C3's upper partials alone never do (10 dB below): it is added. Where C3
    // alone sounds, and the engine wrote C4 with it, C4 is dropped.
    AttackEvidence both = pluckedEvidence({{48, 1.0, 0.3}, {60, 1.0, 0.45}}), alone = pluckedEvidence({{48, 1.0, 0.3}});
    RefineCounts counts;
    std::vector<TimedNote> out = applyRules({note(48, 1.0, 2.5)}, both, grid(), logisticAcceptance(), counts);
    expectOneAdded(out, counts, 60, 1.0);
    RefineThresholds byRise = logisticAcceptance();
    byRise.addOver = -1000;
    byRise.addSure = 2;  // the check below asked, whatever the model's chance
    EXPECT_EQ(applyRules({note(48, 1.0, 2.5)}, both, grid(), byRise, counts).size(), 1u)
        << "its rise beyond the lower note's partials alone does not tell it";
    out = refine({note(48, 1.0, 2.5), note(60, 1.0, 2.0)}, alone, counts);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, 48);
    RefineThresholds byLevel;
    byLevel.partnerStrength = -1000;
    EXPECT_EQ(applyRules({note(48, 1.0, 2.5), note(60, 1.0, 2.0)}, alone, grid(), byLevel, counts).size(), 1u)
        << "its level alone drops the lower note's partial";
    EXPECT_EQ(applyRules({note(48, 1.0, 2.5), note(60, 1.0, 2.0)}, both, grid(), byLevel, counts).size(), 2u)
        << "and keeps a played octave";
}

TEST(RefineRules, TheDropSplitAndReStrikeLevelsAreAskedEachByItsOwnRule) {
    // Each level set above the loudest band (+10 dB) in turn: only its own rule stops taking its note.
    // An unplayed onset a second into a steady bowed tone (dropped only by its level), a tone struck
    // again loudly (a split, the soft re-strikes off) and a bow changed softly (a re-strike).
    AttackEvidence struck = evidenceOf({{60, 0.5, 2.5}, {60, 1.5, 1.5}}, 4), steady, bowed;
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 10, 3.0, 3.5), geometryFor(44100, 440), steady, nullptr));
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 1.6, 3.0, 3.5), geometryFor(44100, 440), bowed, nullptr));
    double RefineThresholds::*levels[] = {&RefineThresholds::dropLevel, &RefineThresholds::splitLevel,
                                          &RefineThresholds::restrikeLevel};
    for (double RefineThresholds::*level : levels) {
        RefineThresholds th;
        th.*level = 10;
        th.addOn = 0;
        th.dropModel = 0;  // the hand-set drops alone (the learned one drops the unplayed onset at any level)
        th.restrikeModel = 0;  // the hand-set re-strikes alone (the learned ones hear the changed bow at any level)
        RefineCounts counts;
        bool drop = level == &RefineThresholds::dropLevel, split = level == &RefineThresholds::splitLevel;
        EXPECT_EQ(applyRules({note(67, 1.5, 2.5)}, steady, grid(), th, counts).size(), drop ? 0u : 1u);
        EXPECT_EQ(applyRules({note(67, 0.5, 3.0)}, bowed, grid(), th, counts).size(), drop || split ? 2u : 1u);
        th.restrikeOn = 0;
        EXPECT_EQ(applyRules({note(60, 0.5, 3.0)}, struck, grid(), th, counts).size(), split ? 1u : 2u);
    }
}

TEST(RefineThresholdsTest, ParametersAreSetByNameOverTheDefaults) {
    RefineThresholds t;
    std::string error;
    ASSERT_TRUE(parseThresholdLine("  moveBefore=4 dropLevel=-30.5  ", t, error)) << error;
    EXPECT_EQ(t.moveBefore, 4);
    EXPECT_EQ(t.dropLevel, -30.5);
    EXPECT_EQ(t.nearWindow, RefineThresholds{}.nearWindow);
    ASSERT_TRUE(parseThresholdLine("", t, error));
    EXPECT_EQ(t.moveBefore, RefineThresholds{}.moveBefore);
    EXPECT_FALSE(parseThresholdLine("moveBefor=4", t, error));
    EXPECT_NE(error.find("moveBefor"), std::string::npos);
    EXPECT_FALSE(parseThresholdLine("moveBefore=x", t, error));
    EXPECT_FALSE(parseThresholdLine("moveBefore", t, error));
}

TEST(RefineRules, AnOctaveTheModelIsSureOfIsTakenOverItsLowerNoteAndAPartialIsNot) {
    // C3 and a softer C4 plucked together at 1 s; the engine wrote C3 alone. C4 rises 5.3 dB less than
    // C3's partials and stands 4-5 dB below it, so the check of the keys below (where it is asked)
    // refuses it, though the model gives it more than an even chance: with addSure it is added, unless
    // a rise of at least -5 dB is asked. A still softer C4 and C3 sounding alone (its partials C4, G4
    // and C5) add nothing.
    AttackEvidence both = pluckedEvidence({{48, 1.0, 0.3}, {60, 1.0, 0.2}});
    RefineCounts counts;
    RefineThresholds unsure;
    unsure.addModelBelow = 1;
    unsure.addSure = 2;
    EXPECT_EQ(applyRules({note(48, 1.0, 2.5)}, both, grid(), unsure, counts).size(), 1u)
        << "the check below refuses it when the model is never sure enough";
    RefineThresholds sure = logisticAcceptance();
    std::vector<TimedNote> out = applyRules({note(48, 1.0, 2.5)}, both, grid(), sure, counts);
    expectOneAdded(out, counts, 60, 1.0);
    RefineThresholds guarded = sure;
    guarded.addSureBelow = -5;
    EXPECT_EQ(applyRules({note(48, 1.0, 2.5)}, both, grid(), guarded, counts).size(), 1u)
        << "a key the lower note's partials explain this well is left to the check";
    for (double upper : {0.12, 0.0}) {
        AttackEvidence e = pluckedEvidence({{48, 1.0, 0.3}, {60, 1.0, upper}});
        out = applyRules({note(48, 1.0, 2.5)}, e, grid(), sure, counts);
        ASSERT_EQ(out.size(), 1u) << upper;
        EXPECT_EQ(out[0].key, 48);
    }
}
