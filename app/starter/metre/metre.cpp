// From the chosen reading to the written beats, the downbeats and the engine's beats.
#include "app/starter/metre/metre.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "app/starter/metre/beat_track.h"
#include "app/starter/metre/split.h"

namespace {

// A reading whose score leads the next other one by less than this is weak evidence.
constexpr double WeakMargin = 0.1;
// The first downbeat may follow the first sound by this share of a beat.
constexpr double SoundBeforeDownbeat = 0.1;
// Fewer tracked beats than this leave the metre unjudged.
constexpr size_t LeastTrackedBeats = 8;
// The other pulses MetreInput::fourThirds reads along, in tracked beats: three quarters of one
// (the tracker took a pulse of three to four written beats) and four thirds (it took the dotted
// eighth under a quarter beat). Their readings compete with those of the tracked beat on their
// score alone: a cost for them, from -1 to 0.7 a beat, moved none of the development pieces'
// judgements by more than two either way.
constexpr double OtherPulses[] = {0.75, 4.0 / 3.0};
// The most halvings or doublings of a pulse's tempo when it is folded (from 30 to 300 a minute: 2).
constexpr int MostFoldSteps = 4;
// A beat this little before the region's start (seconds) is listed as within it, as --beats lists.
constexpr double ListedBeforeRegion = 1e-4;

// The best reading of the evidence along the beats (keeping to another tracker's tempo where one does).
MetreChoice readingAlong(const BeatTrack &track, const std::vector<double> &beats, const MetreBounds &bounds,
                         const MetreInput &input, double secondTempo = 0, double otherPulse = 0) {
    MetreEvidence e = gatherEvidence(track, beats);
    if (input.notes)
        e.notes = noteEvidence(*input.notes, beats);
    return chooseMetre(e, bounds, input.model, secondTempo, otherPulse);
}

// The best reading along each other pulse, its beat the pulse itself in simple time, where it
// beats c: c and `grid` become that reading and its pulse.
void readOtherPulses(const BeatTrack &track, const std::vector<double> &tracked, const MetreBounds &bounds,
                     const MetreInput &input, MetreChoice &c, std::vector<double> &grid) {
    if (bounds.parts == 3)
        return;
    for (double pulse : OtherPulses) {
        std::vector<double> beats = beatsAtRatio(tracked, pulse);
        if (beats.size() < LeastTrackedBeats)
            continue;
        MetreChoice other = readingAlong(track, beats, MetreBounds{bounds.barBeats, 2, MetreUnitsPerBeat}, input);
        if (other.score > c.score) {
            c = other;
            grid = std::move(beats);
        }
    }
}

// The best reading along the joint tracker's beats whose beat no level of the tracked pulse
// has, where it beats c: c and `grid` become that reading and those beats.
void readFramePulse(const BeatTrack &track, const std::vector<double> &tracked, const MetreBounds &bounds,
                    const MetreInput &input, MetreChoice &c, std::vector<double> &grid) {
    const std::vector<double> &beats = input.framePulseBeats;
    if (beats.size() < LeastTrackedBeats)
        return;
    MetreChoice other = readingAlong(track, beats, bounds, input, 0, meanTempo(tracked));
    if (other.score != 0 && other.score > c.score) {  // 0: no reading left to it
        c = other;
        grid = beats;
    }
}

// Where the reading c along `grid` is a slow simple beat whose halves are beats of their own, c
// and `grid` become the best reading along those halves, its beat one of them; unchanged otherwise.
void splitSlowBeat(const BeatTrack &track, const MetreBounds &bounds, const MetreInput &input, MetreChoice &c,
                   std::vector<double> &grid) {
    if (c.parts != 2 || bounds.parts == 3)
        return;
    MetreEvidence e = gatherEvidence(track, grid);
    if (!halvesAreBeats(beatHalves(e, c), choiceTempo(c, e.trackedTempo)))
        return;
    std::vector<double> halves = beatsAtRatio(readingBeats(grid, c), 0.5);
    if (halves.size() < LeastTrackedBeats)
        return;
    MetreChoice split = readingAlong(track, halves, MetreBounds{bounds.barBeats, 2, MetreUnitsPerBeat}, input);
    if (split.score == 0)  // no reading left to it
        return;
    c = split;
    grid = std::move(halves);
}

// The time signature of a reading.
void signatureOf(const MetreChoice &c, Metre &m) {
    m.numerator = c.parts == 3 ? 3 * c.barBeats : c.barBeats;
    m.denominatorPower = c.parts == 3 ? 3 : 2;
}

// The units of the written beats: from the last downbeat at or before the first sound, one
// beat apart, to the last tracked beat.
std::vector<long> beatUnits(const std::vector<double> &tracked, const MetreChoice &c, double sound) {
    long b = c.beatUnits, bar = b * c.barBeats;
    long last = static_cast<long>(tracked.size() - 1) * MetreUnitsPerBeat;
    long k = c.phase % bar;
    double beat = unitTime(tracked, b) - unitTime(tracked, 0);
    while (beat > 0 && k > -bar && unitTime(tracked, k) > sound + SoundBeforeDownbeat * beat)
        k -= bar;
    while (beat > 0 && k + bar <= last && unitTime(tracked, k + bar) <= sound + SoundBeforeDownbeat * beat)
        k += bar;
    std::vector<long> units;
    for (; k <= last; k += b)
        units.push_back(k);
    return units;
}

// The phase of a bar of four beats moved by half a bar where the written beats from `first` (the
// unit of the first downbeat, at or before the first sound) put the sound past the downbeat and
// at or before the bar's middle; the phase unchanged otherwise.
int shorterPickupPhase(const std::vector<double> &grid, const MetreChoice &c, long first, double sound) {
    long bar = static_cast<long>(c.beatUnits) * c.barBeats, half = bar / 2;
    double beat = unitTime(grid, c.beatUnits) - unitTime(grid, 0);
    bool pastDownbeat = sound > unitTime(grid, first) + SoundBeforeDownbeat * beat;
    bool byMiddle = sound <= unitTime(grid, first + half) + SoundBeforeDownbeat * beat;
    if (c.barBeats != 4 || !(beat > 0) || !pastDownbeat || !byMiddle)
        return c.phase;
    return static_cast<int>(((first + half) % bar + bar) % bar);
}

// The time signature, beats and downbeats the reading c along `grid` writes into m (judged and
// weak already set), the first downbeat the last one at or before the first sound; the tracked
// beats in 4/4 where the reading leaves fewer than two beats.
void writeBeats(const std::vector<double> &tracked, std::vector<double> grid, MetreChoice c, double sound,
                bool shortPickup, Metre &m) {
    signatureOf(c, m);
    std::vector<long> units = beatUnits(grid, c, m.judged ? sound : grid.front());
    if (shortPickup && m.judged && !units.empty()) {
        c.phase = shorterPickupPhase(grid, c, units.front(), sound);
        units = beatUnits(grid, c, sound);
    }
    if (units.size() < 2) {
        // Too short for a bar of the reading: the tracked beats in 4/4.
        grid = tracked;
        c = MetreChoice{MetreUnitsPerBeat, 2, 4, 0, 0, 0};
        m = Metre{};
        units = beatUnits(grid, c, grid.front());
    }
    long bar = static_cast<long>(c.beatUnits) * c.barBeats;
    for (long k : units) {
        m.beats.push_back(unitTime(grid, k));
        m.downbeats.push_back((k - units.front()) % bar == 0);
        for (int p = 0; p < (c.parts == 3 ? 3 : 1); ++p)
            m.gridBeats.push_back(unitTime(grid, k + p * c.beatUnits / 3));
    }
}

// One line of the dump: a reading, what it writes and its features.
std::string dumpLine(const ScoredReading &s, const Metre &m, double firstDownbeat, bool chosen,
                     double trackedTempo, double agreeTempo) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "{\"chosen\": %s, \"bestPhase\": %s, \"beatUnits\": %d, \"parts\": %d, \"barBeats\": %d, "
                  "\"phase\": %d, \"score\": %.6g, \"bpm\": %.4f, \"numerator\": %d, \"firstDownbeat\": %.4f, "
                  "\"trackedTempo\": %.4f, \"agreeTempo\": %.4f, \"features\": {",
                  chosen ? "true" : "false", s.bestPhase ? "true" : "false", s.choice.beatUnits, s.choice.parts,
                  s.choice.barBeats, s.choice.phase, s.choice.score, medianTempo(m.beats), m.numerator, firstDownbeat,
                  trackedTempo, agreeTempo);
    std::string line = text;
    for (int i = 0; i < FeatureCount; ++i) {
        std::snprintf(text, sizeof text, "%s\"%s\": %.6g", i ? ", " : "", featureName(i),
                      s.features[static_cast<size_t>(i)]);
        line += text;
    }
    return line + "}}\n";
}

// Appends every reading of the tracked pulse to the dump at path, the chosen one c marked (none
// where c was read along another pulse).
void dumpReadings(const std::string &path, const BeatTrack &track, const std::vector<double> &tracked,
                  const MetreBounds &bounds, const MetreInput &input, const MetreChoice &c, double sound) {
    MetreEvidence e = gatherEvidence(track, tracked);
    if (input.notes)
        e.notes = noteEvidence(*input.notes, tracked);
    std::string lines;
    for (const ScoredReading &s : scoreReadings(e, bounds, input.model, 0, input.agreeTempo, true)) {
        if (!std::isfinite(s.choice.score))
            continue;
        Metre m;
        m.judged = true;
        writeBeats(tracked, tracked, s.choice, sound, input.shortPickup, m);
        double first = -1;
        for (size_t i = 0; i < m.beats.size() && first < 0; ++i)
            if (m.downbeats[i] && m.beats[i] >= track.regionStart - ListedBeforeRegion)
                first = m.beats[i];
        bool chosen = s.choice.beatUnits == c.beatUnits && s.choice.parts == c.parts &&
                      s.choice.barBeats == c.barBeats && s.choice.phase == c.phase;
        lines += dumpLine(s, m, first, chosen, e.trackedTempo, input.agreeTempo);
    }
    if (std::FILE *f = std::fopen(path.c_str(), "a")) {
        std::fwrite(lines.data(), 1, lines.size(), f);
        std::fclose(f);
    }
}

}  // namespace

std::vector<double> beatsAtRatio(const std::vector<double> &tracked, double ratio) {
    std::vector<double> beats;
    if (tracked.size() < 2 || !(ratio > 0))
        return beats;
    double last = static_cast<double>(tracked.size() - 1);
    for (long j = 0; static_cast<double>(j) * ratio <= last + 1e-9; ++j) {
        double at = static_cast<double>(j) * ratio;
        size_t i = std::min(static_cast<size_t>(at), tracked.size() - 2);
        beats.push_back(tracked[i] + (at - static_cast<double>(i)) * (tracked[i + 1] - tracked[i]));
    }
    return beats;
}

std::vector<double> readingBeats(const std::vector<double> &grid, const MetreChoice &c) {
    std::vector<double> beats;
    long last = static_cast<long>(grid.size()) - 1;
    if (last < 1 || c.beatUnits < 1)
        return beats;
    for (long k = c.phase % c.beatUnits; k <= last * MetreUnitsPerBeat; k += c.beatUnits)
        beats.push_back(unitTime(grid, k));
    return beats;
}

FoldedPulse foldPulse(const std::vector<double> &beats) {
    FoldedPulse f{beats, MetreUnitsPerBeat};
    if (beats.size() < 2)
        return f;
    // Each step doubles or halves the tempo; a few cover the tempos a tracker follows.
    for (int step = 0; step < MostFoldSteps && meanTempo(f.beats) < FoldedSlowest; ++step)
        f.beats = beatsAtRatio(f.beats, 0.5);
    for (int step = 0; step < MostFoldSteps && meanTempo(f.beats) >= 4 * FoldedSlowest && f.beats.size() >= 3; ++step)
        f.beats = beatsAtRatio(f.beats, 2);
    if (meanTempo(f.beats) >= 2 * FoldedSlowest)
        f.beatUnits = 2 * MetreUnitsPerBeat;
    return f;
}

MetreBounds boundsOf(int numerator, int denominatorPower) {
    if (numerator < 1 || numerator > 99)
        return {};
    if (denominatorPower == 3 && numerator % 3 == 0 && numerator > 3)
        return {numerator / 3, 3};
    return {numerator, 2};
}

Metre findMetre(const BeatTrack &track, const std::vector<double> &tracked, const MetreBounds &bounds,
                const MetreInput &input) {
    Metre m;
    if (tracked.size() < 2)
        return m;
    MetreChoice c{MetreUnitsPerBeat, bounds.parts ? bounds.parts : 2, bounds.barBeats ? bounds.barBeats : 4, 0, 0, 0};
    std::vector<double> grid = tracked;  // the pulse the reading's units follow
    if (tracked.size() >= LeastTrackedBeats && !input.plain) {
        c = readingAlong(track, tracked, bounds, input, input.secondTempo);
        if (input.fourThirds)
            readOtherPulses(track, tracked, bounds, input, c, grid);
        if (input.framePulse == FramePulseUse::Besides)
            readFramePulse(track, tracked, bounds, input, c, grid);
        if (input.splitSlowBeat && c.score != 0)
            splitSlowBeat(track, bounds, input, c, grid);
        m.judged = c.score != 0;
        m.weak = m.judged && c.margin < WeakMargin;
    }
    double sound = track.firstSound < 0 ? grid.front() : std::max(track.firstSound, grid.front());
    if (!input.dumpPath.empty() && m.judged)
        dumpReadings(input.dumpPath, track, tracked, bounds, input, c, sound);
    writeBeats(tracked, grid, c, sound, input.shortPickup, m);
    return m;
}
