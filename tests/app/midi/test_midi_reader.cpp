// Reading back MIDI files for the summary.
#include <gtest/gtest.h>

#include "app/starter/midi/midi_reader.h"

namespace {

std::vector<uint8_t> withTrack(const std::vector<uint8_t> &events) {
    const uint8_t head[22] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
                              'M', 'T', 'r', 'k', 0, 0, 0, static_cast<uint8_t>(events.size())};
    std::vector<uint8_t> b(22 + events.size());
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = i < 22 ? head[i] : events[i - 22];
    return b;
}

}  // namespace

TEST(MidiReader, ReadsNotesWithRunningStatusAndMeta) {
    std::vector<uint8_t> events = {
        0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,   // tempo 500000
        0x00, 0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08,
        0x00, 0xFF, 0x59, 0x02, 0x01, 0x01,         // E minor
        0x00, 0xC0, 0x28,                           // program 40
        0x00, 0x90, 0x3C, 0x50,                     // C4 on
        0x00, 0x40, 0x50,                           // E4 on, running status
        0x81, 0x00, 0x3C, 0x00,                     // C4 off after 128 ticks (velocity 0)
        0x10, 0x80, 0x40, 0x40,                     // E4 off
        0x00, 0xFF, 0x2F, 0x00};
    MidiContent m;
    std::string error;
    ASSERT_TRUE(parseMidi(withTrack(events), m, error)) << error;
    EXPECT_EQ(m.division, 96);
    EXPECT_EQ(m.microsPerBeat, 500000);
    EXPECT_EQ(m.numerator, 3);
    EXPECT_TRUE(m.hasKeySignature);
    EXPECT_EQ(m.keySignature, 1);
    EXPECT_EQ(m.mode, 1);
    EXPECT_EQ(m.program, 40);
    ASSERT_EQ(m.notes.size(), 2u);
    EXPECT_EQ(m.notes[0].key, 60);
    EXPECT_EQ(m.notes[0].offTick, 128);
    EXPECT_EQ(m.notes[1].key, 64);
    EXPECT_EQ(m.notes[1].onTick, 0);
    EXPECT_EQ(m.notes[1].offTick, 144);
}

TEST(MidiReader, RejectsWhatIsNoMidiFile) {
    MidiContent m;
    std::string error;
    EXPECT_FALSE(parseMidi({'R', 'I', 'F', 'F'}, m, error));
    EXPECT_FALSE(parseMidi(withTrack({0x00, 0x3C, 0x40}), m, error));  // data byte without status
    EXPECT_FALSE(parseMidi(withTrack({0x00, 0x90, 0x3C}), m, error));  // cut short
    EXPECT_FALSE(readMidiFile("/nonexistent.mid", m, error));
}

TEST(MidiReader, KeepsNotesThatNeverEnd) {
    MidiContent m;
    std::string error;
    ASSERT_TRUE(parseMidi(withTrack({0x00, 0x91, 0x30, 0x40}), m, error));
    ASSERT_EQ(m.notes.size(), 1u);
    EXPECT_EQ(m.notes[0].offTick, -1);
    EXPECT_TRUE(m.cutShort) << "no end of track";
}

TEST(MidiReader, AFileCutBetweenTwoEventsReadsButIsNotWhole) {
    // A file cut off between events parses (what was read is kept), but says it is cut short: the
    // track chunk states more bytes than the file holds. --skip-existing must not take it as done.
    std::vector<uint8_t> whole = withTrack({0x00, 0x90, 0x3C, 0x50, 0x60, 0x80, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00});
    MidiContent m;
    std::string error;
    ASSERT_TRUE(parseMidi(whole, m, error)) << error;
    EXPECT_FALSE(m.cutShort);
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 3);  // the end of track left out
    MidiContent c;
    ASSERT_TRUE(parseMidi(cut, c, error)) << error;
    EXPECT_EQ(c.notes.size(), 1u);
    EXPECT_TRUE(c.cutShort);
    std::vector<uint8_t> ended(whole.begin(), whole.end() - 7);  // cut after the note-on, no length fixed
    MidiContent e;
    ASSERT_TRUE(parseMidi(ended, e, error)) << error;
    EXPECT_TRUE(e.cutShort);
}

TEST(MidiReader, KeepsEveryTempoAndTheMarkers) {
    MidiContent m;
    std::string error;
    ASSERT_TRUE(parseMidi(withTrack({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,   // 120 per minute
                                     0x00, 0xFF, 0x06, 0x01, 'C',
                                     0x00, 0x90, 0x3C, 0x50,
                                     0x60, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0,   // 100 per minute at 96
                                     0x00, 0xFF, 0x06, 0x03, 'F', '#', 'm',
                                     0x60, 0x80, 0x3C, 0x40}),
                          m, error)) << error;
    EXPECT_EQ(m.microsPerBeat, 500000);  // the tempo before the first note
    ASSERT_EQ(m.tempos.size(), 2u);
    EXPECT_EQ(m.tempos[1].tick, 96);
    EXPECT_EQ(m.tempos[1].microsPerBeat, 600000);
    ASSERT_EQ(m.markers.size(), 2u);
    EXPECT_EQ(m.markers[0].text, "C");
    EXPECT_EQ(m.markers[1].tick, 96);
    EXPECT_EQ(m.markers[1].text, "F#m");
    EXPECT_EQ(m.lastTick, 192);
}
