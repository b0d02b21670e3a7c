// Block post-processing: triad preference lists, the chord of a block, its
// name and weights, and the running pitch-class totals.
#include <set>
#include <string>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {

class ChordTest : public AnalysisTest {
protected:
    // Keys 24..96, blocks of four rows; key signature and mode as given.
    void setUp(int keySignature, int majorMinor, int tonic) {
        configureResonatorPath(24, 96);
        allocateBuffers(4);
        settings.KeySignature = keySignature;
        settings.MajorMinor = majorMinor;
        settings.AutoDetectKey = 0;
        derived.tonicPitchClass = tonic;
        buildTriadTable();
    }
    void chordOfRows(int lastRow) { lastName = postProcessBlock(lastRow); }
    std::string name() const { return lastName; }
    std::string lastName;
    const Triad &chosen() const { return analysis.TriadTable[analysis.ChordIndex]; }
};

// Each preference list holds all 24 triads once, spelled from the tonic.
TEST_F(ChordTest, PreferenceListsHoldEveryTriadOnce) {
    for (int mode : {0, 1}) {
        for (int tonic : {0, 7}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " tonic " << tonic);
            setUp(tonic == 0 ? 0 : 1, mode, tonic);
            std::set<std::pair<int, int>> seen;
            for (const Triad &t : analysis.TriadTable) {
                seen.insert({t.root, t.minor});
                EXPECT_EQ(t.third, (t.root + (t.minor ? 3 : 4)) % 12);
                EXPECT_EQ(t.fifth, (t.root + 7) % 12);
            }
            EXPECT_EQ(seen.size(), 24u);
            const Triad &first = analysis.TriadTable[0];
            EXPECT_EQ(first.root, tonic);
            EXPECT_EQ(first.minor, mode);
        }
    }
    // Spot checks against the lists, tonic C: major list 3 = Am, 13 = Bm, 23 = Gb;
    // minor list 3 = Ab, 11 = Db, 21 = Gb.
    setUp(0, 0, 0);
    EXPECT_EQ(triadName(analysis.TriadTable[3]), std::string("Am"));
    EXPECT_EQ(triadName(analysis.TriadTable[13]), std::string("Bm"));
    EXPECT_EQ(triadName(analysis.TriadTable[23]), std::string("F#"));
    setUp(-1, 1, 0);
    EXPECT_EQ(triadName(analysis.TriadTable[3]), std::string("Ab"));
    EXPECT_EQ(triadName(analysis.TriadTable[11]), std::string("Db"));
    EXPECT_EQ(triadName(analysis.TriadTable[21]), std::string("Gb"));
    // KeySignature 8 (none): tonic C whatever tonicPitchClass holds.
    setUp(8, 0, 5);
    EXPECT_EQ(analysis.TriadTable[0].root, 0);
}

TEST_F(ChordTest, SilenceChoosesTheTonicTriad) {
    setUp(0, 0, 0);
    chordOfRows(3);
    EXPECT_EQ(analysis.ChordIndex, 0);
    EXPECT_EQ(name(), "C");
    const int major[12] = {1, 15, 5, 8, 4, 3, 32, 2, 8, 3, 8, 5};
    for (int p = 0; p < 12; ++p) EXPECT_EQ(analysis.ChordWeights[p], major[p]) << "pitch class " << p;

    // Silence after another chord goes back to triad 0.
    for (int k : {52, 55, 59}) levelRow(0)[k] = 3;
    chordOfRows(0);
    EXPECT_EQ(name(), "Em");
    for (int k : {52, 55, 59}) levelRow(0)[k] = 0;
    chordOfRows(3);
    EXPECT_EQ(name(), "C");

    setUp(2, 1, 2);  // tonic D, minor preference list
    chordOfRows(3);
    EXPECT_EQ(analysis.ChordIndex, 0);
    EXPECT_EQ(name(), "Dm");
    const int minor[12] = {1, 15, 5, 4, 8, 3, 32, 2, 3, 8, 5, 8};
    for (int j = 0; j < 12; ++j) EXPECT_EQ(analysis.ChordWeights[(2 + j) % 12], minor[j]) << "j " << j;
}

// C (C, E, G) and Em (E, G, B) score the same on E and G: the earlier C wins.
// With B added Em scores more.
TEST_F(ChordTest, TieGoesToTheEarlierTriad) {
    setUp(0, 0, 0);
    levelRow(1)[64] = 7;  // E4
    levelRow(2)[55] = 7;  // G3
    chordOfRows(3);
    EXPECT_EQ(name(), "C");
    EXPECT_EQ(analysis.ChordIndex, 0);
    levelRow(3)[71] = 1;  // B4
    chordOfRows(3);
    EXPECT_EQ(name(), "Em");
    EXPECT_EQ(analysis.ChordIndex, 4);
    EXPECT_EQ(analysis.ChordWeights[4], 1);
    EXPECT_EQ(analysis.ChordWeights[7], 4);
    EXPECT_EQ(analysis.ChordWeights[11], 2);
    EXPECT_EQ(analysis.ChordWeights[10], 32);
    EXPECT_EQ(analysis.ChordWeights[5], 15);
}

// Root pitch class 10 is "Bb" under flats, "A#" under sharps.
TEST_F(ChordTest, ChordNamesFollowTheKeySignature) {
    setUp(-1, 0, 5);
    for (int k : {46, 50, 53}) levelRow(0)[k] = 4;  // Bb, D, F
    chordOfRows(0);
    EXPECT_EQ(name(), "Bb");
    setUp(2, 0, 2);
    for (int k : {46, 50, 53}) levelRow(0)[k] = 4;
    chordOfRows(0);
    EXPECT_EQ(name(), "A#");
    EXPECT_EQ(chosen().root, 10);
    EXPECT_EQ(chosen().minor, 0);
    // A three-character name fills the field up to its terminating NUL.
    setUp(2, 0, 2);
    for (int k : {49, 52, 56}) levelRow(0)[k] = 4;  // C#, E, G#
    chordOfRows(0);
    EXPECT_EQ(name(), "C#m");
    EXPECT_EQ(analysis.chordName[3], '\0');
}

TEST_F(ChordTest, PitchClassTotalsGrowOnlyWithAutoDetectKey) {
    setUp(0, 0, 0);
    levelRow(0)[60] = 5;
    levelRow(1)[72] = 3;
    levelRow(3)[67] = 2;
    chordOfRows(3);
    for (int p = 0; p < 12; ++p) EXPECT_EQ(analysis.PitchClassTotals[p], 0) << "pitch class " << p;
    EXPECT_EQ(analysis.BlockPitchSums[0], 8);
    EXPECT_EQ(analysis.BlockPitchSums[7], 2);

    settings.AutoDetectKey = 1;
    chordOfRows(3);
    chordOfRows(3);
    EXPECT_EQ(analysis.PitchClassTotals[0], 16);
    EXPECT_EQ(analysis.PitchClassTotals[7], 4);
    EXPECT_EQ(analysis.PitchClassTotals[4], 0);
}

// An incomplete block (the finish routine's, ending at row 0) sums only its rows.
TEST_F(ChordTest, IncompleteBlockSumsItsRowsOnly) {
    setUp(0, 0, 0);
    settings.AutoDetectKey = 1;
    for (int k : {57, 60, 64}) levelRow(0)[k] = 2;  // A minor in row 0
    for (int r = 1; r < 4; ++r)
        for (int k : {55, 59, 62}) levelRow(r)[k] = 9;  // G major in rows left from an earlier block
    chordOfRows(0);
    EXPECT_EQ(name(), "Am");
    EXPECT_EQ(analysis.BlockPitchSums[7], 0);
    EXPECT_EQ(analysis.PitchClassTotals[9], 2);
    EXPECT_EQ(analysis.PitchClassTotals[11], 0);
    chordOfRows(1);
    EXPECT_EQ(name(), "G");
}

// Sums of large levels over a long block do not wrap around.
TEST_F(ChordTest, LargeBlockSums) {
    setUp(0, 0, 0);
    settings.AutoDetectKey = 1;
    for (int r = 0; r < 4; ++r)
        for (int k : {24, 36, 48, 60, 72, 84, 96}) levelRow(r)[k] = 100000000;
    chordOfRows(3);
    chordOfRows(3);
    EXPECT_EQ(analysis.BlockPitchSums[0], 2800000000LL);
    EXPECT_EQ(analysis.PitchClassTotals[0], 5600000000LL);
    EXPECT_EQ(name(), "C");
}

}  // namespace
