// Our scores opened by a notation program we did not write: MuseScore 3
// reads them and plays them back as MIDI with the same pitches and onsets.
// The test fails when mscore3 is missing (tools/deps.sh installs it).
#include <gtest/gtest.h>

#include <set>

#include "app/starter/score/score_file.h"
#include "tests/app/score/score_support.h"
#include "tests/app/support.h"

namespace {

// Notes on a grid of 4 ticks a 16th (songOf), in 16ths.
MidiNote note(int key, int64_t start, int64_t end) { return {key, 100, 4 * start, 4 * end}; }

// A piano piece: two staves, chords, two voices, ties over barlines, accidentals.
MidiContent pianoPiece() {
    MidiContent m = songOf({note(48, 0, 32), note(55, 4, 8), note(60, 0, 2), note(64, 2, 4), note(67, 4, 10),
                            note(72, 4, 10), note(76, 4, 10), note(66, 10, 12), note(65, 12, 14), note(70, 14, 20),
                            note(61, 20, 21), note(63, 21, 22), note(43, 32, 48), note(47, 32, 48), note(74, 34, 47)});
    m.keySignature = -2;
    m.markers = {{0, "C"}, {128, "G"}};
    return m;
}

// A jig in 6/8 with a pick-up, in E major, with a tempo change.
MidiContent jigWithPickup() {
    MidiContent m = songOf({note(71, 8, 10), note(76, 10, 12), note(80, 12, 18), note(68, 12, 24), note(78, 18, 20),
                            note(75, 20, 22), note(73, 22, 24), note(64, 24, 48), note(71, 24, 36)},
                           6, 3);
    m.division = 8;
    m.keySignature = 4;
    m.tempos = {{0, 400000}, {96, 500000}};
    return m;
}

// A low chord of three lengths struck at once, its short keys struck again while the long one holds.
MidiContent restrikesUnderAHeldNote() {
    MidiContent m = songOf({note(50, 0, 15), note(45, 0, 3), note(41, 0, 3), note(38, 0, 1), note(26, 0, 2),
                            note(45, 3, 4), note(41, 3, 4), note(38, 3, 4), note(26, 3, 4), note(38, 4, 5),
                            note(26, 4, 6), note(38, 8, 16), note(31, 8, 16)});
    m.program = 32;  // a bass: one staff
    return m;
}

// A guitar's bass and tune on one staff read an octave above the sound: an off-beat quarter written
// as one note, and a half note released before the next.
MidiContent guitarPiece() {
    MidiContent m = songOf({note(40, 0, 4), note(71, 0, 2), note(72, 2, 6), note(55, 4, 8), note(74, 6, 8),
                            note(45, 8, 16), note(76, 8, 15), note(40, 16, 32), note(77, 16, 32)});
    m.program = 24;
    return m;
}

// (key, onset in quarter notes) of every note, onsets counted from the first.
std::set<std::pair<int, double>> onsets(const MidiContent &m, double ticksPerQuarter) {
    std::set<std::pair<int, double>> out;
    int64_t first = m.notes.empty() ? 0 : m.notes.front().onTick;
    for (const MidiNote &n : m.notes)
        first = std::min(first, n.onTick);
    for (const MidiNote &n : m.notes)
        out.insert({n.key, (n.onTick - first) / ticksPerQuarter});
    return out;
}

}  // namespace

TEST(ScoreMuseScore, PlaysBackTheSameNotes) {
    ScratchDir dir;
    const std::vector<std::pair<std::string, MidiContent>> pieces = {{"piano", pianoPiece()},
                                                                     {"jig", jigWithPickup()},
                                                                     {"restrikes", restrikesUnderAHeldNote()},
                                                                     {"guitar", guitarPiece()}};
    std::string job = "[";
    for (const auto &[name, midi] : pieces) {
        std::string error;
        ASSERT_TRUE(writeScoreFile(midi, {name, 4, false}, dir.path + name + ".musicxml", error)) << error;
        ASSERT_EQ(schemaProblems(dir.path + name + ".musicxml"), "");
        job += std::string(job.size() > 1 ? "," : "") + "{\"in\":\"" + dir.path + name + ".musicxml\",\"out\":\"" +
               dir.path + name + ".mid\"}";
    }
    writeText(dir.path + "job.json", job + "]");
    CommandResult r = runCommand({"/usr/bin/env", "mscore3", "-j", dir.path + "job.json"},
                                 {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir.path}, dir.path);
    ASSERT_EQ(r.code, 0) << "mscore3 (127: not installed; tools/deps.sh installs musescore3): " << r.err;
    for (const auto &[name, midi] : pieces) {
        MidiContent back;
        std::string error;
        ASSERT_TRUE(readMidiFile(dir.path + name + ".mid", back, error)) << name << ": " << error;
        // Our MIDI counts division ticks per beat of the time signature; MuseScore's per quarter.
        double ourQuarter = midi.division * (1 << midi.denominatorPower) / 4.0;
        EXPECT_EQ(onsets(back, back.division), onsets(midi, ourQuarter)) << name;
        EXPECT_EQ(back.notes.size(), midi.notes.size()) << name;
    }
}
