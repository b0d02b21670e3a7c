// Sampling the engine's notes on the grid of beat units.
#include "app/starter/metre/notes.h"

#include <algorithm>
#include <cmath>

#include "app/starter/metre/evidence.h"

namespace {

// Notes starting this close together start at once (the engine's notes lie on its grid; a chord
// split by a hop or two of the refinement is still one chord).
constexpr double TogetherSeconds = 0.03;

// True when no other note sounding or starting at the note's onset is lower (notes by onset).
bool lowestThen(const std::vector<HeardNote> &notes, size_t i) {
    const HeardNote &n = notes[i];
    for (size_t j = 0; j < notes.size() && notes[j].on < n.on + TogetherSeconds; ++j)
        if (j != i && notes[j].pitch < n.pitch && notes[j].off > n.on + TogetherSeconds)
            return false;
    return true;
}

// The unit nearest a time, or -1 outside units 0 .. count - 1.
long nearestUnit(const std::vector<double> &beats, double seconds, size_t count) {
    double u = std::floor(unitAt(beats, seconds) + 0.5);
    return u >= 0 && u < static_cast<double>(count) ? static_cast<long>(u) : -1;
}

// The notes by onset; those of no length or not finite left out.
std::vector<HeardNote> usable(std::vector<HeardNote> notes) {
    std::erase_if(notes, [](const HeardNote &n) {
        return !std::isfinite(n.on) || !std::isfinite(n.off) || n.off <= n.on;
    });
    std::sort(notes.begin(), notes.end(), [](const HeardNote &a, const HeardNote &b) { return a.on < b.on; });
    return notes;
}

}  // namespace

std::vector<double> standardised(std::vector<double> v) {
    double mean = 0, energy = 0;
    for (double x : v)
        mean += x;
    mean /= static_cast<double>(std::max<size_t>(v.size(), 1));
    for (double x : v)
        energy += (x - mean) * (x - mean);
    double sd = std::sqrt(energy / static_cast<double>(std::max<size_t>(v.size(), 1)));
    for (double &x : v)
        x = sd > 0 && std::isfinite(sd) ? (x - mean) / sd : 0;
    return v;
}

double unitAt(const std::vector<double> &beats, double seconds) {
    size_t i = static_cast<size_t>(std::upper_bound(beats.begin(), beats.end(), seconds) - beats.begin());
    i = std::clamp<size_t>(i, 1, beats.size() - 1) - 1;
    double span = beats[i + 1] - beats[i];
    double share = span > 0 ? (seconds - beats[i]) / span : 0;
    return (static_cast<double>(i) + share) * MetreUnitsPerBeat;
}

NoteEvidence noteEvidence(const std::vector<HeardNote> &heard, const std::vector<double> &beats) {
    NoteEvidence e;
    std::vector<HeardNote> notes = usable(heard);
    if (beats.size() < 2 || notes.empty())
        return e;
    size_t units = (beats.size() - 1) * MetreUnitsPerBeat + 1;
    std::vector<double> bass(units, 0.0), lengths(units, 0.0);
    std::vector<std::array<double, 12>> chroma(units, std::array<double, 12>{});
    e.onsetChroma.assign(units, {});
    for (size_t i = 0; i < notes.size(); ++i) {
        const HeardNote &n = notes[i];
        long k = nearestUnit(beats, n.on, units);
        size_t pc = static_cast<size_t>(((n.pitch % 12) + 12) % 12);
        double from = std::max(0.0, unitAt(beats, n.on));
        double to = std::min(static_cast<double>(units), unitAt(beats, n.off));
        for (double u = std::floor(from); u < to; u += 1)
            chroma[static_cast<size_t>(u)][pc] += std::min(u + 1, to) - std::max(u, from);
        if (k < 0)
            continue;
        size_t at = static_cast<size_t>(k);
        e.onsetChroma[at][pc] += 1;
        lengths[at] = std::max(lengths[at], std::log2(1 + (to - from) / MetreUnitsPerBeat));
        if (lowestThen(notes, i))
            bass[at] = 1;
    }
    e.bass = standardised(bass);
    e.lengths = standardised(lengths);
    e.chromaSums.assign(1, {});
    for (const std::array<double, 12> &c : chroma) {
        std::array<double, 12> next = e.chromaSums.back();
        for (size_t p = 0; p < 12; ++p)
            next[p] += c[p];
        e.chromaSums.push_back(next);
    }
    return e;
}

double patternRepeat(const NoteEvidence &e, int lag) {
    size_t n = e.onsetChroma.size(), l = static_cast<size_t>(std::max(lag, 1));
    double ab = 0, aa = 0, bb = 0;
    for (size_t k = 0; k + l < n; ++k)
        for (size_t p = 0; p < 12; ++p) {
            double a = e.onsetChroma[k][p], b = e.onsetChroma[k + l][p];
            ab += a * b, aa += a * a, bb += b * b;
        }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}
