// From the chosen reading to the written beats, the downbeats and the engine's beats.
#include "app/starter/metre/metre.h"

#include <cmath>

#include "app/starter/metre/beat_track.h"

namespace {

// A reading whose score leads the next other one by less than this is weak evidence.
constexpr double WeakMargin = 0.1;
// The first downbeat may follow the first sound by this share of a beat.
constexpr double SoundBeforeDownbeat = 0.1;
// Fewer tracked beats than this leave the metre unjudged.
constexpr size_t LeastTrackedBeats = 8;

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

}  // namespace

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
    if (tracked.size() >= LeastTrackedBeats && !input.plain) {
        MetreEvidence e = gatherEvidence(track, tracked);
        if (input.notes)
            e.notes = noteEvidence(*input.notes, tracked);
        c = chooseMetre(e, bounds, input.model);
        m.judged = c.score != 0;
        m.weak = m.judged && c.margin < WeakMargin;
    }
    signatureOf(c, m);
    double sound = track.firstSound < 0 ? tracked.front() : std::max(track.firstSound, tracked.front());
    std::vector<long> units = beatUnits(tracked, c, m.judged ? sound : tracked.front());
    if (units.size() < 2) {
        // Too short for a bar of the reading: the tracked beats in 4/4.
        c = MetreChoice{MetreUnitsPerBeat, 2, 4, 0, 0, 0};
        m = Metre{};
        units = beatUnits(tracked, c, tracked.front());
    }
    long bar = static_cast<long>(c.beatUnits) * c.barBeats;
    for (long k : units) {
        m.beats.push_back(unitTime(tracked, k));
        m.downbeats.push_back((k - units.front()) % bar == 0);
        for (int p = 0; p < (c.parts == 3 ? 3 : 1); ++p)
            m.gridBeats.push_back(unitTime(tracked, k + p * c.beatUnits / 3));
    }
    return m;
}
