// Staves and voices: which notes go on the treble and the bass staff, and
// how each staff's notes are laid into at most two voices.
#include "app/starter/score/score.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int MiddleC = 60;
constexpr int HandSpan = 12;       // the widest chord one hand plays, in semitones
constexpr int TrebleLowest = 55;   // G3: three ledger lines below the treble staff
constexpr int BassHighest = 64;    // E4: three ledger lines above the bass staff
constexpr int64_t LegatoSteps = 1; // a note held this far into the next onset is ended there

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

// Adds a note to one of two voices (see assignVoices).
void placeInVoice(std::vector<std::vector<VoiceChord>> &voices, const ScoreNote &n) {
    for (auto &v : voices)
        if (!v.empty() && v.back().start == n.start && v.back().end == n.end) {
            v.back().keys.push_back(n.key);
            return;
        }
    for (auto &v : voices)
        if (v.empty() || v.back().end <= n.start) {
            v.push_back({n.start, n.end, {n.key}});
            return;
        }
    for (auto &v : voices)
        if (v.back().start == n.start) {
            v.back().keys.push_back(n.key);  // the note takes the chord's length
            return;
        }
    auto &v = voices[0].back().end <= voices[1].back().end ? voices[0] : voices[1];
    v.back().end = n.start;  // a third line: the voice that ends first is cut short
    v.push_back({n.start, n.end, {n.key}});
}

// The notes of one staff, each ended at the next onset when it is held at most LegatoSteps into it.
std::vector<ScoreNote> legatoTrimmed(const std::vector<ScoreNote> &notes, int staff) {
    std::vector<ScoreNote> out;
    for (const ScoreNote &n : notes)
        if (n.staff == staff)
            out.push_back(n);
    size_t next = 0;
    for (ScoreNote &n : out) {
        while (next < out.size() && out[next].start <= n.start)
            ++next;
        if (next < out.size() && n.end > out[next].start && n.end - out[next].start <= LegatoSteps)
            n.end = out[next].start;
    }
    return out;
}

}  // namespace

int chooseStaves(const std::vector<ScoreNote> &notes, int program, char &singleClef) {
    singleClef = 'G';
    if (program >= 0 && program <= 7)
        return 2;  // the piano family reads from two staves
    if (notes.empty())
        return 1;
    int low = 127, high = 0;
    for (const ScoreNote &n : notes) {
        low = std::min(low, n.key);
        high = std::max(high, n.key);
    }
    if (low >= TrebleLowest)
        return 1;
    if (high <= BassHighest) {
        singleClef = 'F';
        return 1;
    }
    return 2;
}

void splitStaves(std::vector<ScoreNote> &notes) {
    size_t i = 0;
    while (i < notes.size()) {
        size_t j = i;
        std::vector<ScoreNote *> group;
        for (; j < notes.size() && notes[j].start == notes[i].start; ++j)
            group.push_back(&notes[j]);
        std::sort(group.begin(), group.end(), [](const ScoreNote *a, const ScoreNote *b) { return a->key < b->key; });
        placeHands(group, 0, group.size());
        i = j;
    }
}

std::vector<std::vector<VoiceChord>> assignVoices(const std::vector<ScoreNote> &notes, int staff) {
    std::vector<std::vector<VoiceChord>> voices(2);
    for (const ScoreNote &n : legatoTrimmed(notes, staff))
        placeInVoice(voices, n);
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
