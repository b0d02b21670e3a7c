// The engine's grid replayed: its notes, read back in seconds of the
// recording, lie where they were played, after whole bars of leading
// silence and after a start point (the real engine).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include <sndfile.h>

#include "app/starter/beats/beats.h"
#include "app/starter/protocol/settings_file.h"
#include "app/starter/refine/refine.h"
#include "engine/engine.h"
#include "tests/app/support.h"
#include "tests/input/input_rig.h"

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
    SettingsList settings;
    EXPECT_EQ(readSettingsFile(dir.path + "piece.settings.txt", settings).fault, SettingsFileFault::None);
    input.engine = engineSettings(settings);
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
    // The written file puts the dropped bars back: its tick 0 is the start of the recording.
    EXPECT_EQ(s.written.pickupSteps, 0);
    EXPECT_NEAR(writtenTick(s.timeline, s.written, 5.0), 5.0 / 0.125 * TicksPerStep, 1);
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

namespace {

// One random engine set-up: a WAV file of silence, a settings file and maybe a tempo file.
struct RandomRun {
    std::string settings;   // the settings file's text
    std::vector<uint8_t> tempoBytes;
    bool tempoFile = false;
};

RandomRun randomRun(std::mt19937 &rng, const std::string &dir) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const int rates[] = {11025, 22050, 44100};
    RandomRun r;
    int rate = rates[pick(0, 2)], channels = pick(1, 2), bits = pick(0, 1) ? 16 : 8;
    writeFile(dir + "in.wav", wavBytes(pcmLayout(rate, channels, bits),
                                       std::string(static_cast<size_t>(rate * 3) * channels * (bits / 8), '\0')));
    std::ostringstream s;
    s << "WaveFile=" << dir << "in.wav\nMidiFile=" << dir << "out.mid\nEntireWave=0\n"
      << "Tempo=" << real(20, 300) << "\nSensitivity=" << pick(0, 7) << "\nResolution=" << real(0, 6)
      << "\nTimeSignatureNumerator=" << pick(1, 12) << "\nTimeSignatureDenominator=" << pick(0, 6)
      << "\nVirtualSR=" << rates[pick(0, 2)] << "\nCropSilence=" << pick(0, 1) << "\nStartPoint=" << real(-2, 2)
      << "\n";
    r.tempoFile = pick(0, 3) != 0;
    if (r.tempoFile) {
        // Beat lengths in milliseconds, the end marker or none, sometimes an odd last byte.
        int values = pick(0, 40);
        for (int i = 0; i < values; ++i) {
            int v = pick(0, 9) == 0 ? pick(0, 20) : pick(150, 1500);
            r.tempoBytes.push_back(static_cast<uint8_t>(v & 0xFF));
            r.tempoBytes.push_back(static_cast<uint8_t>(v >> 8));
        }
        if (pick(0, 1))
            r.tempoBytes.insert(r.tempoBytes.end(), {0xFF, 0xFF});
        else if (pick(0, 1))
            r.tempoBytes.push_back(static_cast<uint8_t>(pick(0, 255)));
        writeFile(dir + "tempo.bin", std::string(r.tempoBytes.begin(), r.tempoBytes.end()));
        s << "TempoFile=" << dir << "tempo.bin\n";
    }
    r.settings = s.str();
    return r;
}

}  // namespace

TEST(RefineTimeline, EveryFrameStartsWhereTheEngineStartsIt) {
    // The engine's own set-up and frame advance, in this process, against the timeline's replay.
    std::mt19937 rng(28);
    int compared = 0;
    for (int trial = 0; trial < 300; ++trial) {
        ScratchDir dir;
        RandomRun r = randomRun(rng, dir.path);
        writeFile(dir.path + "settings.txt", r.settings);
        SettingsList list;
        std::string error;
        ASSERT_EQ(readSettingsFile(dir.path + "settings.txt", list).fault, SettingsFileFault::None);
        Settings settled;
        TimeBase tb;
        WaveHeader header = readWaveFileHeader(dir.path + "in.wav");
        if (timeBaseVerdict(settled = engineSettings(list), header.rate, header.channels, header.bits, tb) != 0)
            continue;  // the engine would end at its set-up
        std::vector<uint16_t> map;
        if (r.tempoFile)
            readTempoMap(dir.path + "tempo.bin", map);
        Timeline t;
        ASSERT_TRUE(buildTimeline(engineSettings(list), map, header, 3.0, t, error)) << error;

        input_rig::releaseInput();
        run = RunState{};
        setupAnalysis((dir.path + "settings.txt").c_str());
        startFrames();
        const double bytesPerSecond = static_cast<double>(header.rate) * header.channels * (header.bits / 8);
        const int framesPerStep = 1 << settings.Sensitivity;
        for (size_t step = 0; step < t.stepTimes.size() && t.stepTimes[step] < 3.0; ++step) {
            double engineSeconds = static_cast<double>(run.frameByte - derived.waveDataOffset) / bytesPerSecond;
            ASSERT_EQ(engineSeconds, t.stepTimes[step]) << "trial " << trial << " step " << step << "\n" << r.settings;
            for (int f = 0; f < framesPerStep; ++f)
                stepToNextFrame();
            ++compared;
        }
        input_rig::releaseInput();
        resetSettings();
    }
    EXPECT_GT(compared, 1000);
}

namespace {

// A grid of 1/8 s steps and 2 s bars, and the attacks of a passage of 16 notes every 0.5 s played
// `times` times after `lead` seconds, each time a little stronger (as the 10 ms hops fall a little
// differently on each playing).
struct PlayedAgain {
    Timeline timeline;
    AttackEvidence evidence;
    MidiContent engine;
};

PlayedAgain playedAgain(double lead, int times) {
    const int keys[] = {60, 64, 67, 72, 55};
    PlayedAgain p;
    double seconds = lead + 8.0 * times + 4;
    for (int j = 0; j * 0.125 <= seconds + 8; ++j)
        p.timeline.stepTimes.push_back(j * 0.125);
    p.evidence.hops = static_cast<int>(seconds / p.evidence.hopSeconds);
    p.evidence.attacks.assign(PitchCount, {});
    for (int r = 0; r < times; ++r)
        for (int i = 0; i < 16; ++i) {
            int key = keys[i % 5];
            double at = lead + 8.0 * r + 0.5 * i;
            p.evidence.attacks[key - LowestPitch].push_back({at, static_cast<float>(20 + 0.01 * r), 20});
            // The engine's file starts at the first bar line before its first note.
            int64_t step = std::llround((at - 2 * std::floor(lead / 2)) / 0.125);
            p.engine.notes.push_back({key, 80, step * TicksPerStep, (step + 3) * TicksPerStep, 0});
        }
    return p;
}

}  // namespace

TEST(RefineDroppedBars, MusicPlayedAgainLaterLeavesTheNotesWhereTheyStart) {
    // 20 playings of 16 notes: the first 200 notes line up as well 7 playings later.
    PlayedAgain p = playedAgain(4.0, 20);
    EXPECT_EQ(bestDroppedSteps(p.engine, p.evidence, p.timeline), 32) << "the two bars of silence only";
}

TEST(RefineDroppedBars, WholeBarsOfSilenceAreFoundBeforeMusicPlayedAgain) {
    PlayedAgain p = playedAgain(10.0, 20);
    EXPECT_EQ(bestDroppedSteps(p.engine, p.evidence, p.timeline), 80);
    p = playedAgain(0.0, 20);
    EXPECT_EQ(bestDroppedSteps(p.engine, p.evidence, p.timeline), 0);
}

TEST(RefineDroppedBars, TheFewestBarsAmongThoseScoringAsWellAsTheBest) {
    EXPECT_EQ(fewestDroppedBars({}, 16), 0);
    EXPECT_EQ(fewestDroppedBars({0, 0, 0}, 16), 0);
    EXPECT_EQ(fewestDroppedBars({10, 500, 1658.6, 600, 1663.5}, 16), 32) << "within a per cent of the best";
    EXPECT_EQ(fewestDroppedBars({10, 500, 1600, 600, 1663.5}, 16), 64) << "not within a per cent";
    EXPECT_EQ(fewestDroppedBars({10, 500, 1600, 600, 1663.5}, 1), 4);
}
