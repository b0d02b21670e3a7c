// The grid of the score: snapping ticks to steps, the pick-up, the tempo map
// and the measures.
#include "app/starter/score/score.h"

#include <algorithm>
#include <cmath>

bool chooseGrid(const MidiContent &midi, double resolution, ScoreGrid &g, std::string &error) {
    if (midi.division <= 0 || midi.division >= 0x8000) {
        error = "the MIDI file counts time in frames per second, not in beats";
        return false;
    }
    int dp = std::clamp(midi.denominatorPower, 0, 6);
    int wanted = std::isfinite(resolution) ? static_cast<int>(std::ceil(std::clamp(resolution, 0.0, 8.0))) : 4;
    g.resolution = std::min(6, std::max({4, wanted, dp}));
    g.numerator = midi.numerator >= 1 && midi.numerator <= 99 ? midi.numerator : 4;
    g.denominatorPower = dp;
    g.stepsPerBeat = int64_t{1} << (g.resolution - dp);
    g.stepsPerDivision = int64_t{1} << (g.resolution - std::clamp(divisionNotePower(midi), 0, g.resolution));
    g.barSteps = g.numerator * g.stepsPerBeat;
    // 6/8, 9/8, 12/8 (and 6/4 ...) are counted in dotted beats of three.
    g.countSteps = compoundMetre(g.numerator, dp) ? 3 * g.stepsPerBeat : g.stepsPerBeat;
    int64_t counts = g.barSteps / g.countSteps;
    g.groupSteps = counts >= 4 && counts % 2 == 0 ? 2 * g.countSteps : g.countSteps;
    g.divisions = 1 << (g.resolution - 2);
    return true;
}

int64_t stepOfTick(const ScoreGrid &grid, int division, int64_t tick) {
    // round(tick * stepsPerDivision / division), exactly, for tick >= 0.
    tick = std::max<int64_t>(tick, 0);
    return (2 * tick * grid.stepsPerDivision + division) / (2 * int64_t{division});
}

namespace {

// A beat is written in triplets when each of its onsets that the plain grid and the grid of six to
// the beat would write apart lies within 1 / TripletTolerance of a beat (under 2 ms at 120 a
// minute) of a sixth, and it has two such onsets, or the beat before or after it has one: triplets
// as a notation program or a sequencer writes them. Played timing, and a transcription's, scatters
// milliseconds about the beat's points, and a plain note played unevenly is as near a third of the
// beat as not. Chosen on the development half: its reference files get the same beats in triplets
// with 72 as with 288, but in its transcriptions 72 or 96 wrote 22 triplet brackets in five pieces
// (2 ties and 12 rests more than the plain grid), 144 or 192 six in two (4 ties, 4 rests more), and
// 288 none; one onset without a neighbour wrote 14 brackets in four (6 ties, 10 rests more).
constexpr int64_t TripletTolerance = 288;

// Where a tick lies against the beats of the plain grid: the beat it falls in (counted in the bar's
// beats from the score's first full bar), how far into that beat in units of a tick's share of a
// step (a step is `division` units), the nearest step and the nearest sixth of the beat (either may
// be the beat's end).
struct BeatPlace {
    int64_t beat = 0;
    int64_t into = 0;
    int64_t step = 0;    // steps of the plain grid into the beat, 0..stepsPerBeat
    int64_t sixth = 0;   // 0..6
};

// stepsPerBeat and shift are the plain grid's: the tuplet factor is taken out.
BeatPlace placeOfTick(const ScoreGrid &g, int division, int64_t shift, int64_t tick) {
    int64_t beatSteps = g.stepsPerBeat / g.tuplet, perBeat = beatSteps * division;
    int64_t x = std::max<int64_t>(tick, 0) * (g.stepsPerDivision / g.tuplet) + shift / g.tuplet * division;
    BeatPlace p;
    p.beat = x / perBeat;
    p.into = x - p.beat * perBeat;
    p.step = (2 * p.into + division) / (2 * int64_t{division});
    p.sixth = (12 * p.into + perBeat) / (2 * perBeat);
    return p;
}

// The grid's unit at a step: a sixth of the beat within a beat written in triplets, else a step of
// the plain grid.
int64_t unitAt(const ScoreGrid &g, int64_t shift, int64_t step) {
    int64_t beatStart = (step + shift) / g.stepsPerBeat * g.stepsPerBeat - shift;
    bool triplet = std::binary_search(g.tripletBeats.begin(), g.tripletBeats.end(), beatStart);
    return triplet ? g.stepsPerBeat / 6 : g.tuplet;
}

// The beat written in triplets that holds a step strictly inside it; -1 when none.
int64_t tripletBeatAround(const ScoreGrid &g, int64_t step) {
    auto after = std::upper_bound(g.tripletBeats.begin(), g.tripletBeats.end(), step);
    if (after == g.tripletBeats.begin())
        return -1;
    int64_t beat = *std::prev(after);
    return step > beat && step < beat + g.stepsPerBeat ? beat : -1;
}

}  // namespace

std::vector<int64_t> chooseTripletBeats(const MidiContent &midi, const ScoreGrid &g, int64_t shift) {
    std::vector<int64_t> beats;
    if (g.tuplet != 1 || g.countSteps != g.stepsPerBeat || g.stepsPerBeat % 4 != 0 || midi.division <= 0)
        return beats;
    std::vector<int64_t> ticks;
    for (const MidiNote &n : midi.notes)
        ticks.push_back(n.onTick);
    std::sort(ticks.begin(), ticks.end());
    ticks.erase(std::unique(ticks.begin(), ticks.end()), ticks.end());
    // Each beat with onsets the two grids write apart: (beat, how many, whether all lie on sixths).
    struct Evidence {
        int64_t beat;
        int onsets;
        bool onSixths;
    };
    std::vector<Evidence> evidence;
    int64_t perBeat = g.stepsPerBeat * midi.division;
    for (int64_t tick : ticks) {
        BeatPlace p = placeOfTick(g, midi.division, shift, tick);
        if (6 * p.step * midi.division == p.sixth * perBeat)
            continue;  // both grids write it on the same point
        if (evidence.empty() || evidence.back().beat != p.beat)
            evidence.push_back({p.beat, 0, true});
        ++evidence.back().onsets;
        evidence.back().onSixths =
            evidence.back().onSixths && TripletTolerance * std::abs(6 * p.into - p.sixth * perBeat) <= 6 * perBeat;
    }
    auto candidate = [&](size_t i) { return i < evidence.size() && evidence[i].onSixths; };
    for (size_t i = 0; i < evidence.size(); ++i) {
        const Evidence &e = evidence[i];
        bool before = i > 0 && candidate(i - 1) && evidence[i - 1].beat == e.beat - 1;
        bool after = candidate(i + 1) && evidence[i + 1].beat == e.beat + 1;
        if (e.onSixths && (e.onsets >= 2 || before || after))
            beats.push_back(e.beat * g.stepsPerBeat - shift);
    }
    return beats;
}

void useTriplets(ScoreGrid &g, const std::vector<int64_t> &beats) {
    if (beats.empty() || g.tuplet != 1)
        return;
    g.tuplet = 3;
    g.stepsPerBeat *= 3;
    g.stepsPerDivision *= 3;
    g.barSteps *= 3;
    g.countSteps *= 3;
    g.groupSteps *= 3;
    g.divisions *= 3;
    g.tripletBeats.clear();
    for (int64_t b : beats)
        g.tripletBeats.push_back(3 * b);
}

int64_t snapTick(const ScoreGrid &g, int division, int64_t shift, int64_t tick) {
    if (g.tripletBeats.empty())
        return stepOfTick(g, division, tick);
    BeatPlace p = placeOfTick(g, division, shift, tick);
    int64_t beatStart = p.beat * g.stepsPerBeat - shift;
    bool triplet = std::binary_search(g.tripletBeats.begin(), g.tripletBeats.end(), beatStart);
    return beatStart + (triplet ? p.sixth * (g.stepsPerBeat / 6) : p.step * g.tuplet);
}

ScoreGrid voiceGrid(const ScoreGrid &g, std::vector<VoiceChord> &chords) {
    // A voice that strikes nothing between the plain grid's steps in a beat another voice writes in
    // triplets (a chord held over a bass in triplets) is written in plain values there: sixths would
    // only add ties. Its releases there are read on the plain grid, as the beat's own triplets are not
    // its rhythm.
    ScoreGrid own = g;
    own.tripletBeats.clear();
    for (const VoiceChord &c : chords) {
        int64_t beat = tripletBeatAround(g, c.start);
        if (beat >= 0 && (c.start - beat) % g.tuplet != 0)
            own.tripletBeats.push_back(beat);
    }
    std::sort(own.tripletBeats.begin(), own.tripletBeats.end());
    own.tripletBeats.erase(std::unique(own.tripletBeats.begin(), own.tripletBeats.end()), own.tripletBeats.end());
    for (VoiceChord &c : chords) {
        int64_t beat = tripletBeatAround(g, c.end);
        if (beat < 0 || (c.end - beat) % g.tuplet == 0 ||
            std::binary_search(own.tripletBeats.begin(), own.tripletBeats.end(), beat))
            continue;
        // The nearest plain step: a sixth off the plain grid is never halfway between two of them.
        int64_t plain = beat + (2 * (c.end - beat) + g.tuplet) / (2 * g.tuplet) * g.tuplet;
        if (plain > c.start)
            c.end = plain;
    }
    return own;
}

std::vector<ScoreNote> snapNotes(const MidiContent &midi, const ScoreGrid &grid, int64_t shift) {
    std::vector<ScoreNote> notes;
    for (const MidiNote &n : midi.notes) {
        ScoreNote s;
        s.key = std::clamp(n.key, 0, 127);
        while (s.key < 12)
            s.key += 12;  // written octaves start at 0 (key 12)
        s.start = snapTick(grid, midi.division, shift, n.onTick);
        int64_t off = n.offTick >= 0 ? n.offTick : std::max(midi.lastTick, n.onTick);
        s.end = std::max(snapTick(grid, midi.division, shift, off), s.start + unitAt(grid, shift, s.start));
        notes.push_back(s);
    }
    // One note per key at a time: a later start ends the earlier note; equal starts merge.
    std::sort(notes.begin(), notes.end(), [](const ScoreNote &a, const ScoreNote &b) {
        return a.key != b.key ? a.key < b.key : a.start < b.start;
    });
    std::vector<ScoreNote> kept;
    for (const ScoreNote &n : notes) {
        if (!kept.empty() && kept.back().key == n.key && n.start < kept.back().end) {
            if (n.start == kept.back().start) {
                kept.back().end = std::max(kept.back().end, n.end);
                continue;
            }
            kept.back().released = kept.back().end;
            kept.back().end = n.start;
        }
        kept.push_back(n);
    }
    std::sort(kept.begin(), kept.end(), [](const ScoreNote &a, const ScoreNote &b) {
        return a.start != b.start ? a.start < b.start : a.key > b.key;
    });
    return kept;
}

int64_t pickupSteps(const MidiContent &midi, const ScoreGrid &grid) {
    const std::vector<MidiSignature> &s = midi.signatures;
    if (s.size() < 2 || s[0].tick != 0 || s[1].tick <= 0)
        return 0;
    int64_t steps = stepOfTick(grid, midi.division, s[1].tick);
    return steps < grid.barSteps ? steps : 0;
}

std::vector<TempoMark> tempoMap(const MidiContent &midi, const ScoreGrid &grid) {
    std::vector<MidiTempo> events = midi.tempos;
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiTempo &a, const MidiTempo &b) { return a.tick < b.tick; });
    std::vector<TempoMark> map;
    if (events.empty() || events.front().tick > 0)
        map.push_back({0, 120.0});  // a MIDI file's tempo before its first tempo event
    for (const MidiTempo &e : events) {
        if (e.microsPerBeat <= 0)
            continue;
        TempoMark t{stepOfTick(grid, midi.division, e.tick), 60e6 / static_cast<double>(e.microsPerBeat)};
        if (!map.empty() && map.back().at == t.at)
            map.back() = t;  // the last event at a step wins
        else
            map.push_back(t);
    }
    return map;
}

std::vector<ScoreMeasure> layMeasures(const ScoreGrid &grid, int64_t shift, int64_t lastEnd) {
    std::vector<ScoreMeasure> measures;
    ScoreMeasure first;
    first.number = std::to_string(shift > 0 ? 0 : 1);
    first.length = grid.barSteps - shift;
    first.metricOffset = shift;
    first.implicit = shift > 0;
    measures.push_back(first);
    int64_t at = first.length;
    for (int number = shift > 0 ? 1 : 2; at < lastEnd; ++number, at += grid.barSteps) {
        ScoreMeasure m;
        m.number = std::to_string(number);
        m.start = at;
        m.length = grid.barSteps;
        measures.push_back(m);
    }
    return measures;
}
