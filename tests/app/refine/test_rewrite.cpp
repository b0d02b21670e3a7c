// The refined MIDI file: the engine's leading events and markers kept,
// notes at their ticks, note-offs first, the tempo of every beat.
#include <gtest/gtest.h>

#include "app/starter/refine/rewrite.h"

namespace {

// An engine-like file's content: the five leading events, two markers, division 192.
MidiContent engineLike() {
    MidiContent m;
    m.division = 192;
    m.leadingEvents = {0x00, 0xFF, 0x58, 0x04, 4, 2, 0x18, 0x08, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
    m.markers = {{0, "C"}, {768, "G7"}};
    return m;
}

// The engine-like file in 6/8, an eighth of 250000 us and `division` ticks.
MidiContent engineInSixEight(int division) {
    MidiContent m = engineLike();
    m.division = division;
    m.numerator = 6;
    m.denominatorPower = 3;
    m.microsPerBeat = 250000;
    m.leadingEvents[4] = 6;
    m.leadingEvents[5] = 3;
    m.leadingEvents[12] = 0x03;  // 250000 us
    m.leadingEvents[13] = 0xD0;
    m.leadingEvents[14] = 0x90;
    return m;
}

// A grid of 16ths at 120 beats per minute from 1 s (or from start), with steps of 125 ms, or a tempo map.
Timeline grid(bool slowing, double start = 1.0) {
    Timeline t;
    for (int j = 0; j < 200; ++j)
        t.stepTimes.push_back(slowing && j > 8 ? 2.0 + (j - 8) * 0.25 : start + j * 0.125);
    t.followsMap = slowing;
    return t;
}

TimedNote note(int key, double on, double off) {
    TimedNote n;
    n.key = n.pitch = key;
    n.velocity = 90;
    n.on = on;
    n.off = off;
    return n;
}

MidiContent parsed(const std::vector<uint8_t> &bytes) {
    MidiContent m;
    std::string error;
    EXPECT_TRUE(parseMidi(bytes, m, error)) << error;
    return m;
}

}  // namespace

TEST(RefineRewrite, NotesLandOnTheirTicksAndTheEnginesEventsStay) {
    Timeline t = grid(false);
    MidiContent engine = engineLike();
    std::vector<uint8_t> bytes = refinedMidi(engine, {note(60, 1.03, 1.5), note(60, 1.5, 2.0)}, t, writtenTime(t, 1.0), false);
    MidiContent m = parsed(bytes);
    EXPECT_EQ(m.division, 192);
    EXPECT_EQ(m.microsPerBeat, 0x07A120);
    ASSERT_EQ(m.markers.size(), 2u);
    EXPECT_EQ(m.markers[1].tick, 768);
    EXPECT_EQ(m.markers[1].text, "G7");
    ASSERT_EQ(m.notes.size(), 2u);
    EXPECT_EQ(m.notes[0].onTick, 12) << "30 ms of a 125 ms step of 48 ticks, rounded";
    EXPECT_EQ(m.notes[0].offTick, 192);
    EXPECT_EQ(m.notes[1].onTick, 192) << "a re-struck key: its note-off comes first";
    EXPECT_EQ(m.notes[1].offTick, 384);
    EXPECT_TRUE(std::equal(engine.leadingEvents.begin(), engine.leadingEvents.end(), bytes.begin() + 22));
}

TEST(RefineRewrite, QuantizeSnapsOnsetsAndEndsToTheGrid) {
    MidiContent m = parsed(refinedMidi(engineLike(), {note(64, 1.03, 1.07), note(67, 1.2, 1.6)}, grid(false),
                                     writtenTime(grid(false), 1.0), true));
    ASSERT_EQ(m.notes.size(), 2u);
    EXPECT_EQ(m.notes[0].onTick, 0);
    EXPECT_EQ(m.notes[0].offTick, 48) << "a note never shrinks to nothing";
    EXPECT_EQ(m.notes[1].onTick, 96) << "1.6 steps";
    EXPECT_EQ(m.notes[1].offTick, 240) << "4.8 steps";
}

TEST(RefineRewrite, AKeyStruckTwiceWithinAStepIsOneNoteWhenQuantized) {
    // Two strikes of E4 within one step snap to one tick; a third strike ends the held note.
    std::vector<uint8_t> bytes = refinedMidi(engineLike(),
                                             {note(64, 1.24, 1.31), note(64, 1.26, 1.45), note(64, 1.4, 1.7),
                                              note(60, 1.24, 1.3)},
                                             grid(false), writtenTime(grid(false), 1.0), true);
    MidiContent m = parsed(bytes);
    ASSERT_EQ(m.notes.size(), 3u);
    EXPECT_EQ(m.notes[0].key, 64);
    EXPECT_EQ(m.notes[0].onTick, 96);
    EXPECT_EQ(m.notes[0].offTick, 144) << "the later strike ends the note";
    EXPECT_EQ(m.notes[1].key, 60);
    EXPECT_EQ(m.notes[2].onTick, 144);
    EXPECT_EQ(m.notes[2].offTick, 288);
    // Every note-on of E4 comes while it is silent: no two note-ons without a note-off between.
    int sounding = 0, most = 0;
    for (size_t i = 0; i + 2 < bytes.size(); ++i) {
        if ((bytes[i] & 0xF0) == 0x90 && bytes[i + 1] == 64)
            most = std::max(most, ++sounding);
        else if ((bytes[i] & 0xF0) == 0x80 && bytes[i + 1] == 64)
            --sounding;
    }
    EXPECT_EQ(most, 1);
    EXPECT_EQ(sounding, 0);
}

TEST(RefineRewrite, AFollowedTempoMapIsWrittenBeatByBeat) {
    // Two beats of 500 ms, then beats of 1 s: the file must play them at those lengths.
    Timeline t = grid(true);
    std::vector<uint8_t> bytes = refinedMidi(engineLike(), {note(72, 3.0, 4.0)}, t, writtenTime(t, 1.0), false);
    MidiContent m = parsed(bytes);
    ASSERT_EQ(m.notes.size(), 1u);
    EXPECT_EQ(m.notes[0].onTick, 8 * 48 + 4 * 48) << "2 s into the grid: 8 steps of 125 ms, 4 of 250 ms";
    // Tempo events: 500000 at tick 0 (after the engine's own) and 1000000 from beat 2.
    std::vector<uint8_t> fast{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
    std::vector<uint8_t> slow{0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40};
    EXPECT_NE(std::search(bytes.begin() + 37, bytes.end(), fast.begin(), fast.end()), bytes.end());
    auto at = std::search(bytes.begin(), bytes.end(), slow.begin(), slow.end());
    ASSERT_NE(at, bytes.end());
    int tempoEvents = 0;
    std::vector<uint8_t> tempo{0xFF, 0x51, 0x03};
    for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), tempo.begin(), tempo.end())) != bytes.end(); ++it)
        ++tempoEvents;
    EXPECT_EQ(tempoEvents, 3) << "the engine's, then one where the beat changes, not one per beat";
}

TEST(RefineRewrite, APickUpBeforeTheFirstBarLineStartsTheFileAtTheRegionsStart) {
    // The grid starts half a second before the recording, a bar of 2 s: the first bar line
    // heard is at 1.5 s, 12 steps after the start. Tick 0 is the start; the pick-up is a 3/4 bar.
    Timeline t = grid(false, -0.5);
    WrittenTime w = writtenTime(t, 0.0);
    EXPECT_EQ(w.pickupSteps, 12);
    std::vector<uint8_t> bytes = refinedMidi(engineLike(), {note(60, 0.0, 0.1), note(62, 1.5, 1.7)}, t, w, false);
    MidiContent m = parsed(bytes);
    ASSERT_EQ(m.notes.size(), 2u);
    EXPECT_EQ(m.notes[0].onTick, 0) << "the first note where it sounds, not half a second late";
    EXPECT_EQ(m.notes[1].onTick, 12 * 48) << "the first downbeat on the first bar line";
    ASSERT_EQ(m.signatures.size(), 2u);
    EXPECT_EQ(m.signatures[0].tick, 0);
    EXPECT_EQ(m.signatures[0].numerator, 3);
    EXPECT_EQ(m.signatures[0].denominatorPower, 2);
    EXPECT_EQ(m.signatures[1].tick, 12 * 48);
    EXPECT_EQ(m.signatures[1].numerator, 4);
    EXPECT_EQ(m.markers[1].tick, 12 * 48) << "the engine's tick 768, 16 steps from the grid's start, moves with the notes";
    EXPECT_EQ(m.tempos.size(), 1u) << "a lead-in of whole steps needs no tempo of its own";

    // 30 ms later the first step is 95 ms for its 48 ticks, then the grid's tempo returns.
    w = writtenTime(t, 0.03);
    m = parsed(refinedMidi(engineLike(), {note(60, 0.03, 0.1), note(64, 0.125, 0.2), note(62, 1.5, 1.7)}, t, w,
                           false));
    EXPECT_EQ(w.pickupSteps, 12);
    ASSERT_EQ(m.notes.size(), 3u);
    EXPECT_EQ(m.notes[0].onTick, 0);
    EXPECT_EQ(m.notes[1].onTick, 48);
    EXPECT_EQ(m.notes[2].onTick, 12 * 48);
    ASSERT_EQ(m.tempos.size(), 3u);
    EXPECT_EQ(m.tempos[1].tick, 0);
    EXPECT_EQ(m.tempos[1].microsPerBeat, 380000) << "95 ms a 16th at 192 ticks a beat of 4 steps";
    EXPECT_EQ(m.tempos[2].tick, 48);
    EXPECT_EQ(m.tempos[2].microsPerBeat, 500000);
}

TEST(RefineRewrite, CompoundTimeCountsQuarterNotesAndClicksOnTheDottedBeat) {
    // The engine's 6/8 on a grid of 16ths of 125 ms: 96 ticks and 250000 us an eighth, a click of 24
    // clocks. The written file counts quarters as MIDI does: 192 ticks and 500000 us a quarter (a
    // dotted beat of 80 a minute), a click of 36 clocks; every tick keeps its time.
    MidiContent engine = engineInSixEight(96);
    Timeline t = grid(false, 0.0);
    t.barSteps = 12;  // 16ths: two a beat
    t.stepsPerBeat = 2;
    for (double start : {0.0, 0.03}) {
        std::vector<TimedNote> notes{note(60, start, 0.5), note(64, 0.25, 0.5), note(67, 1.5, 1.75)};
        MidiContent m = parsed(refinedMidi(engine, notes, t, writtenTime(t, start), false));
        EXPECT_EQ(m.division, 192);
        EXPECT_EQ(m.numerator, 6);
        EXPECT_EQ(m.denominatorPower, 3);
        EXPECT_EQ(m.clocksPerClick, 36);
        EXPECT_EQ(divisionNotePower(m), 2);
        ASSERT_FALSE(m.tempos.empty());
        EXPECT_EQ(m.tempos.front().microsPerBeat, 500000) << "the leading tempo counts quarters too";
        EXPECT_EQ(m.tempos.back().microsPerBeat, 500000);
        ASSERT_EQ(m.notes.size(), notes.size());
        for (size_t i = 0; i < notes.size(); ++i) {
            double seconds = start, tick = 0, micros = 0;
            for (const MidiTempo &e : m.tempos) {  // in tick order: the file's tempo map
                if (e.tick > m.notes[i].onTick)
                    break;
                seconds += (static_cast<double>(e.tick) - tick) * micros / 1e6 / m.division;
                tick = static_cast<double>(e.tick);
                micros = static_cast<double>(e.microsPerBeat);
            }
            seconds += (static_cast<double>(m.notes[i].onTick) - tick) * micros / 1e6 / m.division;
            EXPECT_NEAR(seconds, notes[i].on, 0.002) << "note " << i << " from " << start;
        }
    }
    // The engine's own convention stays where no quarter fits in the division's 15 bits.
    engine.division = 24000;
    MidiContent m = parsed(refinedMidi(engine, {note(60, 1.0, 1.5)}, t, writtenTime(t, 0.0), false));
    EXPECT_EQ(m.division, 24000);
    EXPECT_EQ(m.clocksPerClick, 24);
    EXPECT_EQ(divisionNotePower(m), 3);
}

TEST(RefineRewrite, AGridCoarserThanTheBeatKeepsThePickUp) {
    // The engine's 6/8 on a grid of quarter notes (--grid 4th): a step of 500 ms holds two eighths
    // of 250 ms, 24 ticks an eighth. The grid starts one step before the recording, so its first
    // bar line is two steps (two quarters) after the start: a pick-up of 2/4, then 6/8.
    MidiContent engine = engineInSixEight(24);
    engine.markers.clear();
    Timeline t;
    for (int j = 0; j < 100; ++j)
        t.stepTimes.push_back(-0.5 + 0.5 * j);
    t.barSteps = 3;
    t.stepsPerBeat = 0.5;
    WrittenTime w = writtenTime(t, 0.0);
    EXPECT_EQ(w.pickupSteps, 2);
    MidiContent m = parsed(refinedMidi(engine, {note(60, 0.0, 0.5), note(64, 1.0, 1.5)}, t, w, false));
    ASSERT_EQ(m.signatures.size(), 2u);
    EXPECT_EQ(m.signatures[0].tick, 0);
    EXPECT_EQ(m.signatures[0].numerator, 2);
    EXPECT_EQ(m.signatures[0].denominatorPower, 2);
    EXPECT_EQ(m.signatures[1].tick, 2 * 48);
    EXPECT_EQ(m.signatures[1].numerator, 6);
    EXPECT_EQ(m.signatures[1].denominatorPower, 3);
    ASSERT_EQ(m.notes.size(), 2u);
    EXPECT_EQ(m.notes[1].onTick, m.signatures[1].tick) << "the note on the first bar line heard starts bar 1";
}
