// Staves and voices: which notes go on the treble and the bass staff, and
// how each staff's notes are laid into at most two voices.
#include "app/starter/score/score.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

namespace {

constexpr int MiddleC = 60;
constexpr int HandSpan = 12;       // the widest chord one hand plays, in semitones
constexpr int StretchMost = 12;    // bass and accompaniment struck together: up to two octaves
constexpr int TrebleLowest = 55;   // G3: three ledger lines below the treble staff
constexpr int BassHighest = 64;    // E4: three ledger lines above the bass staff
constexpr int LineStep = 7;        // a fifth: the widest step of one line held into its next note
constexpr int FirstGuitar = 24, LastGuitar = 31;  // General MIDI's guitars, nylon to harmonics
constexpr size_t GuitarStrings = 6;
constexpr int NoLine = 1000;  // the distance to a chord that is not there

// Places the notes lo..hi (sorted by key, rising) of one onset: an octave or less is one
// hand's chord, placed by its middle; a wider group is split at its widest gap.
void placeHands(std::vector<ScoreNote *> &group, size_t lo, size_t hi) {
    int low = group[lo]->key, high = group[hi - 1]->key;
    if (high - low <= HandSpan) {
        int staff = low + high >= 2 * MiddleC ? 1 : 2;
        for (size_t i = lo; i < hi; ++i)
            group[i]->staff = staff;
        return;
    }
    size_t cut = lo + 1;
    int widest = -1;
    double nearest = 0;
    for (size_t i = lo + 1; i < hi; ++i) {
        int gap = group[i]->key - group[i - 1]->key;
        double fromMiddle = std::abs((group[i]->key + group[i - 1]->key) / 2.0 - MiddleC);
        if (gap > widest || (gap == widest && fromMiddle < nearest)) {
            widest = gap;
            nearest = fromMiddle;
            cut = i;
        }
    }
    placeHands(group, lo, cut);
    placeHands(group, cut, hi);
}

// True when one hand could strike key with the chord's keys: a bass and a tune struck together
// further apart are two lines (a guitar's thumb and fingers), each kept in its own voice.
bool withinReach(const VoiceChord &chord, int key) {
    return std::all_of(chord.keys.begin(), chord.keys.end(),
                       [&](int k) { return std::abs(k - key) <= HandSpan + StretchMost; });
}

// Adds a note to one of two voices (see assignVoices); nextStrike: where its key is struck again.
void placeInVoice(std::vector<std::vector<VoiceChord>> &voices, const ScoreNote &n, int64_t nextStrike) {
    for (auto &v : voices)
        if (!v.empty() && v.back().start == n.start && v.back().end == n.end && withinReach(v.back(), n.key)) {
            v.back().keys.push_back(n.key);
            return;
        }
    for (auto &v : voices)
        if (v.empty() || v.back().end <= n.start) {
            v.push_back({n.start, n.end, {n.key}});
            return;
        }
    // Both voices hold a chord: the note joins the one struck with it whose length is nearest its
    // own and takes that length, but ends the chord before its key is struck again (a player, and
    // a reader's playback, cannot strike a key the score still holds).
    VoiceChord *chord = nullptr;
    for (auto &v : voices)
        if (v.back().start == n.start &&
            (!chord || std::abs(v.back().end - n.end) < std::abs(chord->end - n.end)))
            chord = &v.back();
    if (chord) {
        chord->keys.push_back(n.key);
        chord->end = std::min(chord->end, nextStrike);
        return;
    }
    auto &v = voices[0].back().end <= voices[1].back().end ? voices[0] : voices[1];
    v.back().end = n.start;  // a third line: the voice that ends first is cut short
    v.push_back({n.start, n.end, {n.key}});
}

// The nearest distance from key to a key of the chord, NoLine when there is no chord.
int keyDistance(const VoiceChord *chord, int key) {
    int nearest = NoLine;
    if (chord)
        for (int k : chord->keys)
            nearest = std::min(nearest, std::abs(k - key));
    return nearest;
}

using ChordRun = std::vector<VoiceChord>::iterator;

// Splits the chords first..last of one voice (ownBefore and ownAfter: its chords either side) that
// sound while the other voice rests between its chords `before` and `after`: the keys nearer that
// line (its chord before, or the part moved from the chord before, and its chord after) than the
// chords either side go to `moved`, the others to `kept`; false when a chord would move no key, or
// all of them but for one chord between two of its own voice's chords that it touches (the note of
// another line, struck as both voices fell silent).
bool splitForLine(ChordRun first, ChordRun last, const VoiceChord &before, const VoiceChord &after,
                  const VoiceChord *ownBefore, const VoiceChord *ownAfter, std::vector<VoiceChord> &moved,
                  std::vector<std::vector<int>> &kept) {
    for (auto c = first; c != last; ++c) {
        moved.push_back({c->start, c->end, {}});
        const VoiceChord *line = moved.size() > 1 ? &moved[moved.size() - 2] : &before;
        kept.emplace_back();
        for (int key : c->keys) {
            int toLine = std::min(keyDistance(line, key), keyDistance(&after, key));
            int stay = std::min(keyDistance(ownBefore, key), keyDistance(ownAfter, key));
            (toLine < stay ? moved.back().keys : kept.back()).push_back(key);
        }
        bool whole = last - first == 1 && ownBefore && ownBefore->end == c->start && ownAfter &&
                     ownAfter->start == c->end;
        if (moved.back().keys.empty() || (kept.back().empty() && !whole))
            return false;
    }
    return true;
}

// Where the other voice's line rests while one voice's chords sound (its chord before ends where the
// first of them starts, its chord after starts where the last ends, and they follow each other
// without a gap), each chord's keys nearer that line than the chords either side of them move into
// it: an accompaniment struck with the tune, and joined to it, fills its own line's gap, and no rest
// is printed there. Each chord keeps a key, unless it is one chord that touches its own voice's
// chords either side: a figure's note struck where the tune and the figure fell silent together
// went to the tune's voice and goes back whole to the figure's. A gap not filled exactly is left
// alone, so a chord struck by all the lines together and followed by a rest stays whole.
void fillLineGaps(std::vector<std::vector<VoiceChord>> &voices) {
    for (int j = 0; j < 2; ++j) {
        std::vector<VoiceChord> &own = voices[j], &other = voices[1 - j];
        std::vector<VoiceChord> filled;
        for (size_t g = 0; g + 1 < other.size(); ++g) {
            const VoiceChord &before = other[g], &after = other[g + 1];
            auto first = std::lower_bound(own.begin(), own.end(), before.end,
                                          [](const VoiceChord &v, int64_t at) { return v.start < at; });
            auto last = first;  // the chords that follow each other from where the line rests
            while (last != own.end() && last->start < after.start && (last == first || std::prev(last)->end == last->start))
                ++last;
            if (before.end >= after.start || first == last || first->start != before.end ||
                std::prev(last)->end != after.start || (last != own.end() && last->start < after.start))
                continue;
            std::vector<VoiceChord> moved;
            std::vector<std::vector<int>> kept;
            if (!splitForLine(first, last, before, after, first != own.begin() ? &*std::prev(first) : nullptr,
                              last != own.end() ? &*last : nullptr, moved, kept))
                continue;
            for (size_t i = 0; i < moved.size(); ++i)
                first[static_cast<std::ptrdiff_t>(i)].keys = kept[i];
            filled.insert(filled.end(), moved.begin(), moved.end());
        }
        own.erase(std::remove_if(own.begin(), own.end(), [](const VoiceChord &c) { return c.keys.empty(); }),
                  own.end());
        other.insert(other.end(), filled.begin(), filled.end());
        std::stable_sort(other.begin(), other.end(),
                         [](const VoiceChord &x, const VoiceChord &y) { return x.start < y.start; });
    }
}

// The notes of one staff, each ended at the next onset when it is held at most `legato` steps (one
// step of the plain grid) into it,
// or when it is held longer into a note of its own line: the next onset is one note within
// LineStep of it that outlasts it, and no other note sounds into it. A copyist writes such an
// overlap as the line's legato, not as a second voice full of rests.
std::vector<ScoreNote> legatoTrimmed(const std::vector<ScoreNote> &notes, int staff, int64_t legato) {
    std::vector<ScoreNote> out;
    for (const ScoreNote &n : notes)
        if (n.staff == staff)
            out.push_back(n);
    size_t next = 0;
    int64_t endBefore = 0;  // the latest end of the notes before the current one, as trimmed
    for (size_t i = 0; i < out.size(); ++i) {
        ScoreNote &n = out[i];
        while (next < out.size() && out[next].start <= n.start)
            ++next;
        if (next < out.size() && n.end > out[next].start) {
            const ScoreNote &to = out[next];
            bool alone = endBefore <= to.start && (next + 1 == out.size() || out[next + 1].start > to.start);
            for (size_t j = i + 1; j < next && alone; ++j)
                alone = out[j].end <= to.start;
            bool line = alone && n.end < to.end && std::abs(to.key - n.key) <= LineStep;
            if (n.end - to.start <= legato || line)
                n.end = to.start;
        }
        endBefore = std::max(endBefore, n.end);
    }
    return out;
}

// The last chord one hand played: its lowest and highest key and the step where it falls silent.
struct HandChord {
    int low = 0, high = 0;
    int64_t end = 0;
    int reachLow = 0, reachHigh = 0;  // the keys this chord and the one before it span
    int held = -1;                    // a key of it held on past its next strike, -1: none
    int64_t heldTo = 0;               // where that key is let go
    bool operator==(const HandChord &) const = default;
};

// One way of giving the onsets so far to the hands: hand[0] the right, hand[1] the left.
struct HandPath {
    double cost = 0;
    HandChord hand[2];
    size_t parent = 0;  // the path it continues, in the previous onset's beam
    int cut = 0;        // the keys below the cut go to the left hand; -1: split by placeHands
    int single = -1;    // the hand that struck the last onset when it was one note, else -1
    int64_t singleEnd = 0;  // where that note ends
    int singleKey = 0;      // and its key
};

// The most notes sounding at once.
size_t mostAtOnce(const std::vector<ScoreNote> &notes) {
    std::vector<std::pair<int64_t, int>> changes;  // (step, +1 strike / -1 release), releases first
    for (const ScoreNote &n : notes) {
        changes.push_back({n.start, 1});
        changes.push_back({n.end, -1});
    }
    std::sort(changes.begin(), changes.end());
    size_t most = 0;
    int64_t sounding = 0;
    for (const auto &[step, change] : changes) {
        sounding += change;
        most = std::max(most, static_cast<size_t>(sounding));
    }
    return most;
}

// True when no two notes sound at once, but for a legato overlap of at most `legato` steps (notes in
// onset order).
bool singleLine(const std::vector<ScoreNote> &notes, int64_t legato) {
    int64_t end = 0;
    for (size_t i = 0; i < notes.size(); ++i) {
        if (i > 0 && notes[i].start < end - legato)
            return false;
        end = std::max(end, notes[i].end);
    }
    return true;
}

// The weights were chosen on the solo piano pieces of the development half of the corpus, whose
// references keep the melody in the right hand and bass and accompaniment in the left.
constexpr size_t HandBeam = 24;      // paths kept from one onset to the next
constexpr double ReachCost = 1.0;    // per semitone a chord reaches past its hand's last two chords
constexpr double StepCost = 0.25;    // per semitone a chord's edges move from its hand's last chord
constexpr double LedgerCost = 3.0;   // per semitone beyond the hand's own staff
constexpr double CrossCost = 2.0;    // per semitone a hand reaches past the other's sounding chord
constexpr double StretchCost = 0.5;  // per semitone a hand's chord is wider than an octave
constexpr int TrebleFloor = 64;      // E4, the treble staff's bottom line: the right hand's floor
// A hand taking over a figure (one note struck where the note before it, alone, in the other hand
// and within one hand's reach of it, ends) pays more than the left hand reaching a broken chord's
// top note a fourth above E4 (about 31: 12 for the reach, 15 for the ledger lines and 4 for the
// step): a prelude's figure from E3 to A4 stays in the left hand under the
// right hand's held note, as its reference writes it. Chosen on the development half (20, 40, 60,
// 100 tried on the reference files and the transcriptions: 20 left figures split, 60 and 100 lost
// hands on the transcriptions).
constexpr double FigureCost = 40.0;
// A hand striking alone a key its last chord still holds (held on past that strike by more than a
// legato step) pays as much: the other hand holds the key, or strikes it. Onsets of several keys
// pay nothing, as a band's reduction doubles keys in chords (charging them too lost printed rests
// on the development half's band pieces, 419 -> 458).
constexpr double HeldKeyCost = FigureCost;
constexpr HandChord RightHome = {72, 72, 0, 72, 72}, LeftHome = {48, 48, 0, 48, 48};

// The cost of hand h (0 right, 1 left) playing the keys low..high at step start after `path`.
double handCost(const HandPath &path, int h, int low, int high, int64_t start) {
    const HandChord &last = path.hand[h], &other = path.hand[1 - h];
    double cost = ReachCost * (std::max(0, last.reachLow - low) + std::max(0, high - last.reachHigh));
    cost += StepCost * (std::abs(low - last.low) + std::abs(high - last.high)) / 2.0;
    cost += LedgerCost * (h == 0 ? std::max(0, TrebleFloor - low) : std::max(0, high - BassHighest));
    cost += StretchCost * std::max(0, high - low - HandSpan);
    if (other.end > start)
        cost += CrossCost * (h == 0 ? std::max(0, other.high - low) : std::max(0, high - other.low));
    return cost;
}

// True when a note sounds on past its key's next strike by more than a legato step: one hand holds
// it while the other strikes it again.
bool heldOver(const ScoreNote &n, int64_t legato) { return n.released > n.end + legato; }

// True when the onset's top key (keys rising, more than one) continues the right hand's tune, with a
// bass an octave or more below it: it lies a line's step (a fifth) from the right hand's note that
// ends where this onset starts, and either that note was struck alone, last, and the top key lies
// nearer it than the left hand's last chord (a tune walking down to D4 over a left-hand note stays
// in the right hand, below its E4 floor), or the top key is held over its next strike (a tune's note
// the left hand's figure strikes again while it sounds is the tune's, however near the figure).
bool continuesTune(const HandPath &path, const std::vector<ScoreNote *> &group, int64_t legato) {
    size_t n = group.size();
    if (n < 2)
        return false;
    int64_t start = group[0]->start;
    const ScoreNote &top = *group[n - 1];
    const HandChord &right = path.hand[0], &left = path.hand[1];
    bool lone = path.single == 0 && path.singleEnd >= start && path.singleEnd <= start + legato;
    bool rightEnds = right.low == right.high && right.end >= start && right.end <= start + legato;
    int step = std::abs(top.key - (lone ? path.singleKey : right.low));
    int fromLeft = top.key < left.low ? left.low - top.key : top.key > left.high ? top.key - left.high : 0;
    return ((lone && step < fromLeft) || (rightEnds && heldOver(top, legato))) && step <= LineStep &&
           group[n - 2]->key <= top.key - HandSpan;
}

// Extends `path` by one onset's keys (rising) cut at `cut`; false when a hand's part is wider
// than bass and accompaniment together.
bool extendPath(const HandPath &path, const std::vector<ScoreNote *> &group, int cut, int64_t legato,
                HandPath &next) {
    next = path;
    int n = static_cast<int>(group.size());
    for (int h = 0; h < 2; ++h) {
        int from = h == 0 ? cut : 0, to = h == 0 ? n : cut;
        if (from == to)
            continue;
        int low = group[from]->key, high = group[to - 1]->key;
        if (high - low > HandSpan + StretchMost)
            return false;
        int64_t end = 0, start = group[0]->start;
        HandChord chord = {low, high, 0, std::min(low, path.hand[h].low), std::max(high, path.hand[h].high)};
        for (int i = from; i < to; ++i) {
            const ScoreNote &note = *group[i];
            end = std::max(end, note.end);
            if (n == 1 && note.key == path.hand[h].held && start < path.hand[h].heldTo)
                next.cost += HeldKeyCost;
            if (heldOver(note, legato)) {
                chord.held = note.key;
                chord.heldTo = note.released;
            }
        }
        chord.end = end;
        next.cost += handCost(path, h, low, high, start);
        next.hand[h] = chord;
    }
    next.cut = cut;
    if (cut == n && continuesTune(path, group, legato))  // the tune's note given to the left hand
        next.cost += FigureCost;
    next.single = -1;
    if (n == 1) {  // one note: a figure's next note stays in the hand that struck the note it follows
        int h = cut == 0 ? 0 : 1;
        int64_t start = group[0]->start;
        if (path.single >= 0 && path.single != h && path.singleEnd >= start && path.singleEnd <= start + legato &&
            std::abs(group[0]->key - path.singleKey) <= HandSpan + StretchMost)
            next.cost += FigureCost;
        next.single = h;
        next.singleEnd = group[0]->end;
        next.singleKey = group[0]->key;
    }
    return true;
}

// Extends `path` by an onset no two hands can reach: split at its widest gaps by placeHands.
HandPath splitPath(const HandPath &path, std::vector<ScoreNote *> &group) {
    placeHands(group, 0, group.size());
    HandPath next = path;
    next.cut = -1;
    for (int h = 0; h < 2; ++h) {
        bool any = false;
        for (const ScoreNote *n : group)
            if (n->staff == h + 1) {
                HandChord &c = next.hand[h];
                if (!any)
                    c = {n->key, n->key, 0, std::min(n->key, c.low), std::max(n->key, c.high)};
                c.low = std::min(c.low, n->key), c.high = std::max(c.high, n->key);
                c.reachLow = std::min(c.reachLow, n->key), c.reachHigh = std::max(c.reachHigh, n->key);
                c.end = std::max(c.end, n->end);
                any = true;
            }
    }
    return next;
}

// For each onset (keys rising), the cut between the hands that follows both hands' lines best:
// a beam search over the onsets, each hand's cost measured from its own last chord.
std::vector<int> handCuts(std::vector<std::vector<ScoreNote *>> &groups, int64_t legato) {
    std::vector<std::vector<HandPath>> beams;
    HandPath start;
    start.hand[0] = RightHome, start.hand[1] = LeftHome;
    std::vector<HandPath> beam = {start};
    for (auto &group : groups) {
        std::vector<HandPath> next;
        for (size_t p = 0; p < beam.size(); ++p) {
            for (int cut = 0; cut <= static_cast<int>(group.size()); ++cut) {
                HandPath extended;
                if (extendPath(beam[p], group, cut, legato, extended)) {
                    extended.parent = p;
                    next.push_back(extended);
                }
            }
        }
        if (next.empty())
            for (size_t p = 0; p < beam.size(); ++p) {
                next.push_back(splitPath(beam[p], group));
                next.back().parent = p;
            }
        std::stable_sort(next.begin(), next.end(), [](const HandPath &a, const HandPath &b) { return a.cost < b.cost; });
        std::vector<HandPath> kept;
        for (const HandPath &path : next) {
            bool same = false;
            for (const HandPath &k : kept)
                same = same || (k.hand[0] == path.hand[0] && k.hand[1] == path.hand[1]);
            if (!same && kept.size() < HandBeam)
                kept.push_back(path);
        }
        beams.push_back(kept);
        beam = kept;
    }
    std::vector<int> cuts(groups.size());
    size_t at = 0;
    for (size_t g = groups.size(); g-- > 0;) {
        cuts[g] = beams[g][at].cut;
        at = beams[g][at].parent;
    }
    return cuts;
}

}  // namespace

int chooseStaves(const std::vector<ScoreNote> &notes, int program, char &singleClef, int &clefOctave,
                 int64_t legato) {
    singleClef = 'G';
    clefOctave = 0;
    // The guitar family reads from one treble staff an octave above its sound: one player's bass,
    // accompaniment and melody in two voices, not a piano's two hands. More notes at once than its
    // strings are an ensemble's reduction led by a guitar: a pianist's two staves.
    if (program >= FirstGuitar && program <= LastGuitar && mostAtOnce(notes) <= GuitarStrings) {
        clefOctave = -1;
        return 1;
    }
    int low = 127, high = 0;
    for (const ScoreNote &n : notes) {
        low = std::min(low, n.key);
        high = std::max(high, n.key);
    }
    // The piano family reads from two staves, but for a tune played alone in the treble: a second
    // staff would hold rests, and the hands' lines would send its lowest notes there.
    if (program >= 0 && program <= 7)
        return notes.empty() || low < TrebleLowest || !singleLine(notes, legato) ? 2 : 1;
    if (notes.empty())
        return 1;
    if (low >= TrebleLowest)
        return 1;
    if (high <= BassHighest) {
        singleClef = 'F';
        return 1;
    }
    return 2;
}

void splitStaves(std::vector<ScoreNote> &notes, int64_t legato) {
    std::vector<std::vector<ScoreNote *>> groups;
    for (size_t i = 0; i < notes.size();) {
        std::vector<ScoreNote *> group;
        size_t j = i;
        for (; j < notes.size() && notes[j].start == notes[i].start; ++j)
            group.push_back(&notes[j]);
        std::sort(group.begin(), group.end(), [](const ScoreNote *a, const ScoreNote *b) { return a->key < b->key; });
        groups.push_back(std::move(group));
        i = j;
    }
    std::vector<int> cuts = handCuts(groups, legato);
    for (size_t g = 0; g < groups.size(); ++g) {
        if (cuts[g] < 0) {
            placeHands(groups[g], 0, groups[g].size());
            continue;
        }
        for (size_t i = 0; i < groups[g].size(); ++i)
            groups[g][i]->staff = static_cast<int>(i) < cuts[g] ? 2 : 1;
    }
}

void holdAcrossStaves(std::vector<ScoreNote> &notes) {
    auto startsBefore = [](const ScoreNote &n, int64_t at) { return n.start < at; };
    for (ScoreNote &n : notes) {
        if (n.released <= n.end)
            continue;
        // The strike that ended it (its key's next, at its end) stands on the other staff, and its
        // own staff strikes nothing from there to its release (a strike of its key there included).
        bool otherHand = false, alone = true;
        for (auto o = std::lower_bound(notes.begin(), notes.end(), n.end, startsBefore);
             o != notes.end() && o->start < n.released && alone; ++o) {
            otherHand = otherHand || (o->start == n.end && o->key == n.key && o->staff != n.staff);
            alone = o->staff != n.staff;
        }
        if (otherHand && alone)
            n.end = n.released;
    }
}

std::vector<std::vector<VoiceChord>> assignVoices(const std::vector<ScoreNote> &notes, int staff, int64_t legato) {
    std::map<int, std::vector<int64_t>> onsets;  // each key's strikes on both staves, in order
    for (const ScoreNote &n : notes)
        onsets[n.key].push_back(n.start);
    for (auto &[key, starts] : onsets)
        std::sort(starts.begin(), starts.end());
    std::vector<std::vector<VoiceChord>> voices(2);
    for (const ScoreNote &n : legatoTrimmed(notes, staff, legato)) {
        const std::vector<int64_t> &starts = onsets[n.key];
        auto next = std::upper_bound(starts.begin(), starts.end(), n.start);
        placeInVoice(voices, n, next == starts.end() ? INT64_MAX : *next);
    }
    fillLineGaps(voices);
    double mean[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        size_t count = 0;
        for (VoiceChord &c : voices[i]) {
            std::sort(c.keys.begin(), c.keys.end(), std::greater<int>());
            for (int key : c.keys)
                mean[i] += key, ++count;
        }
        mean[i] /= std::max<size_t>(count, 1);
    }
    if (!voices[1].empty() && mean[1] > mean[0])
        std::swap(voices[0], voices[1]);  // the upper line is the first voice (stems up)
    return voices;
}
