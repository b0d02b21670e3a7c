// Note tracker: note decisions on the step grid, polyphony limit, chord
// markers, leading silence and the closing of notes at the end.
#include <map>

#include "tests/midi/midi_fixture.h"

namespace {

class TrackerTest : public MidiOutputTest {
protected:
    int frameIndex = 0;
    int blockLength = 16;

    void SetUp() override {
        MidiOutputTest::SetUp();
        settings.KeyMin = 60;
        settings.KeyMax = 72;
        derived.keyColumns = 73;
        settings.Filter = -1;
        settings.CropSilence = 0;
        chord("C");
        tracker.keys = static_cast<KeyState *>(std::calloc(derived.keyColumns, sizeof(KeyState)));
    }

    // Resets the tracker with the current settings.
    void start() {
        frameIndex = 0;
        resetTracker();
    }

    // One frame with the given key strengths (all other keys absent).
    void frame(const std::map<int, int> &strengths = {}) {
        std::vector<int32_t> row(derived.keyColumns, 0);
        for (auto [k, s] : strengths) row[k] = s;
        trackNotes(row.data(), frameIndex % blockLength, chordName);
        ++frameIndex;
    }

    void frames(int count, const std::map<int, int> &strengths = {}) {
        for (int i = 0; i < count; ++i) frame(strengths);
    }

    std::vector<BodyEvent> notes() { return noteEvents(parseBody(written())); }
};

TEST_F(TrackerTest, WorkedExample) {
    derived.framesPerStep = 2;
    settings.MinimumLength = 2;
    settings.PitchMode = 16;
    start();
    for (int s : {10, 20, 30, 30, 30, 30}) frame({{60, s}});
    frames(10);
    EXPECT_EQ(hexBytes(written()), hexBytes(bytesOf({0x00, 0xFF, 0x06, 0x01, 'C',  // held-back marker
                                                     0x00, 0x90, 60, 15,           // note-on at time 0
                                                     0x81, 0x10, 0x80, 60, 30})));  // 3 steps later
    EXPECT_EQ(tracker.lowestKeyWritten, 60);
    EXPECT_EQ(tracker.highestKeyWritten, 60);
}

TEST_F(TrackerTest, KeyPresentForFewerThanMinimumLengthFramesGivesNoNote) {
    settings.MinimumLength = 3;
    start();
    frames(2, {{60, 50}, {64, 50}});
    frame({{64, 50}});
    frames(12);
    std::vector<BodyEvent> events = notes();
    ASSERT_EQ(events.size(), 2u) << describeEvents(events);
    EXPECT_EQ(events[0].note, 64);
    EXPECT_EQ(events[1].note, 64);
    EXPECT_EQ(tracker.lowestKeyWritten, 64);
}

TEST_F(TrackerTest, NoNoteLeavesTheWrittenKeyRangeEmpty) {
    start();
    frame({{60, 50}});
    frames(12);
    EXPECT_EQ(written(), "");
    EXPECT_EQ(tracker.lowestKeyWritten, 128);
    EXPECT_EQ(tracker.highestKeyWritten, -1);
}

TEST_F(TrackerTest, GapShorterThanAStepKeepsOneNote) {
    start();
    frames(4, {{60, 20}});
    frame();
    frames(3, {{60, 20}});
    frame({{60, 40}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v20, off 60 @240 v40");
}

TEST_F(TrackerTest, SilentHoldWritesNothingForTheReturningSound) {
    derived.framesPerStep = 4;
    settings.MinimumLength = 1;
    start();
    frame({{60, 10}});           // frame 0: with MinimumLength 1 the onset decides
    frames(3, {{60, 50}});       // frames 1-3
    frames(4);                   // frames 4-7: note-off decided at frame 7
    frames(13, {{60, 20}});      // frames 8-20: back before the boundary that writes the note-off
    frames(9);                   // frames 21-29: absent long enough to end the silent hold
    frame({{60, 30}});           // frame 30: a new note
    frames(5, {{60, 35}});       // frames 31-35
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v10, off 60 @96 v50, on 60 @384 v30, off 60 @480 v35");
}

TEST_F(TrackerTest, LowestCandidatesWinOnTheResonatorPath) {
    settings.PitchMode = 1;
    start();
    frames(6, {{60, 10}, {64, 50}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v10, off 60 @144 v10");
    EXPECT_EQ(tracker.highestKeyWritten, 60);
}

TEST_F(TrackerTest, StrongestCandidatesWinOnTheFilterPath) {
    settings.PitchMode = 1;
    settings.Filter = 0;
    start();
    frames(6, {{60, 10}, {64, 50}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 64 @0 v50, off 64 @144 v50");
}

TEST_F(TrackerTest, EqualCandidatesOnTheFilterPathSelectTheHigherKey) {
    settings.PitchMode = 1;
    settings.Filter = 0;
    start();
    frames(6, {{60, 30}, {64, 30}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 64 @0 v30, off 64 @144 v30");
}

TEST_F(TrackerTest, EqualNewNoteOnTheFilterPathStopsALowerSoundingOne) {
    settings.PitchMode = 1;
    settings.Filter = 0;
    start();
    frames(6, {{60, 30}});
    frames(6, {{60, 30}, {64, 30}});  // both values 60
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v30, off 60 @144 v60, on 64 @144 v30, off 64 @288 v30");
}

TEST_F(TrackerTest, StrongerNoteStopsASoundingOneWhichRestartsLater) {
    settings.PitchMode = 1;
    settings.Filter = 0;
    start();
    frames(6, {{60, 20}});
    frames(6, {{60, 20}, {64, 100}});
    frames(8, {{60, 20}});
    frames(10);
    // The stopped note's note-off carries its unreduced sum (40).
    EXPECT_EQ(describeEvents(notes()),
              "on 60 @0 v20, off 60 @144 v40, on 64 @144 v100, on 60 @288 v20, off 64 @288 v100, off 60 @480 v20");
}

TEST_F(TrackerTest, WaitingNoteNeverSelectedIsDropped) {
    settings.PitchMode = 1;
    start();
    frames(4, {{60, 20}});
    frames(6, {{60, 20}, {64, 100}});
    frames(10, {{60, 20}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v20, off 60 @480 v20");
    EXPECT_EQ(tracker.highestKeyWritten, 60);
}

TEST_F(TrackerTest, PitchModeZeroAllowsOneRhythmNotePerStep) {
    settings.PitchMode = 0;
    derived.rhythmNote = 38;
    start();
    frames(6, {{64, 10}, {67, 50}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 38 @0 v10, off 38 @144 v10");
    EXPECT_EQ(tracker.lowestKeyWritten, 64) << "the written key range counts keys, not note numbers";
}

TEST_F(TrackerTest, SeveralKeysReportTheirRange) {
    start();
    frames(6, {{62, 10}, {67, 20}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 62 @0 v10, on 67 @0 v20, off 62 @144 v10, off 67 @144 v20");
    EXPECT_EQ(tracker.lowestKeyWritten, 62);
    EXPECT_EQ(tracker.highestKeyWritten, 67);
}

TEST_F(TrackerTest, LeadingSilenceCountsWithinTheBarUnlessCropped) {
    chord("");  // no chord marker
    start();
    frames(20);
    frames(6, {{60, 10}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @96 v10, off 60 @240 v10") << "10 steps, of which 2 past the bar";

    std::fclose(writer.midi);
    writer.midi = std::fopen(path.c_str(), "wb");
    resetWriter();
    settings.CropSilence = 1;
    start();
    frames(20);
    frames(6, {{60, 10}});
    frames(10);
    EXPECT_EQ(describeEvents(notes()), "on 60 @0 v10, off 60 @144 v10");
}

TEST_F(TrackerTest, CroppedTimeStartsAtTheFirstChordMarker) {
    blockLength = 12;
    settings.CropSilence = 1;
    chord("");
    start();
    frames(12);                              // block 0: no chord
    chord("Am");                             // marker at frame 13
    frames(12);                              // frames 12-23
    frames(6, {{60, 10}});                   // onset at frame 24, written at frame 25
    frames(10);
    std::vector<BodyEvent> events = parseBody(written());
    EXPECT_EQ(describeEvents(events), "marker Am @0, on 60 @288 v10, off 60 @432 v10");
}

TEST_F(TrackerTest, ChordMarkersFollowChangesOfTheBlockChord) {
    start();
    frames(16, {{60, 10}});                  // block 0, "C"
    frames(16, {{60, 10}});                  // block 1, still "C": no marker
    chord("G");
    frames(4, {{60, 10}});                   // block 2: marker at its row 1 (frame 33)
    std::vector<BodyEvent> events = parseBody(written());
    EXPECT_EQ(describeEvents(events), "marker C @0, on 60 @0 v10, marker G @768");
}

TEST_F(TrackerTest, TailOfZeroStrengthsClosesEveryNote) {
    derived.framesPerStep = 8;
    settings.MinimumLength = 2;
    for (int lead = 0; lead < 8; ++lead) {
        for (int length = 2; length < 18; ++length) {
            std::fclose(writer.midi);
            writer.midi = std::fopen(path.c_str(), "wb");
            resetWriter();
            start();
            frames(lead);
            frames(length, {{60, 10}, {72, 10}});
            const std::vector<int32_t> silence(derived.keyColumns, 0);
            for (int i = 0; i < 2 * derived.framesPerStep; ++i) trackNotes(silence.data(), -1, chordName);
            std::vector<BodyEvent> events = notes();
            ASSERT_EQ(events.size(), 4u) << "lead " << lead << ", length " << length << ": " << describeEvents(events);
            EXPECT_EQ(events[0].type, 0x90);
            EXPECT_EQ(events[1].type, 0x90);
            EXPECT_EQ(events[2].type, 0x80);
            EXPECT_EQ(events[3].type, 0x80);
        }
    }
}

}  // namespace
