// Tempo marks as a copyist writes them. The refined MIDI file keeps the
// tempo of every beat it followed, which wobbles by a few per cent from beat
// to beat even in a steady performance; a player wants one mark at the start
// and a new one only where the tempo really moves. Each bar's average tempo is
// read against the last mark: a move that holds for two bars is written, as a
// new mark where it is a step, or as "rit." / "accel." where it drifts over
// three bars or more, with a mark where it settles.
#include "app/starter/score/score.h"

#include <algorithm>

namespace {

// A bar's tempo further than this share from the last mark's, for two bars in a row, is a new tempo.
constexpr double ChangeShare = 0.08;
// A bar moving on by more than this share from the one before (or two bars by more than this from
// the one two before) is still on its way: a drift, or the bar in which a step falls.
constexpr double MovingShare = 0.03;
// Bars whose tempo sets the first mark: the beats found at the start take a bar or two to settle,
// so the median of the first four.
constexpr size_t FirstBars = 4;
// Bars a move must span to be written as a drift in words rather than as a new mark.
constexpr size_t DriftBars = 3;

// +1 where tempo lies more than share above reference, -1 more than share below, else 0.
int side(double tempo, double reference, double share) {
    return tempo > reference * (1 + share) ? 1 : tempo < reference * (1 - share) ? -1 : 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Whether the tempo moves on after bar `at` in direction dir: by more than MovingShare over the
// next bar or the next two (an even rit. slows by only a few per cent a bar).
bool stillMoving(const std::vector<double> &tempos, size_t at, int dir) {
    return (at + 1 < tempos.size() && side(tempos[at + 1], tempos[at], MovingShare) == dir) ||
           (at + 2 < tempos.size() && side(tempos[at + 2], tempos[at], MovingShare) == dir &&
            dir * (tempos[at + 1] - tempos[at]) > 0);
}

}  // namespace

std::vector<double> measureTempos(const std::vector<TempoMark> &map, const std::vector<ScoreMeasure> &measures) {
    std::vector<double> tempos;
    for (const ScoreMeasure &m : measures) {
        const int64_t end = m.start + m.length;
        // The map rises by step: the entry in force at the measure's start, then those within it.
        size_t i = std::upper_bound(map.begin(), map.end(), m.start,
                                    [](int64_t at, const TempoMark &t) { return at < t.at; }) - map.begin();
        double tempo = i > 0 ? map[i - 1].beatsPerMinute : map.empty() ? 120.0 : map.front().beatsPerMinute;
        double minutesPerStep = 0;  // in beats-per-minute units: steps over tempo
        for (i = i > 0 ? i - 1 : 0; i < map.size() && map[i].at < end; ++i) {
            int64_t from = std::max(map[i].at, m.start);
            int64_t to = std::min(i + 1 < map.size() ? map[i + 1].at : end, end);
            if (to > from)
                minutesPerStep += static_cast<double>(to - from) / map[i].beatsPerMinute;
        }
        tempos.push_back(minutesPerStep > 0 ? static_cast<double>(m.length) / minutesPerStep : tempo);
    }
    return tempos;
}

ScoreTempo copyistTempo(const std::vector<TempoMark> &map, const std::vector<ScoreMeasure> &measures) {
    std::vector<ScoreMeasure> bars;
    std::copy_if(measures.begin(), measures.end(), std::back_inserter(bars),
                 [](const ScoreMeasure &m) { return !m.implicit; });
    if (bars.empty())
        bars = measures;
    const std::vector<double> t = measureTempos(map, bars);
    ScoreTempo out;
    if (t.empty())
        return out;
    double current = median(std::vector<double>(t.begin(), t.begin() + std::min(FirstBars, t.size())));
    out.marks.push_back({0, current});
    size_t last = 0;  // the bar of the last mark or words: the move after it starts later
    for (size_t b = last + 1; b + 1 < t.size(); ++b) {
        int dir = side(t[b], current, ChangeShare);
        if (dir == 0 || side(t[b + 1], current, ChangeShare) != dir)
            continue;
        size_t from = b, to = b;
        while (from > last + 1 && side(t[from - 1], current, MovingShare) == dir && dir * (t[from] - t[from - 1]) > 0)
            --from;
        while (stillMoving(t, to, dir))
            ++to;
        size_t at = to;
        if (to + 1 - from >= DriftBars) {
            out.words.push_back({bars[from].start, dir < 0 ? "rit." : "accel."});
            at = to + 1;
        }
        if (at + 1 < t.size()) {  // a settled tempo reads two bars: none after a closing drift
            current = (t[at] + t[at + 1]) / 2;
            out.marks.push_back({bars[at].start, current});
        } else {
            current = t.back();
        }
        last = at;
        b = at;
    }
    return out;
}
