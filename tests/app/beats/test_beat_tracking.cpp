// Beats found in the audio: the tempo map written from them and read back by
// the engine, the judgement of a steady pulse, the fallback to a constant tempo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <utility>

#include <sndfile.h>

#include "app/starter/audio/audio.h"
#include "app/starter/beats/band_flux.h"
#include "app/starter/beats/beats.h"
#include "engine/engine.h"
#include "input/input.h"
#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace {

// Evenly spaced beats from first, period apart.
std::vector<double> evenBeats(double first, double period, int n) {
    std::vector<double> b;
    for (int i = 0; i < n; ++i)
        b.push_back(first + i * period);
    return b;
}

// A track of beats with clear onsets at the beats: strength 10 there, 1 elsewhere.
BeatTrack clearTrack(const std::vector<double> &beats, double seconds) {
    BeatTrack t;
    t.beats = beats;
    t.periods.assign(beats.size(), beats.size() > 1 ? beats[1] - beats[0] : 0.5);
    t.regionEnd = seconds;
    t.firstSound = beats.empty() ? -1 : beats[0];
    t.peak = 0.5;
    t.hopSeconds = 0.01;
    t.onsetStrength.assign(static_cast<size_t>(seconds / t.hopSeconds), 1.0f);
    // The strength peaks one hop after the attack, as the tracker's does.
    for (double b : beats)
        t.onsetStrength.at(static_cast<size_t>(b / t.hopSeconds + 0.5) + 1) = 10.0f;
    return t;
}

// Decaying tones on every beat: the accented first beat of a bar a fifth above.
std::vector<ToneNote> beatTones(const std::vector<double> &beats) {
    std::vector<ToneNote> notes;
    for (size_t i = 0; i < beats.size(); ++i)
        notes.push_back({i % 4 == 0 ? 69 : 62, beats[i], 0.3});
    return notes;
}

// Share of the true beats with a found beat within 50 ms.
double hitRate(const std::vector<double> &truth, const std::vector<double> &found) {
    int hits = 0;
    for (double t : truth)
        for (double f : found)
            if (std::fabs(f - t) <= 0.05) {
                ++hits;
                break;
            }
    return truth.empty() ? 0 : static_cast<double>(hits) / static_cast<double>(truth.size());
}

TEST(TempoMap, DurationsAreRoundedFromTheFirstBeatSoErrorsDoNotAddUp) {
    // Thirds of a second: 333.33 ms each, 1000 ms over three beats.
    std::vector<uint16_t> v = tempoMapValues({2.0, 2.0 + 1 / 3.0, 2.0 + 2 / 3.0, 3.0});
    EXPECT_EQ(v, (std::vector<uint16_t>{333, 334, 333, TempoMapEnd}));
    std::vector<double> slow = evenBeats(0, 0.6004, 101);
    v = tempoMapValues(slow);
    long total = 0;
    for (size_t i = 0; i + 1 < v.size(); ++i)
        total += v[i];
    EXPECT_EQ(total, 60040);
}

TEST(TempoMap, EdgesOfTheRange) {
    EXPECT_EQ(tempoMapValues({1.5}), std::vector<uint16_t>{TempoMapEnd});
    EXPECT_EQ(tempoMapValues({}), std::vector<uint16_t>{TempoMapEnd});
    // A beat as long as the end marker or longer stays a beat.
    EXPECT_EQ(tempoMapValues({0, 70.0}), (std::vector<uint16_t>{65534, TempoMapEnd}));
}

TEST(TempoMap, WrittenAndReadBackAsTheEngineReadsIt) {
    ScratchDir dir;
    std::string path = dir.path + "map.bin";
    ASSERT_TRUE(writeTempoMap(path, {500, 600, 0x1234, TempoMapEnd, 700}));
    EXPECT_EQ(fileText(path), std::string("\xF4\x01\x58\x02\x34\x12\xFF\xFF\xBC\x02", 10));
    std::vector<uint16_t> v;
    ASSERT_TRUE(readTempoMap(path, v));
    EXPECT_EQ(v, (std::vector<uint16_t>{500, 600, 0x1234}));
    // A final odd byte b reads as 65280 + b, then the end of the file ends the map.
    writeText(path, std::string("\xF4\x01\x07", 3));
    ASSERT_TRUE(readTempoMap(path, v));
    EXPECT_EQ(v, (std::vector<uint16_t>{500, 65280 + 7}));
    EXPECT_FALSE(readTempoMap(dir.path + "missing.bin", v));
    EXPECT_FALSE(writeTempoMap(dir.path + "no/such/folder/map.bin", {500}));
}

TEST(TempoMap, TheEngineSpacesItsFramesOnTheBeatsWritten) {
    // A performance that slows from 120 to about 80 beats per minute.
    std::vector<double> beats{3.0};
    for (int i = 0; i < 40; ++i)
        beats.push_back(beats.back() + 0.5 + 0.25 * i / 39);
    ScratchDir dir;
    std::string path = dir.path + "map.bin";
    ASSERT_TRUE(writeTempoMap(path, tempoMapValues(beats)));
    settings.TempoFile = path;
    settings.VirtualSR = 11025;
    derived.framesPerBeat = 8;
    derived.samplesPerFrame = 11025 / (8 * 2.0);
    openTempoFile();
    ASSERT_NE(inputFiles.tempo, nullptr);
    run.framePosition = beats[0] * 11025;
    run.tempoPace.framesSinceValue = derived.frameTempo.framesPerValue;
    run.tempoPace.value = 0;
    for (size_t b = 1; b < beats.size(); ++b) {
        for (int f = 0; f < 8; ++f)
            advanceFramePosition();
        // Within half a millisecond of rounding and the float advance of each frame.
        EXPECT_NEAR(run.framePosition / 11025, beats[b], 0.0006) << "beat " << b;
    }
    // After the map the constant hop applies.
    double before = run.framePosition;
    advanceFramePosition();
    EXPECT_DOUBLE_EQ(run.framePosition - before, derived.samplesPerFrame);
    std::fclose(inputFiles.tempo);
    inputFiles.tempo = nullptr;
    settings.TempoFile.clear();
}

TEST(Tempo, MedianOfBeatsAndOfMaps) {
    EXPECT_EQ(medianTempo({}), 0);
    EXPECT_EQ(medianTempo({1.0}), 0);
    EXPECT_NEAR(medianTempo(evenBeats(0.3, 0.6, 20)), 100, 1e-9);
    // Beats on a 10 ms grid around a 0.605 s period: four-beat spans see through the steps.
    std::vector<double> stepped;
    for (int i = 0; i < 30; ++i)
        stepped.push_back(std::floor(i * 60.5 + 0.5) / 100);
    EXPECT_NEAR(medianTempo(stepped), 60 / 0.605, 0.1);
    EXPECT_NEAR(medianMapTempo({500, 0, 600, 500, TempoMapEnd}), 120, 1e-9);
    EXPECT_EQ(medianMapTempo({0, TempoMapEnd}), 0);
}

TEST(Tempo, TheTimeBaseChecksOfTheEngine) {
    Settings defaults = defaultSettings();
    for (double bpm : {30.0, 60.0, 120.0, 300.0, 1000.0})
        EXPECT_TRUE(timeBaseAccepts(bpm, defaults)) << bpm;
    // Slower than about 3.6 beats per minute no longer fits 24 bits of microseconds.
    EXPECT_FALSE(timeBaseAccepts(3.5, defaults));
    EXPECT_FALSE(timeBaseAccepts(0, defaults));
    EXPECT_FALSE(timeBaseAccepts(NAN, defaults));
    EXPECT_FALSE(timeBaseAccepts(1e12, defaults));
    // A grid too fine for a 16-bit division fails at every tempo.
    SettingsList fine{{"Sensitivity", "7"}, {"Resolution", "8"}, {"TimeSignatureDenominator", "0"}};
    EXPECT_FALSE(timeBaseAccepts(120, engineSettings(fine)));
    // Speed is an integer to the engine: 0.5 reads as 0, which means the usual 100%.
    EXPECT_TRUE(timeBaseAccepts(120, engineSettings({{"Speed", "0.5"}})));
}

TEST(Steadiness, ASteadyPulseIsFollowed) {
    BeatTrack t = clearTrack(evenBeats(0.5, 0.6, 20), 12.5);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::None);
    EXPECT_GT(pulseClarity(t), 0.5);
}

TEST(Steadiness, EachReasonForAConstantTempo) {
    BeatTrack t = clearTrack(evenBeats(0.5, 0.6, 5), 3.5);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::TooShort);
    t = clearTrack({}, 10);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::Silent);
    t = clearTrack(evenBeats(0.5, 0.6, 3), 10);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::TooFewBeats);
    t = clearTrack(evenBeats(0.5, 0.6, 16), 10);
    t.onsetStrength.assign(t.onsetStrength.size(), 1.0f);  // noise: no onset stands out
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::NoClearPulse);
    t = clearTrack(evenBeats(0.5, 0.6, 3), 10);
    t.beats.clear();                                        // the tracker heard no beat
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::TooFewBeats);
}

TEST(Steadiness, AStrengthThatCorrelatesLessHasItsClarityFloorsScaled) {
    // Clicks every half second in noise: a pulse a little less clear than the least followed on
    // the high-frequency content, above that floor in the band flux's scale and faint there.
    BeatTrack t = clearTrack(evenBeats(0.5, 0.5, 36), 18.5);
    std::mt19937 noise(7);
    std::uniform_real_distribution<float> level(0.0f, 10.0f);
    for (float &s : t.onsetStrength)
        s += level(noise);
    double clarity = pulseClarity(t);
    ASSERT_LT(clarity, 0.2);
    ASSERT_GT(clarity, 0.2 * BandFluxClarityShare);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::NoClearPulse);
    t.clarityScale = BandFluxClarityShare;
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::None);
    TempoPlan p = planTempo(t, defaultSettings(), false, 120);
    ASSERT_TRUE(p.tracked) << static_cast<int>(p.fallback.kind);
    EXPECT_TRUE(p.pulseWeak);
    // Noise alone is still no pulse in that scale.
    t.onsetStrength.assign(t.onsetStrength.size(), 1.0f);
    for (float &s : t.onsetStrength)
        s += level(noise);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::NoClearPulse);
}

TEST(Following, BeatsFallOnTheOnsetsAlsoWhereTheTrackerSkippedThem) {
    std::vector<double> onsets = evenBeats(0.5, 0.5, 20);
    BeatTrack t = clearTrack(onsets, 10.4);
    t.beats.erase(t.beats.begin() + 5, t.beats.begin() + 9);  // four beats not heard
    t.periods.resize(t.beats.size());
    std::vector<double> f = beatsToFollow(t);
    ASSERT_GE(f.size(), 20u);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_NEAR(f[i], onsets[i], 1e-9) << i;
}

TEST(Following, TheTempoCurveReadsItsPeriodsOnItsOwnStrengthAndTheBeatsStayOnTheOnsets) {
    // Onsets every 0.2 s, the tracker at 0.5 s: periods of 0.4 and 0.6 s both fit the onsets.
    // A strength of the tempo curve's own at 0.6 s gives beats 0.6 s apart, at 0.4 s 0.4 s
    // apart, each on the onsets, and the clarity stays the onsets' own.
    std::vector<double> onsets = evenBeats(0.4, 0.2, 140);
    BeatTrack t = clearTrack(onsets, 28.4);
    t.periods.assign(t.beats.size(), 0.5);
    double clarity = pulseClarity(t);
    for (double period : {0.6, 0.4}) {
        t.periodStrength = clearTrack(evenBeats(0.4, period, static_cast<int>(27 / period)), 28.4).onsetStrength;
        std::vector<double> f = beatsToFollow(t);
        EXPECT_NEAR(medianTempo(f), 60 / period, 1) << period;
        ASSERT_GE(f.size(), 20u);
        for (size_t i = 1; i + 1 < f.size(); ++i) {
            double onset = 0.4 + 0.2 * std::round((f[i] - 0.4) / 0.2);
            EXPECT_NEAR(f[i], onset, 0.011) << period << " " << i;
        }
        EXPECT_EQ(pulseClarity(t), clarity);
        EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::None);
    }
}

TEST(Following, TheBeatFollowsARitardandoAndStartsAtTheFirstSound) {
    // From 120 down to 80 beats per minute over 30 beats; the tracker's period is the median.
    std::vector<double> onsets{1.3};
    for (int i = 0; i < 30; ++i)
        onsets.push_back(onsets.back() + 0.5 + 0.25 * i / 29);
    BeatTrack t = clearTrack(onsets, onsets.back() + 0.5);
    t.periods.assign(t.beats.size(), 0.62);
    t.firstSound = 0.25;  // a pickup before the first beat
    std::vector<double> f = beatsToFollow(t);
    ASSERT_GE(f.size(), onsets.size() + 2);
    EXPECT_LE(f[0], 0.25 + 0.06);  // earlier beats reach back to the first sound
    int hits = 0;
    for (double o : onsets)
        for (double b : f)
            hits += std::fabs(b - o) <= 0.011;
    EXPECT_EQ(hits, static_cast<int>(onsets.size()));
}

TEST(Following, AVeryFastBeatIsTakenTwoAtATimeOnItsStrongerHalf) {
    // Onsets at 200 per minute, the weaker ones on 0.6, 1.2, ...: the beat is 100 per minute
    // on 0.9, 1.5, ..., and the grid starts a beat earlier, before the first sound.
    std::vector<double> onsets = evenBeats(0.6, 0.3, 40);
    BeatTrack t = clearTrack(onsets, 12.6);
    for (size_t i = 0; i < onsets.size(); i += 2)
        t.onsetStrength.at(static_cast<size_t>(onsets[i] / t.hopSeconds + 0.5) + 1) = 5.0f;
    std::vector<double> f = beatsToFollow(t);
    EXPECT_NEAR(medianTempo(f), 100, 1);
    ASSERT_GE(f.size(), 21u);
    EXPECT_NEAR(f[0], 0.3, 0.011);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_NEAR(f[i + 1], onsets[2 * i + 1], 0.011) << i;
    // At 160 per minute the beat stays as it is.
    t = clearTrack(evenBeats(0.6, 0.375, 30), 12.6);
    EXPECT_NEAR(medianTempo(beatsToFollow(t)), 160, 2);
}

TEST(Planning, TrackedBeatsBecomeTheStartTheTempoAndTheMap) {
    BeatTrack t = clearTrack(evenBeats(0.25, 60 / 97.0, 24), 16);
    TempoPlan p = planTempo(t, defaultSettings(), false, 120);
    ASSERT_TRUE(p.tracked) << static_cast<int>(p.fallback.kind);
    EXPECT_NEAR(p.tempo, 97.0, 0.3);  // beats fall on 10 ms hops here
    EXPECT_EQ(p.tempo, std::floor(p.tempo * 100 + 0.5) / 100);
    // The grid starts on the downbeat at or before the first beat, at most a bar before it.
    double beat = 60 / 97.0;
    EXPECT_LE(p.startPoint, 0.25 + 0.011);
    EXPECT_GT(p.startPoint, 0.25 - p.numerator * beat);
    ASSERT_FALSE(p.downbeats.empty());
    EXPECT_TRUE(p.downbeats[0]);
    EXPECT_EQ(p.denominatorPower, 2);
    EXPECT_EQ(p.endPoint, 16);
    EXPECT_GE(p.beatCount, 24);
    ASSERT_EQ(p.map.size(), static_cast<size_t>(p.beatCount));
    ASSERT_EQ(p.beats.size(), static_cast<size_t>(p.beatCount));
    EXPECT_EQ(p.map.back(), TempoMapEnd);
    EXPECT_EQ(p.fallback.kind, NoBeatKind::None);
}

TEST(Planning, ASlowPulseGetsItsBeat) {
    // Clicks at 40 a minute: followed at 40, not doubled, not the constant fallback.
    TempoPlan p = planTempo(clearTrack(evenBeats(0.5, 1.5, 24), 37), defaultSettings(), false, 120);
    ASSERT_TRUE(p.tracked) << static_cast<int>(p.fallback.kind);
    EXPECT_NEAR(p.beatTempo, 40, 0.5);
    // 3/4 at 60 whose tracker heard only the bars (20 a minute): a faster level is written.
    BeatTrack t = clearTrack(evenBeats(0.5, 3, 12), 37);
    for (double b : evenBeats(1.5, 1, 33)) {
        float &s = t.onsetStrength.at(static_cast<size_t>(b / t.hopSeconds + 0.5) + 1);
        s = std::max(s, 6.0f);  // the downbeats stay at 10
    }
    p = planTempo(t, defaultSettings(), false, 120);
    ASSERT_TRUE(p.tracked) << static_cast<int>(p.fallback.kind);
    EXPECT_GE(p.beatTempo, SlowestTrackedTempo);
}

TEST(Planning, AGivenMetreIsTheOneNamed) {
    // Clicks at 120 a minute read as 7/8, 2/2, 3/2 and 12/16: the plan names the metre given, which
    // its reading counts in beats of another value.
    BeatTrack t = clearTrack(evenBeats(0.5, 0.5, 40), 21);
    for (auto [numerator, power] : std::vector<std::pair<int, int>>{{7, 3}, {2, 1}, {3, 1}, {12, 4}, {6, 3}}) {
        Settings s = defaultSettings();
        s.TimeSignatureNumerator = numerator;
        s.TimeSignatureDenominator = power;
        TempoPlan p = planTempo(t, s, true, 120);
        ASSERT_TRUE(p.tracked) << static_cast<int>(p.fallback.kind);
        EXPECT_EQ(p.numerator, numerator);
        EXPECT_EQ(p.denominatorPower, power);
    }
}

TEST(Planning, ThePlanCanFollowTheProminentPulseNotTheSlopeOfASwell) {
    // A weak click every half second (50 hops) on a slow swell of the onset strength, the tracker
    // at the clicks: the curve along the plain correlation (the default) slides to a shorter
    // period; along its prominence and along its peaks it keeps 120.
    BeatTrack t = clearTrack(evenBeats(0.1, 0.5, 80), 40.5);
    for (size_t h = 0; h < t.onsetStrength.size(); ++h)
        t.onsetStrength[h] = static_cast<float>(5 + 4 * std::sin(2 * M_PI * static_cast<double>(h) / 900));
    for (double b : t.beats)
        t.onsetStrength.at(static_cast<size_t>(b / t.hopSeconds + 0.5) + 1) += 3.0f;
    TempoPlan plain = planTempo(t, defaultSettings(), false, 120);
    TempoPlan prominent = planTempo(t, defaultSettings(), false, 120, MetreInput{false, nullptr, false, true, {}});
    TempoPlan peaks = planTempo(t, defaultSettings(), false, 120, MetreInput{false, nullptr, true, false, {}});
    ASSERT_TRUE(prominent.tracked && plain.tracked && peaks.tracked);
    EXPECT_GT(std::fabs(medianTempo(plain.beats) / 120 - 1), 0.1) << medianTempo(plain.beats);
    EXPECT_NEAR(medianTempo(prominent.beats), 120, 2);
    EXPECT_NEAR(medianTempo(peaks.beats), 120, 2);
}

TEST(Planning, FallsBackToTheConstantTempoWithOneReason) {
    TempoPlan p = planTempo(clearTrack({}, 10), defaultSettings(), false, 96);
    EXPECT_FALSE(p.tracked);
    EXPECT_EQ(p.tempo, 96);
    EXPECT_TRUE(p.map.empty());
    EXPECT_EQ(p.fallback.kind, NoBeatKind::Silent);
    SettingsList fine{{"Sensitivity", "7"}, {"Resolution", "8"}, {"TimeSignatureDenominator", "0"}};
    p = planTempo(clearTrack(evenBeats(0.25, 0.6, 24), 16), engineSettings(fine), true, 120);
    EXPECT_FALSE(p.tracked);
    EXPECT_EQ(p.fallback.kind, NoBeatKind::NotWritable);
    EXPECT_GT(p.fallback.tempoFound, 0);
}

TEST(Tracking, FindsTheBeatsOfARecording) {
    ScratchDir dir;
    std::vector<double> truth = evenBeats(0.2, 0.6, 20);
    for (int rate : {44100, 11025}) {
        std::string path = dir.path + "beats" + std::to_string(rate) + ".wav";
        ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, 2, beatTones(truth), 12.4));
        BeatTrack t;
        std::string error;
        ASSERT_TRUE(trackBeats(path, 0, 0, t, nullptr, error)) << error;
        EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::None) << rate;
        std::vector<double> f = beatsToFollow(t);
        EXPECT_GE(hitRate(truth, f), 0.9) << rate;
        EXPECT_NEAR(medianTempo(f), 100, 2) << rate;
        EXPECT_NEAR(t.firstSound, 0.2, 0.03);
    }
}

TEST(Tracking, LibaubiosOwnTrackerGivesASecondOpinionOnlyWhenAsked) {
    ScratchDir dir;
    std::vector<double> truth = evenBeats(0.2, 0.6, 50);
    std::string path = dir.path + "second.wav";
    ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, beatTones(truth), 30.4));
    BeatTrack plain, both;
    std::string error;
    ASSERT_TRUE(trackBeats(path, 0, 0, plain, nullptr, error)) << error;
    ASSERT_TRUE(trackBeats(path, 0, 0, both, nullptr, error, nullptr, true)) << error;
    EXPECT_TRUE(plain.secondBeats.empty());
    // It follows the clicks or every other one (its own choice of level), on the clicks.
    double tempo = medianTempo(both.secondBeats);
    EXPECT_TRUE(std::fabs(tempo - 100) <= 2 || std::fabs(tempo - 50) <= 1) << tempo;
    EXPECT_GE(hitRate(both.secondBeats, truth), 0.9);
    EXPECT_GE(both.secondBeats.size(), 20u);
    // The second tracker leaves what the first one found as it was.
    EXPECT_EQ(plain.beats, both.beats);
    EXPECT_EQ(plain.onsetStrength, both.onsetStrength);
}

// What libaubio's own tempo and onset objects give for the whole of a recording, fed hop by hop
// with the samples trackBeats feeds its tracker: mixed to mono with its faint noise.
struct LibaubioTrack {
    std::vector<double> beats, periods;
    std::vector<float> onsetStrength;
};
LibaubioTrack libaubioTrack(const std::string &path, uint_t hop) {
    LibaubioTrack r;
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return r;
    aubio_tempo_t *tempo = new_aubio_tempo("default", 2 * hop, hop, static_cast<uint_t>(info.samplerate));
    aubio_onset_t *onset = new_aubio_onset("default", 2 * hop, hop, static_cast<uint_t>(info.samplerate));
    aubio_tempo_set_silence(tempo, -115);
    fvec_t *in = new_fvec(hop), *out = new_fvec(1);
    std::vector<float> block(static_cast<size_t>(hop) * static_cast<size_t>(info.channels));
    uint32_t noise = 1;
    for (sf_count_t done = 0; done < info.frames; done += hop) {
        sf_count_t want = std::min<sf_count_t>(hop, info.frames - done);
        sf_count_t got = sf_readf_float(file, block.data(), want);
        for (uint_t i = 0; i < hop; ++i) {
            double sum = 0;
            for (int c = 0; i < got && c < info.channels; ++c)
                sum += block[i * static_cast<size_t>(info.channels) + static_cast<size_t>(c)];
            noise = noise * 1664525u + 1013904223u;
            in->data[i] = static_cast<smpl_t>(sum / info.channels + (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 2e-5);
        }
        aubio_tempo_do(tempo, in, out);
        double beat = static_cast<double>(aubio_tempo_get_last_s(tempo));
        if (out->data[0] != 0 && beat < static_cast<double>(info.frames) / info.samplerate &&
            (r.beats.empty() || beat > r.beats.back())) {
            r.beats.push_back(beat);
            r.periods.push_back(aubio_tempo_get_period_s(tempo));
        }
        aubio_onset_do(onset, in, out);
        r.onsetStrength.push_back(aubio_onset_get_descriptor(onset));
        if (got < want)
            break;
    }
    del_fvec(in);
    del_fvec(out);
    del_aubio_onset(onset);
    del_aubio_tempo(tempo);
    sf_close(file);
    return r;
}

// The beats and periods are libaubio's own; with the high-frequency content as the onset strength
// (the developer setting "hfc"), that strength is within float rounding of libaubio's own (the hop spectrum comes from FFTW's real-to-complex transform, libaubio's from the half-complex one).
TEST(Tracking, TheBeatsAreLibaubiosOwnAndTheOnsetStrengthItsWithinRounding) {
    ScratchDir dir;
    std::vector<double> truth = evenBeats(0.3, 0.47, 40);
    for (auto [rate, channels] : {std::pair{44100, 2}, {22050, 1}, {11025, 1}}) {
        std::string path = dir.path + "beats" + std::to_string(rate) + ".wav";
        ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, channels, beatTones(truth), 20.1));
        BeatTrack t;
        std::string error;
        ASSERT_TRUE(trackBeats(path, 0, 0, t, nullptr, error, nullptr, false, OnsetStrength::HighFrequency)) << error;
        LibaubioTrack r = libaubioTrack(path, static_cast<uint_t>(std::lround(t.hopSeconds * rate)));
        EXPECT_GE(t.beats.size(), 30u) << rate;
        EXPECT_EQ(t.beats, r.beats) << rate;
        EXPECT_EQ(t.periods, r.periods) << rate;
        ASSERT_EQ(t.onsetStrength.size(), r.onsetStrength.size()) << rate;
        for (size_t i = 0; i < t.onsetStrength.size(); ++i)
            ASSERT_NEAR(t.onsetStrength[i], r.onsetStrength[i], 1e-5 * (1 + std::fabs(r.onsetStrength[i])))
                << rate << " hop " << i;
    }
}

TEST(Tracking, KeepsToTheRegionAndReadsSilenceAsSilence) {
    ScratchDir dir;
    std::string path = dir.path + "beats.wav";
    ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, beatTones(evenBeats(0.2, 0.6, 30)),
                           18.4));
    BeatTrack t;
    std::string error;
    ASSERT_TRUE(trackBeats(path, 6, 14, t, nullptr, error)) << error;
    EXPECT_NEAR(t.regionStart, 6, 1e-3);
    EXPECT_NEAR(t.regionEnd, 14, 1e-3);
    ASSERT_FALSE(t.beats.empty());
    EXPECT_GE(t.beats.front(), 6);
    EXPECT_LT(t.beats.back(), 14);
    // A start beyond the end reads the whole file, as the engine does.
    ASSERT_TRUE(trackBeats(path, 99, 0, t, nullptr, error));
    EXPECT_EQ(t.regionStart, 0);
    std::string quiet = dir.path + "quiet.wav";
    ASSERT_TRUE(writeTones(quiet, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {}, 6));
    ASSERT_TRUE(trackBeats(quiet, 0, 0, t, nullptr, error));
    EXPECT_EQ(t.firstSound, -1);
    EXPECT_EQ(unsteadyReason(t).kind, NoBeatKind::Silent);
    writeText(dir.path + "text.wav", "not audio at all");
    BeatFailure failure = BeatFailure::TrackerSetUp;
    EXPECT_FALSE(trackBeats(dir.path + "text.wav", 0, 0, t, nullptr, error, &failure));
    EXPECT_EQ(failure, BeatFailure::Unreadable) << error;
}

}  // namespace

namespace {

// The starter with a stand-in engine on a steady recording at 100 beats per minute.
struct BeatStarter : StarterRig {
    void SetUp() override {
        StarterRig::SetUp();
        ASSERT_TRUE(writeTones(dir.path + "steady.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1,
                               beatTones(evenBeats(0.2, 0.6, 20)), 12.4));
        ASSERT_TRUE(writeTones(dir.path + "silent.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {}, 8));
    }

    // Runs the starter; the settings and the tempo file the engine got are kept.
    CommandResult run(std::vector<std::string> args) {
        args.insert(args.begin(), "--force");
        return StarterRig::run(args, {"FAKE_RECORD=" + dir.path + "record.txt", "FAKE_TEMPO=" + dir.path + "tempo.bin"});
    }
};

}  // namespace

TEST_F(BeatStarter, BeatsPrintsTheBeatsAndTranscribesNothing) {
    CommandResult r = run({"--beats", "steady.wav", "silent.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("# steady.wav: ", 0), 0u) << r.out;
    size_t at = r.out.find(" beats, median tempo ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(at + 20)), 100, 1) << r.out;
    std::vector<double> times;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            times.push_back(std::stod(line));
    EXPECT_GE(hitRate(evenBeats(0.2, 0.6, 20), times), 0.9) << r.out;
    EXPECT_NE(r.out.find("\n# silent.wav: The recording is silent, so the tempo is a constant 120 beats per "
                         "minute"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path + "steady.mid"));
    EXPECT_FALSE(std::filesystem::exists(dir.path + "record.txt"));
    EXPECT_TRUE(folderEntries(tmp).empty());
}

TEST_F(BeatStarter, TranscriptionFollowsTheBeatsByDefault) {
    CommandResult r = run({"steady.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    SettingsList s = recorded();
    EXPECT_NEAR(settingDecimal(s, "Tempo", 0), 100, 1);
    // The grid starts on a downbeat on a beat at or up to a bar before the first one.
    double start = settingDecimal(s, "StartPoint", -1), bar = 0.6 * settingInt(s, "TimeSignatureNumerator", 0);
    EXPECT_LE(start, 0.2 + 0.05);
    EXPECT_GT(start, 0.2 - bar);
    EXPECT_NEAR(std::remainder(start - 0.2, 0.6), 0, 0.05);
    EXPECT_EQ(getSetting(s, "EntireWave"), "0");
    EXPECT_EQ(getSetting(s, "TempoFile").rfind(tmp, 0), 0u);
    std::vector<uint16_t> map;
    ASSERT_TRUE(readTempoMap(dir.path + "tempo.bin", map));
    ASSERT_GE(map.size(), 18u);
    for (uint16_t v : map)
        EXPECT_NEAR(v, 600, 30);
    size_t at = r.out.find("Tempo: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(at + 7)), 100, 1) << r.out;
    EXPECT_NE(r.out.find("beats found in the recording"), std::string::npos) << r.out;
    EXPECT_TRUE(folderEntries(tmp).empty());
}

TEST_F(BeatStarter, AGivenTempoOrTempoMapTurnsTrackingOff) {
    CommandResult r = run({"steady.wav", "--tempo", "90"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "Tempo"), "90");
    EXPECT_EQ(getSetting(recorded(), "TempoFile"), "");
    EXPECT_NE(r.out.find("Tempo: a constant 90 beats per minute."), std::string::npos) << r.out;
    // In 6/8 the tempo given counts the engine's beat, the eighth; the summary names the dotted beat.
    r = run({"steady.wav", "--tempo", "240", "--time-signature", "6/8"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Tempo: a constant 80 dotted-quarter beats per minute."), std::string::npos) << r.out;
    // As the file clicks and the score's mark counts: the eighth in 3/8, the dotted eighth in 9/16.
    r = run({"steady.wav", "--tempo", "240", "--time-signature", "3/8"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Tempo: a constant 240 beats per minute."), std::string::npos) << r.out;
    r = run({"steady.wav", "--tempo", "240", "--time-signature", "9/16"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Tempo: a constant 80 dotted-eighth beats per minute."), std::string::npos) << r.out;
    // A map plays at its median tempo unless a tempo is given as well.
    ASSERT_TRUE(writeTempoMap(dir.path + "map.bin", {500, 500, 600, TempoMapEnd}));
    r = run({"steady.wav", "--tempo-map", "map.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "Tempo"), "120");
    EXPECT_EQ(fileText(dir.path + "tempo.bin"), fileText(dir.path + "map.bin"));
    EXPECT_NE(r.out.find("Tempo: 120 beats per minute; the notes follow the beats of the tempo map."),
              std::string::npos) << r.out;
    r = run({"steady.wav", "--tempo-map", "map.bin", "--tempo", "90"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "Tempo"), "90");
    writeText(dir.path + "tempo.txt", "Tempo=75\n");
    r = run({"steady.wav", "--settings", "tempo.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "TempoFile"), "");
    EXPECT_EQ(getSetting(recorded(), "Tempo"), "75");
}

TEST_F(BeatStarter, TheSummaryGivesTheMedianTempoTheBeatListingGives) {
    // A beat slowing from 0.5 to 0.7 s, read in a metre given over it: the summary's tempo is the
    // median of the beats it counts, as --beats lists them, in 4/4 and in 6/8.
    std::vector<double> slowing;
    for (double t = 0.2, step = 0.5; t < 14; t += step, step += 0.01)
        slowing.push_back(t);
    ASSERT_TRUE(writeTones(dir.path + "slowing.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, beatTones(slowing),
                           14.6));
    for (std::string metre : {"4/4", "6/8"}) {
        CommandResult listed = run({"--beats", "--time-signature", metre, "slowing.wav"});
        CommandResult r = run({"--time-signature", metre, "slowing.wav"});
        ASSERT_EQ(listed.code, 0) << listed.err;
        ASSERT_EQ(r.code, 0) << r.err;
        size_t at = listed.out.find(" beats, median tempo "), said = r.out.find("Tempo: ");
        ASSERT_TRUE(at != std::string::npos && said != std::string::npos) << listed.out << r.out;
        std::string median = listed.out.substr(at + 21, listed.out.find(' ', at + 21) - at - 21);
        EXPECT_EQ(r.out.substr(said + 7, median.size() + 1), median + " ") << metre << ": " << r.out;
    }
}

TEST_F(BeatStarter, WithoutASteadyBeatTheTempoStaysConstantAndTheSummarySaysWhy) {
    CommandResult r = run({"silent.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "TempoFile"), "");
    EXPECT_FALSE(hasSetting(recorded(), "Tempo"));
    EXPECT_NE(r.out.find("The recording is silent, so the tempo is a constant 120 beats per minute; give the "
                         "tempo with --tempo if it is another."), std::string::npos) << r.out;
    ASSERT_TRUE(writeTones(dir.path + "short.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1,
                           beatTones(evenBeats(0.2, 0.6, 4)), 2.5));
    r = run({"short.wav"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("too short to find its beat"), std::string::npos) << r.out;
}

TEST(StartPoint, TheEngineStartsOnAWholeSampleFrameAlsoBeforeTheAudio) {
    // The engine's first byte: trunc(StartPoint * rate * frame bytes + data offset + 0.5).
    auto engineByte = [](double start, const WaveHeader &h) {
        return static_cast<int64_t>(start * h.rate * (h.channels * (h.bits / 8)) + h.dataOffset + 0.5);
    };
    for (WaveHeader h : {WaveHeader{true, 1, 2, 44100, 16, 44}, WaveHeader{true, 1, 1, 11025, 8, 46},
                         WaveHeader{true, 1, 1, 22050, 16, 58}}) {
        int frameBytes = h.channels * (h.bits / 8);
        for (double seconds : {-0.3, -0.0116, -0.001, -0.00002, 0.0, 0.00001, 0.5, 1.2345, 600.0}) {
            int64_t frame = static_cast<int64_t>(std::floor(seconds * h.rate + 0.5));
            EXPECT_EQ(engineByte(engineStartPoint(seconds, h), h), h.dataOffset + frame * frameBytes)
                << seconds << " at " << h.rate;
        }
    }
    // Without a usable header the time is left as it is.
    EXPECT_EQ(engineStartPoint(-0.25, WaveHeader{}), -0.25);
    // A damaged header's frame size times a far frame passes the 64-bit range: the time stays a number.
    WaveHeader huge{true, 1, 32767, 2147483647, 32760, 44};
    for (double seconds : {-1e9, -2.5, 1e6, 1e9})
        EXPECT_TRUE(std::isfinite(engineStartPoint(seconds, huge))) << seconds;
}
