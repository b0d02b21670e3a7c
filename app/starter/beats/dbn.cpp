// The joint tempo-and-phase beat tracker: states, observation and decoding.
#include "app/starter/beats/dbn.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Neighbouring beat periods differ by this ratio (before rounding to whole hops).
constexpr double PeriodStep = 1.02;
// The share of the strengths below the level taken as the piece's high one.
constexpr double HighQuantile = 0.99;
// The observation is kept this far from 0 and 1: a beat where nothing sounds (a held note, a
// rest) costs log(100 / 15) more than a place between beats, not the whole pulse. At 1e-3 the
// tracker took bars or half bars on more of the development renderings (the written beat
// among the readings of its pulse on 115 of 192 against 135).
constexpr double ObservationFloor = 0.01;
// Where the beat is not, the observation's chance is spread as over this many places.
constexpr double OffBeatPlaces = 15;
// How sharply a change of period at a beat is penalised: its chance falls as
// exp(-PeriodChange * |new / old - 1|).
constexpr double PeriodChange = 100;

// The value below which `share` of the values (not empty) lie.
double quantile(std::vector<float> v, double share) {
    size_t at = std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
    return v[at];
}

// Log chances of going from each period (row) to each period (column) at a beat.
std::vector<double> periodChanges(const std::vector<int> &periods) {
    size_t n = periods.size();
    std::vector<double> log(n * n);
    for (size_t from = 0; from < n; ++from) {
        double sum = 0;
        for (size_t to = 0; to < n; ++to) {
            log[from * n + to] = -PeriodChange * std::fabs(static_cast<double>(periods[to]) / periods[from] - 1);
            sum += std::exp(log[from * n + to]);
        }
        for (size_t to = 0; to < n; ++to)
            log[from * n + to] -= std::log(sum);
    }
    return log;
}

// The states' layout: where each period's places begin in one array of all states.
std::vector<size_t> stateOffsets(const std::vector<int> &periods) {
    std::vector<size_t> offsets{0};
    for (int p : periods)
        offsets.push_back(offsets.back() + static_cast<size_t>(p));
    return offsets;
}

// Adds the observation's log chance at each state: o at a beat (the first place of each
// period), the rest spread over the places between beats. A beat's own place is one hop at
// every period: a region in proportion to the period (a sixteenth of it) lets a slow pulse
// absorb the spread of a performance's onsets that a fast one must hit, and pulled the tracker
// to bars and half bars.
void observe(std::vector<double> &score, const std::vector<size_t> &offsets, double o) {
    double beat = std::log(o), off = std::log((1 - o) / OffBeatPlaces);
    for (double &s : score)
        s += off;
    for (size_t i = 0; i + 1 < offsets.size(); ++i)
        score[offsets[i]] += beat - off;
}

// One step of the path: every state moves one place on; a beat's first place is reached from
// the last place of any period, the best one kept in `from` for each period.
void advance(std::vector<double> &score, const std::vector<int> &periods, const std::vector<size_t> &offsets,
             const std::vector<double> &changes, uint16_t *from) {
    size_t n = periods.size();
    std::vector<double> enter(n, -std::numeric_limits<double>::infinity());
    for (size_t to = 0; to < n; ++to)
        for (size_t f = 0; f < n; ++f) {
            double s = score[offsets[f + 1] - 1] + changes[f * n + to];
            if (s > enter[to]) {
                enter[to] = s;
                from[to] = static_cast<uint16_t>(f);
            }
        }
    for (size_t i = 0; i < n; ++i) {
        std::move_backward(score.begin() + static_cast<std::ptrdiff_t>(offsets[i]),
                           score.begin() + static_cast<std::ptrdiff_t>(offsets[i + 1] - 1),
                           score.begin() + static_cast<std::ptrdiff_t>(offsets[i + 1]));
        score[offsets[i]] = enter[i];
    }
}

}  // namespace

std::vector<int> framePeriods(double shortest, double longest) {
    std::vector<int> periods;
    if (!(shortest >= 1) || !(longest >= shortest) || !std::isfinite(longest))
        return periods;
    for (double p = shortest; p <= longest * (1 + 1e-9); p *= PeriodStep) {
        int whole = static_cast<int>(std::trunc(p + 0.5));
        if (periods.empty() || whole > periods.back())
            periods.push_back(whole);
    }
    return periods;
}

std::vector<double> beatObservation(const std::vector<float> &strength) {
    std::vector<double> o;
    if (strength.empty())
        return o;
    std::vector<float> finite;
    for (float s : strength)
        if (std::isfinite(s))
            finite.push_back(s);
    double median = finite.empty() ? 0 : quantile(finite, 0.5), high = finite.empty() ? 0 : quantile(finite, HighQuantile);
    double range = high - median;
    for (float s : strength) {
        double share = range > 0 && std::isfinite(s) ? (s - median) / range : 0;
        o.push_back(std::clamp(share, ObservationFloor, 1 - ObservationFloor));
    }
    return o;
}

std::vector<int64_t> decodeFramePulse(const std::vector<double> &observation, const std::vector<int> &periods) {
    std::vector<int64_t> beats;
    if (observation.empty() || periods.empty() || periods.front() < 1 ||
        periods.size() > std::numeric_limits<uint16_t>::max())
        return beats;
    size_t n = periods.size(), hops = observation.size();
    std::vector<size_t> offsets = stateOffsets(periods);
    std::vector<double> changes = periodChanges(periods), score(offsets.back(), 0.0);
    std::vector<uint16_t> from(hops * n, 0);
    observe(score, offsets, observation[0]);
    for (size_t t = 1; t < hops; ++t) {
        advance(score, periods, offsets, changes, &from[t * n]);
        observe(score, offsets, observation[t]);
    }
    size_t best = static_cast<size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    size_t i = static_cast<size_t>(std::upper_bound(offsets.begin(), offsets.end(), best) - offsets.begin()) - 1;
    int place = static_cast<int>(best - offsets[i]);
    for (size_t t = hops; t-- > 0;) {
        if (place == 0)
            beats.push_back(static_cast<int64_t>(t));
        if (t == 0)
            break;
        if (place > 0) {
            --place;
        } else {
            i = from[t * n + i];
            place = periods[i] - 1;
        }
    }
    std::reverse(beats.begin(), beats.end());
    return beats;
}

std::vector<int64_t> framePulseBeats(const std::vector<float> &strength, double hopSeconds, double slowest,
                                     double fastest) {
    if (!(hopSeconds > 0) || !(slowest > 0) || !(fastest > slowest))
        return {};
    return decodeFramePulse(beatObservation(strength), framePeriods(60 / fastest / hopSeconds, 60 / slowest / hopSeconds));
}
