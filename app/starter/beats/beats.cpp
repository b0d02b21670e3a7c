// The judgement of the beats found, the tempo plan and the tempo file built from the beats.
#include "app/starter/beats/beats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/starter/audio/audio.h"
#include "app/starter/beats/dbn.h"
#include "app/starter/beats/pulse.h"
#include "app/starter/metre/metre.h"
#include "input/input.h"

namespace {

// A pulse less clear than this (normalised autocorrelation of the onset strength at the beat
// period; noise and speech give about 0.1, music 0.3 and more) is no pulse to follow.
constexpr double LeastPulseClarity = 0.2;
// The onset strength peaks about one hop after an attack.
constexpr double OnsetLatencyHops = 1;
// Beats faster than this are taken two at a time: the beat is rather their half, nearer the
// tempos most music is written in (around 120).
constexpr double HalvedAbove = 170;
// The first beat may follow the first sound by this share of a beat.
constexpr double SoundBeforeBeat = 0.1;
// At most this many beats are added before the first beat found.
constexpr int MaxBeatsBefore = 64;
// A pulse less clear than this is followed, but called weak evidence.
constexpr double ClearPulse = 0.3;
// The written beat may be up to three times faster or slower than the pulse followed (a slow
// 3/4 whose bars stand out, a jig whose eighths do), so a pulse that far outside the tempos
// written is still followed, and the written beat is judged against them.
constexpr double LevelReach = 3;

// The median of the tracker's beat periods, in onset-strength hops; 0 when it has none.
double priorPeriodHops(const BeatTrack &track) {
    std::vector<double> periods;
    for (double p : track.periods)
        if (p > 0)
            periods.push_back(p);
    return track.hopSeconds > 0 ? medianOf(periods) / track.hopSeconds : 0;
}

// Every other beat, on the half whose onsets are the stronger.
std::vector<double> strongerHalf(const std::vector<double> &beats, const std::vector<int64_t> &hops,
                                 const std::vector<float> &strength) {
    double sum[2] = {0, 0};
    for (size_t i = 0; i < hops.size() && i < beats.size(); ++i)
        sum[i % 2] += strength[static_cast<size_t>(hops[i])];
    std::vector<double> half;
    for (size_t i = sum[1] > sum[0] ? 1 : 0; i < beats.size(); i += 2)
        half.push_back(beats[i]);
    return half;
}

}  // namespace

double medianMapTempo(const std::vector<uint16_t> &values) {
    std::vector<double> d;
    for (uint16_t v : values)
        if (v != 0 && v != TempoMapEnd)
            d.push_back(v);
    double m = medianOf(d);
    return m > 0 ? 60000 / m : 0;
}

namespace {

// The beats from the last at or before the first sound: beats placed in the silence before it
// go, and earlier beats at the first period are added where the first is later.
std::vector<double> fromFirstSound(const BeatTrack &track, std::vector<double> beats) {
    if (beats.size() < 2)
        return beats;
    double sound = track.firstSound < 0 ? track.regionStart : track.firstSound;
    while (beats.size() > 2 && beats[1] <= sound + SoundBeforeBeat * (beats[2] - beats[1]))
        beats.erase(beats.begin());
    double period = beats[1] - beats[0];
    for (int i = 0; i < MaxBeatsBefore && beats.front() > sound + SoundBeforeBeat * period; ++i)
        beats.insert(beats.begin(), beats.front() - period);
    return beats;
}

// The beats at onset-strength hops, taken two at a time when fast, reaching back to the first
// sound.
std::vector<double> beatsAtHops(const BeatTrack &track, const std::vector<int64_t> &hops) {
    std::vector<double> beats;
    for (int64_t h : hops)
        beats.push_back(track.regionStart + (static_cast<double>(h) - OnsetLatencyHops) * track.hopSeconds);
    if (medianTempo(beats) > HalvedAbove)
        beats = strongerHalf(beats, hops, pulseStrengthOf(track));
    return fromFirstSound(track, std::move(beats));
}

// The beats placed along a pulse curve.
std::vector<double> beatsAlong(const BeatTrack &track, const PulseCurve &pulse) {
    return beatsAtHops(track, placeBeats(pulseStrengthOf(track), pulse.periods));
}

// The beats of the joint tempo-and-phase tracker.
std::vector<double> framePulseAlong(const BeatTrack &track) {
    return beatsAtHops(track, framePulseBeats(pulseStrengthOf(track), track.hopSeconds, SlowestTrackedTempo,
                                              FastestTrackedTempo));
}

// How the input asks the tempo curve's path to score the periods.
PulseScore pulseScoreOf(const MetreInput &input) {
    return input.pulsePeaks ? PulseScore::Peaks : input.pulseProminence ? PulseScore::Prominence : PulseScore::Plain;
}

// The least clarity of a pulse to follow, in the scale of the strength the pulse is read on.
double leastClarity(const BeatTrack &track) { return LeastPulseClarity * track.clarityScale; }

// The pulse the beats follow, its path scored as asked: its clarity on the pulse's strength; its
// periods, and whether they lie at another level than the tracker's (otherLevel), on the tempo
// curve's own strength where it has one, else on the pulse's too.
PulseCurve pulseOf(const BeatTrack &track, bool &otherLevel, PulseScore score = PulseScore::Plain) {
    PulseCurve pulse = followClearestPulse(pulseStrengthOf(track), priorPeriodHops(track), leastClarity(track),
                                           otherLevel, score);
    if (track.periodStrength.empty())
        return pulse;
    PulseCurve periods =
        followClearestPulse(track.periodStrength, priorPeriodHops(track), LeastPulseClarity, otherLevel, score);
    periods.clarity = pulse.clarity;
    return periods;
}

// Why the recording has no steady beat to follow, or "" with the beats to follow in beats;
// the pulse is followed once for both, its path scored as asked. weak: the pulse is faint or
// at another level.
NoBeat judgeBeats(const BeatTrack &track, std::vector<double> &beats, bool &weak,
                  PulseScore score = PulseScore::Plain) {
    if (track.regionEnd - track.regionStart < ShortestBeatRegion)
        return {NoBeatKind::TooShort};
    if (track.firstSound < 0)
        return {NoBeatKind::Silent};
    if (track.beats.size() < 4)
        return {NoBeatKind::TooFewBeats};
    PulseCurve pulse = pulseOf(track, weak, score);
    if (pulse.clarity < leastClarity(track))
        return {NoBeatKind::NoClearPulse};
    weak = weak || pulse.clarity < ClearPulse * track.clarityScale;
    beats = beatsAlong(track, pulse);
    double tempo = medianTempo(beats);
    if (tempo * LevelReach < SlowestTrackedTempo || tempo > FastestTrackedTempo * LevelReach)
        return {NoBeatKind::OutsideTempos, tempo};
    return {};
}

}  // namespace

double pulseClarity(const BeatTrack &track) {
    bool otherLevel;
    return pulseOf(track, otherLevel).clarity;
}

NoBeat unsteadyReason(const BeatTrack &track) {
    std::vector<double> beats;
    bool weak;
    return judgeBeats(track, beats, weak);
}

std::vector<double> beatsToFollow(const BeatTrack &track) {
    bool otherLevel;
    return beatsAlong(track, pulseOf(track, otherLevel));
}

std::vector<uint16_t> tempoMapValues(const std::vector<double> &beats) {
    std::vector<uint16_t> values;
    int64_t previous = 0;
    for (size_t i = 1; i < beats.size(); ++i) {
        // Rounded from the first beat, so that the rounding never accumulates.
        int64_t at = static_cast<int64_t>(std::floor((beats[i] - beats[0]) * 1000 + 0.5));
        values.push_back(static_cast<uint16_t>(std::clamp<int64_t>(at - previous, 0, TempoMapEnd - 1)));
        previous = at;
    }
    values.push_back(TempoMapEnd);
    return values;
}

bool timeBaseAccepts(double tempo, const Settings &settings) {
    if (!std::isfinite(tempo) || tempo <= 0)
        return false;
    Settings settled = settings;
    settled.Tempo = tempo;
    TimeBase tb;
    return timeBaseVerdict(settled, ConvertedRate, 1, ConvertedBits, tb) == 0;
}

TempoPlan planTempo(const BeatTrack &track, const Settings &settings, bool metreGiven, double fallbackTempo,
                    const MetreInput &input) {
    TempoPlan plan;
    plan.beatCount = static_cast<int>(track.beats.size());
    plan.tempo = fallbackTempo;
    std::vector<double> beats;
    plan.fallback = judgeBeats(track, beats, plan.pulseWeak, pulseScoreOf(input));
    if (plan.fallback.kind != NoBeatKind::None)
        return plan;
    plan.metreGiven = metreGiven;
    MetreBounds bounds = metreGiven ? boundsOf(settings.TimeSignatureNumerator, settings.TimeSignatureDenominator)
                                    : MetreBounds{};
    MetreInput read = input;
    if (input.framePulse != FramePulseUse::Off)
        read.framePulseBeats = framePulseAlong(track);
    if (input.framePulse == FramePulseUse::Instead && read.framePulseBeats.size() >= 2)
        beats = read.framePulseBeats;
    if (input.framePulse == FramePulseUse::Folded && read.framePulseBeats.size() >= 2) {
        FoldedPulse folded = foldPulse(read.framePulseBeats);
        beats = std::move(folded.beats);
        if (!bounds.beatUnits)
            bounds = MetreBounds{bounds.barBeats, bounds.parts, folded.beatUnits, true};
    }
    Metre metre = findMetre(track, beats, bounds, read);
    double beatTempo = medianTempo(metre.beats);
    if (beatTempo < SlowestTrackedTempo || beatTempo > FastestTrackedTempo) {
        plan.fallback = {NoBeatKind::OutsideTempos, beatTempo};
        return plan;
    }
    Settings written = settings;
    if (!metreGiven)
        written.TimeSignatureDenominator = metre.denominatorPower;
    // A steady beat has at least two beats, so a tempo within the tempos followed.
    double tempo = std::floor(medianTempo(metre.gridBeats) * 100 + 0.5) / 100;
    if (!timeBaseAccepts(tempo, written)) {
        plan.fallback = {NoBeatKind::NotWritable, tempo};
        return plan;
    }
    plan.tracked = true;
    plan.tempo = tempo;
    plan.beatTempo = beatTempo;
    // A metre given is the one written, whatever beats its reading counted (7/8 is read in 7 beats).
    plan.numerator = metreGiven ? settings.TimeSignatureNumerator : metre.numerator;
    plan.denominatorPower = metreGiven ? settings.TimeSignatureDenominator : metre.denominatorPower;
    plan.metreJudged = metre.judged;
    plan.metreWeak = metre.weak;
    plan.startPoint = metre.gridBeats.front();
    plan.endPoint = track.regionEnd;
    plan.beatCount = static_cast<int>(metre.beats.size());
    plan.map = tempoMapValues(metre.gridBeats);
    plan.beats = std::move(metre.beats);
    plan.downbeats = std::move(metre.downbeats);
    return plan;
}

bool writeTempoMap(const std::string &path, const std::vector<uint16_t> &values) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    for (uint16_t v : values)
        ok = ok && std::fputc(v & 0xFF, f) != EOF && std::fputc(v >> 8, f) != EOF;
    return std::fclose(f) == 0 && ok;
}

// The values as the engine follows them, read by the engine's own tempo-file reader.
bool readTempoMap(const std::string &path, std::vector<uint16_t> &values) { return readTempoValues(path, values); }

