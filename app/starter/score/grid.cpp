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

std::vector<ScoreNote> snapNotes(const MidiContent &midi, const ScoreGrid &grid) {
    std::vector<ScoreNote> notes;
    for (const MidiNote &n : midi.notes) {
        ScoreNote s;
        s.key = std::clamp(n.key, 0, 127);
        while (s.key < 12)
            s.key += 12;  // written octaves start at 0 (key 12)
        s.start = stepOfTick(grid, midi.division, n.onTick);
        int64_t off = n.offTick >= 0 ? n.offTick : std::max(midi.lastTick, n.onTick);
        s.end = std::max(stepOfTick(grid, midi.division, off), s.start + 1);
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
