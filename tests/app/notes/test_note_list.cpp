// Note lists from MIDI content made by hand: times through a tempo change, bars
// and beats after a pick-up and in compound time, the order of onsets, and the
// JSON's tempo map, beats, metre, key and chords.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/starter/notes/note_list.h"

namespace {

// 480 ticks a quarter at 120 then, from tick 1440, at 60; a pick-up of one quarter before 3/4;
// F major; a chord name on the first downbeat after the pick-up's.
MidiContent pickupPiece() {
    MidiContent m;
    m.division = 480;
    m.tempos = {{0, 500000}, {1440, 1000000}};
    m.signatures = {{0, 1, 2}, {480, 3, 2}};
    m.numerator = 3;
    m.denominatorPower = 2;
    m.hasKeySignature = true;
    m.keySignature = -1;
    m.notes = {{60, 80, 0, 480, 0}, {55, 60, 0, 2400, 0}, {64, 90, 480, 1440, 0}, {67, 70, 1680, 2400, 0}};
    m.markers = {{1440, "Am"}};
    m.lastTick = 2400;
    return m;
}

}  // namespace

TEST(NoteList, GoldenCsvAfterAPickupAndATempoChange) {
    EXPECT_EQ(noteListCsv(noteListOf(pickupPiece())),
              "onset_s,offset_s,pitch,velocity,bar,beat\n"
              "0.000000,3.500000,55,60,0,3.000\n"
              "0.000000,0.500000,60,80,0,3.000\n"
              "0.500000,1.500000,64,90,1,1.000\n"
              "2.000000,3.500000,67,70,1,3.500\n");
}

TEST(NoteList, JsonHoldsTheTempoMapBeatsMetreKeyAndChords) {
    nlohmann::json j = nlohmann::json::parse(noteListJson(noteListOf(pickupPiece()), "F major"));
    EXPECT_EQ(j["notes"].size(), 4u);
    EXPECT_EQ(j["notes"][3], nlohmann::json::parse(
        R"({"onset_s": 2.0, "offset_s": 3.5, "pitch": 67, "velocity": 70, "bar": 1, "beat": 3.5})"));
    EXPECT_EQ(j["tempo_map"], nlohmann::json::parse(
        R"([{"time_s": 0.0, "beats_per_minute": 120.0}, {"time_s": 1.5, "beats_per_minute": 60.0}])"));
    EXPECT_EQ(j["beats"], nlohmann::json::parse("[0.0, 0.5, 1.0, 1.5, 2.5, 3.5]"));
    EXPECT_EQ(j["downbeats"], nlohmann::json::parse("[0.5, 2.5]"));
    EXPECT_EQ(j["time_signature"], nlohmann::json::parse(R"({"numerator": 3, "denominator": 4})"));
    EXPECT_EQ(j["key"], nlohmann::json::parse(R"({"fifths": -1, "mode": "major", "name": "F major"})"));
    EXPECT_EQ(j["chords"], nlohmann::json::parse(R"([{"time_s": 1.5, "name": "Am"}])"));
}

TEST(NoteList, CompoundTimeCountsDottedBeats) {
    // The starter's 6/8: quarters in the division, a click every 36 MIDI clocks.
    MidiContent m;
    m.division = 480;
    m.signatures = {{0, 6, 3}};
    m.numerator = 6;
    m.denominatorPower = 3;
    m.clocksPerClick = 36;
    m.notes = {{60, 64, 720, 960, 0}, {62, 64, 1680, 1920, 0}};
    NoteList list = noteListOf(m);
    ASSERT_EQ(list.notes.size(), 2u);
    EXPECT_EQ(list.notes[0].bar, 1);
    EXPECT_DOUBLE_EQ(list.notes[0].beat, 2.0);  // the fourth eighth begins the second dotted beat
    EXPECT_EQ(list.notes[1].bar, 2);
    EXPECT_DOUBLE_EQ(list.notes[1].beat, 1.333);
    EXPECT_EQ(list.denominator, 8);
    EXPECT_EQ(list.beats.size(), 3u);           // every dotted quarter from 0 to the last note's end
    EXPECT_EQ(list.downbeats, (std::vector<double>{0.0, 1.5}));
    ASSERT_EQ(list.tempos.size(), 1u);
    EXPECT_DOUBLE_EQ(list.tempos[0].beatsPerMinute, 80);  // 120 quarters: 80 dotted quarters
}

TEST(NoteList, AFileWithoutATimeBaseListsNothing) {
    MidiContent m;
    m.notes = {{60, 64, 0, 10, 0}};
    EXPECT_EQ(noteListCsv(noteListOf(m)), "onset_s,offset_s,pitch,velocity,bar,beat\n");
    EXPECT_FALSE(isNoteListName("notes.txt"));
    EXPECT_TRUE(isNoteListName("NOTES.CSV"));
    EXPECT_TRUE(isJsonNoteList("out/notes.Json"));
}
