// The engine's grid replayed: its notes, read back in seconds of the
// recording, lie where they were played, after whole bars of leading
// silence and after a start point (the real engine).
#include <gtest/gtest.h>

#include <cmath>

#include <sndfile.h>

#include "app/starter/beats/beats.h"
#include "app/starter/refine/refine.h"
#include "tests/app/support.h"

namespace {

// Transcribes tones with the real engine, keeping its files, and lines its notes up with the recording.
RefineSession transcribe(const ScratchDir &dir, const std::vector<ToneNote> &tones, double seconds,
                         const std::vector<std::string> &options) {
    EXPECT_TRUE(writeTones(dir.path + "piece.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, tones, seconds));
    std::vector<std::string> args{"--engine", ENGINE_PATH, "--raw", "--keep-engine-files", dir.path};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("piece.wav");
    CommandResult r = runStarter(args, dir.path, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.code, 0) << r.err;
    RefineInput input{dir.path + "piece.wav", dir.path + "piece.engine.mid", {}, {}};
    std::string error;
    EXPECT_TRUE(readSettingsFile(dir.path + "piece.settings.txt", input.settings, error)) << error;
    readTempoMap(dir.path + "piece.tempo.bin", input.tempoMap);
    RefineSession s;
    EXPECT_TRUE(prepareRefinement(input, s, nullptr, error)) << error;
    return s;
}

// Largest distance in grid steps from an engine note to the nearest played onset of its key.
double worstOffset(const RefineSession &s, const std::vector<ToneNote> &tones) {
    double worst = 0;
    for (const TimedNote &n : s.notes) {
        double best = 1e9;
        for (const ToneNote &t : tones)
            if (t.key == n.key)
                best = std::min(best, std::abs(n.on - t.start) / stepLengthAt(s.timeline, t.start));
        worst = std::max(worst, best);
    }
    return worst;
}

// Notes every half second from start, alternating keys.
std::vector<ToneNote> notesFrom(double start, int count) {
    std::vector<ToneNote> tones;
    for (int i = 0; i < count; ++i)
        tones.push_back({i % 3 == 0 ? 60 : i % 3 == 1 ? 64 : 67, start + 0.5 * i, 0.45});
    return tones;
}

}  // namespace

TEST(RefineTimeline, LeadingSilenceOfWholeBarsIsFoundAgain) {
    // At 120 beats per minute in 4/4 a bar is 2 s: the engine drops the first two bars.
    ScratchDir dir;
    std::vector<ToneNote> tones = notesFrom(5.0, 12);
    RefineSession s = transcribe(dir, tones, 12, {"--tempo", "120"});
    ASSERT_GE(s.notes.size(), 8u);
    EXPECT_EQ(s.timeline.droppedSteps, 32);
    EXPECT_EQ(s.engine.notes.front().onTick, 48 * 4 * 2) << "the first note sits on the third beat of its bar";
    EXPECT_LE(worstOffset(s, tones), 1 + 1e-6) << "within one grid step of where it was played";
}

TEST(RefineTimeline, AStartPointShiftsTheGrid) {
    ScratchDir dir;
    std::vector<ToneNote> tones = notesFrom(1.3, 10);
    RefineSession s = transcribe(dir, tones, 8, {"--tempo", "120", "--start", "0.3"});
    ASSERT_GE(s.notes.size(), 6u);
    EXPECT_EQ(s.timeline.droppedSteps, 0);
    EXPECT_NEAR(s.timeline.stepTimes[0], 0.3, 1e-4);
    EXPECT_LE(worstOffset(s, tones), 1 + 1e-6);
}

TEST(RefineTimeline, ATempoMapSpacesTheStepsBeatByBeat) {
    // Beats of 600 ms, then 400 ms: notes on every beat.
    ScratchDir dir;
    std::vector<uint16_t> map;
    std::vector<ToneNote> tones;
    double t = 0.2;
    for (int b = 0; b < 16; ++b) {
        map.push_back(b < 8 ? 600 : 400);
        tones.push_back({b % 2 ? 62 : 69, t, 0.3});
        t += map.back() / 1000.0;
    }
    ASSERT_TRUE(writeTempoMap(dir.path + "map.bin", map));
    RefineSession s = transcribe(dir, tones, 9, {"--tempo-map", "map.bin", "--start", "0.2"});
    ASSERT_TRUE(s.timeline.followsMap);
    EXPECT_NEAR(secondsAtStep(s.timeline, 4) - secondsAtStep(s.timeline, 0), 0.6, 1e-3);
    EXPECT_NEAR(secondsAtStep(s.timeline, 36) - secondsAtStep(s.timeline, 32), 0.4, 1e-3);
    ASSERT_GE(s.notes.size(), 10u);
    EXPECT_LE(worstOffset(s, tones), 1 + 1e-6);
}
