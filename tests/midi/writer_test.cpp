// MIDI event writer: delta times, the held-back first marker, running status,
// note numbers, velocities, byte counting and write failures.
#include "tests/midi/midi_fixture.h"

namespace {

using WriterTest = MidiOutputTest;

TEST_F(WriterTest, DeltaTimesAreVariableLengthTicksOf48PerStep) {
    const struct {
        int32_t steps;
        std::string bytes;
    } cases[] = {
        {0, bytesOf({0x00})},
        {2, bytesOf({0x60})},               // 96 ticks
        {3, bytesOf({0x81, 0x10})},         // 144 ticks
        {342, bytesOf({0x81, 0x80, 0x20})},  // 16416 ticks
        {131072, bytesOf({0x83, 0x80, 0x80, 0x00})},  // 6291456 ticks, four groups
    };
    std::string expected;
    for (const auto &c : cases) {
        writeDeltaTime(c.steps);
        expected += c.bytes;
    }
    EXPECT_EQ(hexBytes(written()), hexBytes(expected));
    EXPECT_EQ(writer.byteCount, static_cast<int32_t>(expected.size()));
}

// The quantity of any 64-bit value fits its 10 bytes.
TEST(VariableLength, GroupsOfSevenBitsMostSignificantFirst) {
    uint8_t bytes[MaxVariableLength];
    auto encoded = [&](uint64_t value) {
        const int count = variableLength(value, bytes);
        return hexBytes(std::string(bytes, bytes + count));
    };
    EXPECT_EQ(encoded(0), hexBytes(bytesOf({0x00})));
    EXPECT_EQ(encoded(0x7F), hexBytes(bytesOf({0x7F})));
    EXPECT_EQ(encoded(0x80), hexBytes(bytesOf({0x81, 0x00})));
    EXPECT_EQ(encoded(UINT64_MAX), hexBytes(bytesOf({0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F})));
}

TEST_F(WriterTest, FirstNoteWithoutMarkerStartsWithAnEmptyMarker) {
    int32_t delta = 0;
    writeNoteEvent(delta, 0x90, 60, 64);
    EXPECT_EQ(hexBytes(written()), hexBytes(bytesOf({0x00, 0xFF, 0x06, 0x00, 0x00, 0x90, 60, 64})));
    EXPECT_EQ(writer.byteCount, 8);
}

TEST_F(WriterTest, MarkersBeforeTheFirstNoteAreHeldBackAndOnlyTheLastIsWritten) {
    int32_t delta = 5;
    writeMarkerEvent(delta, chord("C"));
    EXPECT_EQ(delta, 5) << "a held-back marker leaves the elapsed time alone";
    writeMarkerEvent(delta, chord("Am"));
    EXPECT_EQ(written(), "");
    EXPECT_EQ(writer.byteCount, 0);
    chord("G");  // the held-back name is a copy: the caller's buffer changing later does not show
    writeNoteEvent(delta, 0x90, 60, 64);
    EXPECT_EQ(hexBytes(written()),
              hexBytes(bytesOf({0x00, 0xFF, 0x06, 0x02, 'A', 'm', 0x81, 0x70, 0x90, 60, 64})));  // 5 steps = 240 ticks
    EXPECT_EQ(writer.byteCount, 11);
    EXPECT_EQ(delta, 0);
}

TEST_F(WriterTest, WholeBarsOfLeadingTimeAreDropped) {
    int32_t delta = 2 * 8 + 3;  // 2 bars and 3 steps with 8 steps per bar
    writeNoteEvent(delta, 0x90, 60, 64);
    EXPECT_EQ(hexBytes(written().substr(4)), hexBytes(bytesOf({0x81, 0x10, 0x90, 60, 64})));  // 144 ticks
    EXPECT_EQ(delta, 0);
}

TEST_F(WriterTest, LeadingTimeIsKeptWhenABarHasNoWholeStep) {
    derived.stepsPerBar = 0;
    int32_t delta = 19;
    writeNoteEvent(delta, 0x90, 60, 64);
    EXPECT_EQ(hexBytes(written().substr(4)), hexBytes(bytesOf({0x87, 0x10, 0x90, 60, 64})));  // 912 ticks
}

TEST_F(WriterTest, OnlyTheFirstNoteDropsWholeBars) {
    int32_t delta = 0;
    writeNoteEvent(delta, 0x90, 60, 64);
    delta = 19;
    writeNoteEvent(delta, 0x80, 60, 64);
    EXPECT_EQ(hexBytes(written().substr(8)), hexBytes(bytesOf({0x87, 0x10, 0x80, 60, 64})));
}

TEST_F(WriterTest, RunningStatusAndMarkersBetweenNotes) {
    settings.Channel = 9;
    int32_t delta = 0;
    writeNoteEvent(delta, 0x90, 60, 10);  // status written
    writeNoteEvent(delta, 0x90, 64, 11);  // running status
    delta = 2;
    writeNoteEvent(delta, 0x80, 60, 12);  // note-off: status again
    writeNoteEvent(delta, 0x90, 67, 13);  // back to note-on: status again
    writeMarkerEvent(delta, chord("Dm"));     // a marker after the first note is written at once
    writeNoteEvent(delta, 0x90, 69, 14);  // a marker forces the status again
    writeNoteEvent(delta, 0x90, 71, 15);
    const std::string expected = bytesOf({0x00, 0xFF, 0x06, 0x00,
                                          0x00, 0x99, 60, 10,
                                          0x00, 64, 11,
                                          0x60, 0x89, 60, 12,
                                          0x00, 0x99, 67, 13,
                                          0x00, 0xFF, 0x06, 0x02, 'D', 'm',
                                          0x00, 0x99, 69, 14,
                                          0x00, 71, 15});
    EXPECT_EQ(hexBytes(written()), hexBytes(expected));
    EXPECT_EQ(writer.byteCount, static_cast<int32_t>(expected.size()));
}

TEST_F(WriterTest, TransposedNotesFoldIntoTheMidiRange) {
    const struct {
        int key, transpose, note;
    } cases[] = {
        {60, 0, 60}, {60, 7, 67}, {120, 12, 120}, {2, -14, 0}, {1, -14, 11}, {127, 127, 122}, {0, -127, 5},
    };
    for (const auto &c : cases) {
        settings.Transpose = c.transpose;
        EXPECT_EQ(noteNumber(c.key), c.note) << "key " << c.key << " transposed by " << c.transpose;
    }
}

TEST_F(WriterTest, PitchModeZeroWritesTheRhythmNoteForEveryNote) {
    settings.PitchMode = 0;
    derived.rhythmNote = 38;
    int32_t delta = 0;
    writeNoteEvent(delta, 0x90, 70, 20);
    writeNoteEvent(delta, 0x80, 45, 20);
    EXPECT_EQ(hexBytes(written().substr(4)), hexBytes(bytesOf({0x00, 0x90, 38, 20, 0x00, 0x80, 38, 20})));
}

TEST_F(WriterTest, VelocitiesFollowTheValueScaledByTheGain) {
    EXPECT_EQ(velocity(0x90, 0), 1) << "a note-on is never written with velocity 0";
    EXPECT_EQ(velocity(0x80, 0), 1);
    EXPECT_EQ(velocity(0x90, 100), 100);
    EXPECT_EQ(velocity(0x90, 127), 127);
    EXPECT_EQ(velocity(0x90, 128), 127);
    EXPECT_EQ(velocity(0x80, 1000000), 127);
    derived.gainFactor = 2.0f;
    EXPECT_EQ(velocity(0x90, 30), 60);
    EXPECT_EQ(velocity(0x90, 64), 127);
    derived.gainFactor = 0.5f;
    EXPECT_EQ(velocity(0x90, 3), 2) << "1.5 rounds up";
    EXPECT_EQ(velocity(0x90, 1), 1) << "0.5 rounds to 1";
}

TEST_F(WriterTest, FixedVelocitiesReplaceTheValuePerEventType) {
    derived.fixedVelocity = 77;
    settings.VelocityOn = 0;
    EXPECT_EQ(velocity(0x90, 5), 77);
    EXPECT_EQ(velocity(0x80, 5), 5);
    settings.VelocityOn = 1;
    settings.VelocityOff = 0;
    EXPECT_EQ(velocity(0x90, 5), 5);
    EXPECT_EQ(velocity(0x80, 5), 77);
}

TEST_F(WriterTest, MarkerTextIsAtMostThreeCharacters) {
    int32_t delta = 0;
    writeNoteEvent(delta, 0x90, 60, 64);
    writeMarkerEvent(delta, chord("Bbm"));
    EXPECT_EQ(hexBytes(written().substr(8)), hexBytes(bytesOf({0x00, 0xFF, 0x06, 0x03, 'B', 'b', 'm'})));
    EXPECT_EQ(writer.byteCount, 15);
}

// Write failures end the run with code 5 and remove the output.
class WriterFailureTest : public MidiOutputTest {
protected:
    FailingSink sink{0};

    void failAfter(size_t limit) {
        std::fclose(writer.midi);
        writeFile(path, "partial output");
        sink.limit = limit;
        writer.midi = openFailingStream(sink, false);
        ASSERT_NE(writer.midi, nullptr);
        resetWriter();
    }

    void expectFailureReported(const std::string &firstField) {
        EXPECT_FALSE(fileExists(path)) << "a failed output is deleted";
        std::string status = readFile(run.statusPath);
        EXPECT_EQ(status.substr(0, status.find(',') + 1), firstField + ",") << status;
    }
};

TEST_F(WriterFailureTest, FailedByteWriteEndsTheRunWithDetail22) {
    failAfter(5);
    EXPECT_EXIT(
        {
            int32_t delta = 0;
            writeNoteEvent(delta, 0x90, 60, 64);  // 8 bytes: the sixth fails
        },
        ::testing::ExitedWithCode(5), "");
    expectFailureReported("-5.022");
}

TEST_F(WriterFailureTest, FailedMarkerTextEndsTheRunWithDetail29) {
    failAfter(9);
    EXPECT_EXIT(
        {
            int32_t delta = 0;
            writeNoteEvent(delta, 0x90, 60, 64);  // 8 bytes
            writeMarkerEvent(delta, chord("Am"));  // delta and 0xFF 0x06 0x02 pass only in part
        },
        ::testing::ExitedWithCode(5), "");
    expectFailureReported("-5.022");
    failAfter(12);
    EXPECT_EXIT(
        {
            int32_t delta = 0;
            writeNoteEvent(delta, 0x90, 60, 64);
            writeMarkerEvent(delta, chord("Am"));  // 0x00 0xFF 0x06 0x02 pass, the text fails
        },
        ::testing::ExitedWithCode(5), "");
    expectFailureReported("-5.029");
}

TEST_F(WriterFailureTest, FailedFlushEndsTheRunWithDetail22) {
    std::fclose(writer.midi);
    writeFile(path, "partial output");
    sink.limit = 10;
    writer.midi = openFailingStream(sink, true);
    resetWriter();
    EXPECT_EXIT(
        {
            for (int i = 0; i < 20; ++i) writeByte(i);  // buffered: the writes succeed
            flushMidi();
        },
        ::testing::ExitedWithCode(5), "");
    expectFailureReported("-5.022");
}

}  // namespace
