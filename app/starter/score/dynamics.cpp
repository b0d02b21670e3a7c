// Dynamics marks from the notes' velocities: each bar's typical velocity (the
// median over it and its neighbours) read in three bands, p, mf and f, with a
// margin to cross before the band changes, so a mark stands where the playing
// changes clearly and lastingly and not at every accent.
#include "app/starter/score/score.h"

#include <algorithm>
#include <map>

namespace {

// The bands' lower edges in velocity: below MezzoForteFrom is p, from ForteFrom on f (the
// velocities a sequencer gives these marks are about 49, 80 and 96).
constexpr int MezzoForteFrom = 64, ForteFrom = 96;
// How far past a band's edge the typical velocity must go before the band changes: an accent
// or a phrase's swell moves it less.
constexpr int ChangeMargin = 6;
// Bars either side of a bar whose notes make its typical velocity.
constexpr int64_t NeighbourBars = 1;
// Bars (with notes) a new band must hold to be marked: the bar where the window straddles a
// change from p to f reads mf for a moment.
constexpr size_t LastingBars = 2;

// The band of a velocity: 0 p, 1 mf, 2 f.
int bandOf(int velocity) { return velocity < MezzoForteFrom ? 0 : velocity < ForteFrom ? 1 : 2; }

// The band of a velocity seen from band `current`: it changes only past the edge by ChangeMargin.
int bandFrom(int current, int velocity) {
    int up = current == 0 ? MezzoForteFrom : ForteFrom, down = current == 2 ? ForteFrom : MezzoForteFrom;
    if (current < 2 && velocity >= up + ChangeMargin)
        return bandOf(velocity - ChangeMargin);
    if (current > 0 && velocity < down - ChangeMargin)
        return bandOf(velocity + ChangeMargin);
    return current;
}

const char *const MarkNames[] = {"p", "mf", "f"};
// The velocity each mark stands for.
const int MarkVelocities[] = {49, 80, 96};

// True when the bars from i on read band next from band for LastingBars bars with notes.
bool holds(const std::vector<std::pair<int64_t, int>> &typical, size_t i, int band, int next) {
    if (i + LastingBars > typical.size())
        return false;
    for (size_t j = i; j < i + LastingBars; ++j)
        if (bandFrom(band, typical[j].second) != next)
            return false;
    return true;
}

int median(std::vector<int> v) {
    auto middle = v.begin() + static_cast<long>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    return *middle;
}

}  // namespace

std::vector<DynamicMark> dynamicMarks(const MidiContent &midi, const ScoreGrid &grid, int64_t shift) {
    std::map<int64_t, std::vector<int>> bars;  // bar index: velocities of the notes starting in it
    std::map<int64_t, int64_t> firstOnset;     // bar index: its first onset in steps
    int lowest = 128, highest = -1;
    for (const MidiNote &n : midi.notes) {
        int64_t step = snapTick(grid, midi.division, shift, n.onTick), bar = (step + shift) / grid.barSteps;
        bars[bar].push_back(n.velocity);
        firstOnset.try_emplace(bar, step);
        firstOnset[bar] = std::min(firstOnset[bar], step);
        lowest = std::min(lowest, n.velocity);
        highest = std::max(highest, n.velocity);
    }
    std::vector<DynamicMark> marks;
    if (lowest >= highest)
        return marks;  // one velocity throughout (the engine's own files): nothing to mark
    std::vector<std::pair<int64_t, int>> typical;  // bar, typical velocity
    for (const auto &[bar, own] : bars) {
        std::vector<int> around;
        for (auto it = bars.lower_bound(bar - NeighbourBars); it != bars.end() && it->first <= bar + NeighbourBars; ++it)
            around.insert(around.end(), it->second.begin(), it->second.end());
        typical.push_back({bar, median(around)});
    }
    int band = -1;
    for (size_t i = 0; i < typical.size(); ++i) {
        int next = band < 0 ? bandOf(typical[i].second) : bandFrom(band, typical[i].second);
        if (next == band || (band >= 0 && !holds(typical, i, band, next)))
            continue;
        marks.push_back({firstOnset[typical[i].first], MarkNames[next], MarkVelocities[next]});
        band = next;
    }
    return marks;
}
