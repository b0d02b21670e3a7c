// Note tracker: per-key note decisions on the step grid, polyphony limit,
// chord markers.
#include <climits>
#include <cstring>

#include "input/input.h"
#include "midi/midi.h"

// No note written yet: a run that fails before the tracker is reset reports 128 and -1.
TrackerState tracker{nullptr, 0, 0, 0, 1, "", 128, -1};

namespace {

int32_t addSaturating(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

}  // namespace

void resetTracker() {
    const Settings &s = settings;
    tracker.lastChordName[0] = '\0';
    tracker.stepCounter = tracker.deltaSteps = 1 - s.MinimumLength;
    tracker.stepPhase = derived.framesPerStep / 2;
    tracker.nothingYet = 1;
    tracker.lowestKeyWritten = 128;
    tracker.highestKeyWritten = -1;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        KeyState &key = tracker.keys[k];
        key.pendingOnValue = key.pendingOffValue = key.soundingValue = 0;
        key.previousStrength = key.held = 0;
        key.runLength = s.MinimumLength;
    }
}

namespace {

// A block's chord is marked at its row MinimumLength - 1 when it differs from the last one marked.
void writeChordMarker(int row, const char *chordName) {
    if (row != settings.MinimumLength - 1) return;
    if (std::strncmp(chordName, tracker.lastChordName, sizeof tracker.lastChordName) == 0) return;
    writeMarkerEvent(tracker.deltaSteps, chordName);
    std::memcpy(tracker.lastChordName, chordName, sizeof tracker.lastChordName);
    tracker.nothingYet = 0;
}

// Takes the key's strength s of this frame into its run of equal presence.
void updateKey(KeyState &key, int32_t s) {
    const int32_t p = key.previousStrength;
    if (s != 0 && p == 0) {
        key.runLength = 1;
        key.strengthSum = s;
    } else if (s == 0 && p != 0) {
        key.runLength = 1;
        key.strengthSum = p;
    } else {
        key.runLength = addSaturating(key.runLength, 1);
        if (s != 0) key.strengthSum = addSaturating(key.strengthSum, s);
    }
    key.previousStrength = s;
}

void decideNoteOff(KeyState &key, int32_t strength) {
    if (key.runLength < derived.framesPerStep || tracker.stepCounter == key.onStep || strength != 0 ||
        key.held != 1 || tracker.nothingYet != 0)
        return;
    key.held = 0;
    if (key.soundingValue == 0) {
        key.pendingOnValue = 0;
    } else if (key.pendingOnValue == 0) {
        key.pendingOffValue = key.strengthSum;
        key.soundingValue = 0;
    }
}

void decideNoteOn(KeyState &key, int32_t strength) {
    if (key.runLength != settings.MinimumLength || strength == 0 || key.held != 0) return;
    key.onStep = tracker.stepCounter;
    key.held = 1;
    tracker.nothingYet = 0;
    if (key.pendingOffValue == 0) key.pendingOnValue = key.strengthSum;
}

int countCandidates() {
    int count = 0;
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k)
        if (tracker.keys[k].soundingValue != 0 || tracker.keys[k].pendingOnValue != 0) ++count;
    return count;
}

// Lowest candidates first (resonator path).
void selectLowest(int wanted) {
    int selected = 0;
    for (int k = settings.KeyMin; k <= settings.KeyMax && selected < wanted; ++k) {
        KeyState &key = tracker.keys[k];
        if (key.soundingValue != 0) {
            key.soundingValue = -key.soundingValue;
            ++selected;
        } else if (key.pendingOnValue != 0) {
            key.pendingOnValue = -key.pendingOnValue;
            ++selected;
        }
    }
}

// Strongest candidates first, the higher key on equal values (filter path).
void selectStrongest(int wanted) {
    for (int n = 0; n < wanted; ++n) {
        int32_t best = 0;
        int found = -1;
        for (int k = settings.KeyMax; k >= settings.KeyMin; --k) {
            const KeyState &key = tracker.keys[k];
            if (key.soundingValue > best) {
                best = key.soundingValue;
                found = k;
            } else if (key.pendingOnValue > best) {
                best = key.pendingOnValue;
                found = k;
            }
        }
        if (found < 0) return;
        tracker.keys[found].soundingValue = -tracker.keys[found].soundingValue;
        tracker.keys[found].pendingOnValue = -tracker.keys[found].pendingOnValue;
    }
}

void selectCandidates() {
    const Settings &s = settings;
    if (countCandidates() <= s.PitchMode) {
        for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
            tracker.keys[k].soundingValue = -tracker.keys[k].soundingValue;
            tracker.keys[k].pendingOnValue = -tracker.keys[k].pendingOnValue;
        }
        return;
    }
    int wanted = s.PitchMode == 0 ? 1 : s.PitchMode;
    if (s.Filter == -1)
        selectLowest(wanted);
    else
        selectStrongest(wanted);
}

void emitKey(int k) {
    KeyState &key = tracker.keys[k];
    if (key.pendingOffValue != 0) {
        writeNoteEvent(tracker.deltaSteps, 0x80, k, key.pendingOffValue);
        key.pendingOffValue = 0;
    } else if (key.soundingValue > 0) {
        writeNoteEvent(tracker.deltaSteps, 0x80, k, key.soundingValue);
        key.pendingOnValue = key.soundingValue;
        key.soundingValue = 0;
    } else if (key.soundingValue < 0) {
        key.soundingValue = -key.soundingValue;
    } else if (key.pendingOnValue < 0) {
        writeNoteEvent(tracker.deltaSteps, 0x90, k, -key.pendingOnValue / settings.MinimumLength);
        key.soundingValue = -key.pendingOnValue;
        key.pendingOnValue = 0;
        if (k < tracker.lowestKeyWritten) tracker.lowestKeyWritten = k;
        if (k > tracker.highestKeyWritten) tracker.highestKeyWritten = k;
    }
}

}  // namespace

void trackNotes(const int32_t *strengths, int row, const char *chordName) {
    const Settings &s = settings;
    writeChordMarker(row, chordName);
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        updateKey(tracker.keys[k], strengths[k]);
        decideNoteOff(tracker.keys[k], strengths[k]);
    }
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) decideNoteOn(tracker.keys[k], strengths[k]);
    if (tracker.deltaSteps >= 0) {
        if (s.CropSilence == 1 && tracker.nothingYet == 1) return;
        tracker.stepPhase += 1;
        if (tracker.stepPhase % derived.framesPerStep != 0) return;
        selectCandidates();
        for (int k = s.KeyMin; k <= s.KeyMax; ++k) emitKey(k);
    }
    tracker.deltaSteps += 1;
    tracker.stepCounter += 1;
}
