// Note values: how a note or a rest is written as plain and dotted values,
// tied where it crosses a beat group or a barline, with rests in every gap.
#include "app/starter/score/score.h"

#include <algorithm>
#include <climits>
#include <map>

namespace {

// A note written to the next onset of its line is marked staccato when it sounded this fraction of
// its written value or less (1 / StaccatoShare). Half would mark the early releases of decaying
// tones (harpsichord, guitar, piano) that the development pieces play legato; a third marks only
// notes clearly let go.
constexpr int64_t StaccatoShare = 3;

// Appends the written pieces of [start, end) (score times) of measure m to voice.
void addSpan(const ScoreGrid &g, const ScoreMeasure &m, ScoreVoice &voice, int64_t start, int64_t end,
             const std::vector<int> &keys, bool tieIn, bool tieOut, bool staccato) {
    std::vector<std::pair<int64_t, int64_t>> pieces =
        writtenPieces(g, m.metricOffset - m.start, start, end, keys.empty());
    for (size_t i = 0; i < pieces.size(); ++i) {
        ScoreEvent e;
        e.start = pieces[i].first;
        e.length = pieces[i].second - pieces[i].first;
        e.keys = keys;
        e.tieFromPrevious = !keys.empty() && (i > 0 || tieIn);
        e.tieToNext = !keys.empty() && (i + 1 < pieces.size() || tieOut);
        e.staccato = staccato && i == 0 && !tieIn;
        e.triplet = tripletBeatOf(g, pieces[i].first, pieces[i].second) >= 0;
        noteValue(g, e.triplet ? e.length * 3 / 2 : e.length, e.typeLevel, e.dots);
        voice.events.push_back(e);
    }
}

// Marks the first and the last of each beat's triplet events in a voice.
void markTriplets(const ScoreGrid &g, ScoreVoice &v) {
    auto beatOf = [&](size_t i) {
        const ScoreEvent &e = v.events[i];
        return e.triplet ? tripletBeatOf(g, e.start, e.start + e.length) : -1;
    };
    for (size_t i = 0; i < v.events.size(); ++i) {
        int64_t beat = beatOf(i);
        if (beat < 0)
            continue;
        v.events[i].tripletStart = i == 0 || beatOf(i - 1) != beat;
        v.events[i].tripletStop = i + 1 == v.events.size() || beatOf(i + 1) != beat;
    }
}

// The voice of one measure: the chords that overlap it, rests between them.
ScoreVoice measureVoice(const ScoreGrid &g, const ScoreMeasure &m, const std::vector<VoiceChord> &chords,
                        size_t first, int staff, int voice) {
    ScoreVoice v{staff, voice, {}};
    int64_t end = m.start + m.length, at = m.start;
    for (size_t i = first; i < chords.size() && chords[i].start < end; ++i) {
        int64_t s = std::max(chords[i].start, m.start), e = std::min(chords[i].end, end);
        if (e <= s)
            continue;
        if (s > at)
            addSpan(g, m, v, at, s, {}, false, false, false);
        addSpan(g, m, v, s, e, chords[i].keys, chords[i].start < s, chords[i].end > e, chords[i].staccato);
        at = e;
    }
    if (at == m.start && !m.implicit) {
        ScoreEvent rest;
        rest.start = m.start;
        rest.length = m.length;
        rest.wholeMeasureRest = true;
        v.events.push_back(rest);
        return v;
    }
    if (at < end)
        addSpan(g, m, v, at, end, {}, false, false, false);
    markTriplets(g, v);
    return v;
}

// The syncopations a copyist writes as one note in simple metres: in a bar of four beats (4/4, 4/2)
// a value of two or three beats struck on the second, over the middle of the bar (quarter, half,
// quarter); a beat's value struck half a beat late, over a beat that is not the middle of the bar
// (8th, quarter, 8th); and in a bar of two or four beats a beat and a half struck half a beat late
// that fills its half of the bar (8th, dotted quarter). Rests and compound bars keep the beats shown:
// a dotted half on the second beat of 12/8 is tied, and so is 8th, dotted quarter in 3/4.
bool writtenSyncopation(const ScoreGrid &g, int64_t start, int64_t end) {
    if (g.countSteps != g.stepsPerBeat)
        return false;
    int64_t counts = (end - start) / g.countSteps, half = g.countSteps / 2, crossed = start + half;
    bool middle = g.barSteps == 4 * g.countSteps && start % g.barSteps == g.countSteps &&
                  (end - start) % g.countSteps == 0 && (counts == 2 || counts == 3);
    int64_t halfBar = 2 * g.countSteps;
    bool fillsHalfBar = end - start == g.countSteps + half && g.barSteps % halfBar == 0 && end % halfBar == 0;
    bool halfBeatLate = g.countSteps % 2 == 0 && start % g.countSteps == half &&
                        (end - start == g.countSteps || fillsHalfBar) && metricLevel(g, crossed) > 0 &&
                        (g.groupSteps == g.countSteps || crossed % g.groupSteps != 0);
    return middle || halfBeatLate;
}

}  // namespace

bool noteValue(const ScoreGrid &g, int64_t length, int &typeLevel, int &dots) {
    if (length % g.tuplet != 0) {
        dots = 0;
        return false;
    }
    length /= g.tuplet;
    for (dots = 0; dots <= 1; ++dots) {
        if (dots == 1 && length % 3 != 0)
            continue;
        int64_t base = dots == 1 ? length / 3 * 2 : length;
        if (base < 1 || (base & (base - 1)) != 0 || base > (int64_t{1} << g.resolution))
            continue;
        int log = 0;
        while ((int64_t{1} << log) < base)
            ++log;
        typeLevel = g.resolution - log;
        return true;
    }
    dots = 0;
    return false;
}

int metricLevel(const ScoreGrid &g, int64_t position) {
    int64_t p = position % g.barSteps;
    if (p == 0)
        return 0;
    if (p % g.groupSteps == 0)
        return 1;
    if (p % g.countSteps == 0)
        return 2;
    int64_t within = p % g.countSteps, unit = g.countSteps;
    int level = 3;
    if (g.countSteps != g.stepsPerBeat) {  // a dotted beat: its thirds first
        unit /= 3;
        if (within % unit == 0)
            return 3;
        level = 4;
    }
    for (int64_t half = unit / 2; half >= 1; half /= 2, ++level)
        if (within % half == 0)
            return level;
    return level;
}

namespace {

// The strongest position strictly inside start..end (the first of them) and its level; -1 when
// there is none. A bar line is the strongest there is, so a span over one is cut at the first
// without reading every step: a note or rest held over thousands of bars costs a step per bar.
int64_t strongestInside(const ScoreGrid &g, int64_t start, int64_t end, int &strongest) {
    int64_t intoBar = start % g.barSteps;
    int64_t bar = start - (intoBar < 0 ? intoBar + g.barSteps : intoBar) + g.barSteps;
    strongest = INT_MAX;
    if (bar < end) {
        strongest = 0;
        return bar;
    }
    int64_t at = -1;
    for (int64_t p = start + 1; p < end; ++p) {
        int level = metricLevel(g, p);
        if (level < strongest) {
            strongest = level;
            at = p;
        }
    }
    return at;
}

}  // namespace

std::vector<std::pair<int64_t, int64_t>> splitSpan(const ScoreGrid &g, int64_t start, int64_t end, bool rest) {
    std::vector<std::pair<int64_t, int64_t>> out;
    // Each pass writes the span whole or cuts it at its strongest position, writes the part before
    // and goes on with the part after (a loop, not a recursion as deep as the bars it holds).
    while (end > start) {
        int strongest;
        int64_t at = strongestInside(g, start, end, strongest);
        int type, dots;
        bool single = noteValue(g, end - start, type, dots);
        // A value may hold beats and beat groups only when it starts on a stronger position than
        // any it crosses, or on a beat and crosses only beats (a half note on beat 2 of 3/4), or is
        // a syncopation a copyist writes whole; within a beat any plain or dotted value will do.
        if (single && strongest <= 2) {
            int from = metricLevel(g, start);
            single = strongest > from || (strongest == from && from > 0) || (!rest && writtenSyncopation(g, start, end));
        }
        if (single || at < 0) {
            out.push_back({start, end});
            break;
        }
        std::vector<std::pair<int64_t, int64_t>> before = splitSpan(g, start, at, rest);
        out.insert(out.end(), before.begin(), before.end());
        start = at;
    }
    return out;
}

int64_t tripletBeatOf(const ScoreGrid &g, int64_t start, int64_t end) {
    auto after = std::upper_bound(g.tripletBeats.begin(), g.tripletBeats.end(), start);
    if (after == g.tripletBeats.begin())
        return -1;
    int64_t beat = *std::prev(after);
    return end <= beat + g.stepsPerBeat && end - start < g.stepsPerBeat ? beat : -1;
}

namespace {

// The pieces of [start, end) within one beat written in triplets: one value of three to the time of
// two where it fits, else cut at the first third of the beat inside it, or else its first sixth.
void tripletPieces(const ScoreGrid &g, int64_t beat, int64_t start, int64_t end,
                   std::vector<std::pair<int64_t, int64_t>> &out) {
    int64_t third = g.stepsPerBeat / 3, sixth = g.stepsPerBeat / 6;
    while (end > start) {
        int type, dots;
        if ((end - start) * 3 % 2 == 0 && noteValue(g, (end - start) * 3 / 2, type, dots)) {
            out.push_back({start, end});
            return;
        }
        int64_t cut = beat + ((start - beat) / third + 1) * third;
        if (cut >= end)
            cut = beat + ((start - beat) / sixth + 1) * sixth;
        if (cut >= end) {  // off the grid of sixths: written as it is
            out.push_back({start, end});
            return;
        }
        out.push_back({start, cut});
        start = cut;
    }
}

}  // namespace

std::vector<std::pair<int64_t, int64_t>> writtenPieces(const ScoreGrid &g, int64_t toBar, int64_t start,
                                                       int64_t end, bool rest) {
    // Cut where the span enters or leaves a beat in triplets part of the way.
    std::vector<int64_t> cuts = {start};
    auto beat = std::upper_bound(g.tripletBeats.begin(), g.tripletBeats.end(), start - g.stepsPerBeat);
    for (; beat != g.tripletBeats.end() && *beat < end; ++beat) {
        int64_t from = *beat, to = *beat + g.stepsPerBeat;
        if (from >= start && to <= end)
            continue;
        if (from > start && from > cuts.back())
            cuts.push_back(from);
        if (to < end && to > cuts.back())
            cuts.push_back(to);
    }
    cuts.push_back(end);
    std::vector<std::pair<int64_t, int64_t>> out;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        int64_t s = cuts[i], e = cuts[i + 1], within = tripletBeatOf(g, s, e);
        if (within >= 0) {
            tripletPieces(g, within, s, e, out);
            continue;
        }
        for (const auto &[from, to] : splitSpan(g, s + toBar, e + toBar, rest))
            out.push_back({from - toBar, to - toBar});
    }
    return out;
}

namespace {

// True when a chord longer than a beat, let go before `next` (the next onset of its line, the span
// one written value), reads as that value released: as sounded it would be written tied, and the
// rest after it is no longer than the shortest of its tied pieces. A dotted half released an 8th
// early is a dotted half, not a half tied to an 8th and an 8th rest; a half held seven 8ths is a
// half; a half held three quarters, a dotted quarter and its 8th rest with no tie, keeps its rest.
bool releasedEarly(const ScoreGrid &grid, int64_t shift, const VoiceChord &c, int64_t next) {
    std::vector<std::pair<int64_t, int64_t>> sounded = writtenPieces(grid, shift, c.start, c.end);
    if (sounded.size() < 2)
        return false;
    int64_t shortest = INT64_MAX;
    for (const auto &[from, to] : sounded)
        shortest = std::min(shortest, to - from);
    return next - c.end <= shortest;
}

}  // namespace

void closeShortGaps(const ScoreGrid &grid, int64_t shift, const std::vector<ScoreNote> &notes,
                    std::vector<VoiceChord> &chords) {
    // Each key's onsets anywhere in the score: a chord is not written over its own keys' next strike.
    std::map<int, std::vector<int64_t>> onsets;
    for (const ScoreNote &n : notes)
        onsets[n.key].push_back(n.start);
    for (auto &[key, starts] : onsets)
        std::sort(starts.begin(), starts.end());
    auto struckAgainBefore = [&](const VoiceChord &c, int64_t end) {
        return std::any_of(c.keys.begin(), c.keys.end(), [&](int key) {
            const std::vector<int64_t> &s = onsets[key];
            auto next = std::upper_bound(s.begin(), s.end(), c.start);
            return next != s.end() && *next < end;
        });
    };
    for (size_t i = 0; i + 1 < chords.size(); ++i) {
        VoiceChord &c = chords[i];
        int64_t next = chords[i + 1].start, span = next - c.start, sounding = c.end - c.start;
        if (c.end >= next || (span > grid.countSteps && !releasedEarly(grid, shift, c, next)) ||
            writtenPieces(grid, shift, c.start, next).size() > 1 || struckAgainBefore(c, next))
            continue;
        c.staccato = StaccatoShare * sounding <= span;
        c.end = next;
    }
}

void fillMeasures(Score &score, const ScoreGrid &grid, const std::vector<VoiceChord> &chords, int staff,
                  int voice) {
    size_t first = 0;
    for (ScoreMeasure &m : score.measures) {
        while (first < chords.size() && chords[first].end <= m.start)
            ++first;
        bool any = first < chords.size() && chords[first].start < m.start + m.length;
        if (voice > 1 && !any)
            continue;
        m.voices.push_back(measureVoice(grid, m, chords, first, staff, voice));
    }
}

namespace {

// True when the measure writes this voice of this staff.
bool writesVoice(const ScoreMeasure &m, int staff, int voice) {
    return std::any_of(m.voices.begin(), m.voices.end(),
                       [&](const ScoreVoice &v) { return v.staff == staff && v.voice == voice; });
}

// Hides the rests of a second voice before its first note in a bar it enters and after its last
// note in a bar it leaves: a line that joins the other voice's chords, or a few notes struck under a
// held one, appear without rests, as in keyboard music; its rests between notes stay.
void hideEntryAndExitRests(ScoreVoice &v, bool enters, bool leaves) {
    auto sounds = [](const ScoreEvent &e) { return !e.keys.empty(); };
    auto first = std::find_if(v.events.begin(), v.events.end(), sounds);
    if (first == v.events.end())
        return;
    auto last = std::find_if(v.events.rbegin(), v.events.rend(), sounds).base();
    for (auto e = v.events.begin(); enters && e != first; ++e)
        e->hidden = true;
    for (auto e = last; leaves && e != v.events.end(); ++e)
        e->hidden = true;
}

}  // namespace

void hideSilentVoicesRests(Score &score) {
    for (size_t k = 0; k < score.measures.size(); ++k) {
        ScoreMeasure &m = score.measures[k];
        for (ScoreVoice &voice : m.voices) {
            bool silent = std::all_of(voice.events.begin(), voice.events.end(),
                                      [](const ScoreEvent &e) { return e.keys.empty(); });
            bool wholeBar = voice.voice == 1 && voice.events.size() == 1 && voice.events[0].wholeMeasureRest;
            bool otherPlays = std::any_of(m.voices.begin(), m.voices.end(), [&](const ScoreVoice &v) {
                return v.staff == voice.staff && v.voice != 1;
            });
            // A pick-up bar a staff does not play in is left blank: its rests keep the bar's length
            // unseen, as the lead-in of one hand is printed without a rest in the other.
            if ((silent && m.implicit) || (wholeBar && otherPlays))
                for (ScoreEvent &e : voice.events)
                    e.hidden = true;
            if (voice.voice != 1)
                hideEntryAndExitRests(voice, k == 0 || !writesVoice(score.measures[k - 1], voice.staff, voice.voice),
                                      k + 1 == score.measures.size() ||
                                          !writesVoice(score.measures[k + 1], voice.staff, voice.voice));
        }
    }
}
