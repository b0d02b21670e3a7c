// The refinement stage: engine notes and recording lined up, rules applied, file written.
#include "app/starter/refine/refine.h"

#include <algorithm>
#include <cmath>

#include "app/starter/audio/audio.h"
#include "app/starter/refine/rewrite.h"

namespace {

// Notes looked at when the dropped bars are chosen.
constexpr size_t AlignmentNotes = 200;
// The engine's files start with five events at tick 0 in 76 bytes: time signature, tempo, key
// signature, its text and the program change.
constexpr size_t EngineLeadingBytes = 76;
// An attack's time is the start of its short rise, which comes before the note's onset: one this
// close before the region's start or end is the attack of a note starting there (seconds).
constexpr double RiseBeforeOnset = 0.05;

// True when a file is laid out as the engine writes it.
bool engineLayout(const MidiContent &m) {
    const std::vector<uint8_t> &l = m.leadingEvents;
    return m.format == 0 && m.tracks == 1 && m.division > 0 && m.division <= 32767 &&
           l.size() == EngineLeadingBytes && l[0] == 0 && l[1] == 0xFF && l[2] == 0x58 && l[8] == 0 && l[9] == 0xFF &&
           l[10] == 0x51 && l[15] == 0 && l[16] == 0xFF && l[17] == 0x59 && l[21] == 0 && l[22] == 0xFF && l[23] == 0x01;
}

// How well the notes match the attacks of their keys: strengths weighted by closeness within a grid step.
double alignment(const MidiContent &engine, const AttackEvidence &e, const Timeline &t) {
    double score = 0;
    for (size_t i = 0; i < engine.notes.size() && i < AlignmentNotes; ++i) {
        const MidiNote &n = engine.notes[i];
        if (n.key < LowestPitch || n.key > HighestPitch)
            continue;
        double at = secondsAtTick(t, static_cast<double>(n.onTick)), g = stepLengthAt(t, at);
        double best = 0;
        const std::vector<Attack> &list = e.attacks[n.key - LowestPitch];
        auto it = std::lower_bound(list.begin(), list.end(), at - g,
                                   [](const Attack &a, double time) { return a.time < time; });
        for (; it != list.end() && it->time < at + g; ++it)
            best = std::max(best, it->strength * (1 - std::abs(it->time - at) / g));
        score += best;
    }
    return score;
}

// The transposition the engine applied (out of range: none).
int transposeOf(const Settings &s) {
    int v = s.Transpose;
    return v < -127 || v > 127 ? 0 : v;
}

}  // namespace

void keepRegionAttacks(AttackEvidence &e, double start, double end) {
    auto outside = [&](const Attack &a) {
        return a.time < start - RiseBeforeOnset || (end > 0 && a.time >= end - RiseBeforeOnset);
    };
    for (std::vector<Attack> &list : e.attacks)
        std::erase_if(list, outside);
}

std::vector<TimedNote> withinKeys(const std::vector<TimedNote> &notes, const RefineSession &s, RefineCounts &counts) {
    std::vector<TimedNote> kept;
    for (const TimedNote &n : notes)
        if (n.pitch >= s.lowestKey && n.pitch <= s.highestKey)
            kept.push_back(n);
    counts.added -= std::min<int>(counts.added, static_cast<int>(notes.size() - kept.size()));
    return kept;
}

int64_t bestDroppedSteps(const MidiContent &engine, const AttackEvidence &e, Timeline t) {
    if (engine.notes.empty() || t.stepsPerBar <= 0 || e.attacks.size() != PitchCount)
        return 0;
    double end = e.hops * e.hopSeconds;
    std::vector<double> scores;
    for (int64_t k = 0;; ++k) {
        t.droppedSteps = k * t.stepsPerBar;
        if (secondsAtTick(t, static_cast<double>(engine.notes.front().onTick)) > end || k > 100000)
            break;
        scores.push_back(alignment(engine, e, t));
    }
    return fewestDroppedBars(scores, t.stepsPerBar);
}

std::vector<TimedNote> timedNotes(const MidiContent &engine, const Timeline &t, int transpose) {
    std::vector<TimedNote> notes;
    int64_t lastTick = 0;
    for (const MidiNote &n : engine.notes)
        lastTick = std::max(lastTick, std::max(n.onTick, n.offTick));
    for (const MidiNote &n : engine.notes) {
        TimedNote x;
        x.key = n.key;
        x.pitch = n.key - transpose;
        x.velocity = n.velocity;
        x.channel = n.channel;
        x.on = secondsAtTick(t, static_cast<double>(n.onTick));
        x.off = secondsAtTick(t, static_cast<double>(n.offTick < 0 ? lastTick : n.offTick));
        notes.push_back(x);
    }
    return notes;
}

bool prepareRefinement(const RefineInput &input, RefineSession &s, const std::atomic<bool> *stop,
                       std::string &error) {
    if (!readMidiFile(input.engineMidiPath, s.engine, error))
        return false;
    if (!engineLayout(s.engine)) {
        error = "the engine's MIDI file is not laid out as the engine writes it";
        return false;
    }
    if (input.engine.PitchMode == 0) {
        error = "every note is written on one key";
        return false;
    }
    double referencePitch = referencePitchInRange(input.engine.ReferencePitch);
    // The rules ask about the keys of the engine's notes as heard (and the alignment about them as
    // written): a long recording keeps their values as it is swept. Proposing notes measures every
    // key again along the recording whatever the sweep kept, so then it keeps none: the room they
    // took would come on top of the proposals' probes, for a saving of a few per cent of the time.
    EvidenceRequest request;
    request.onlyKeys = input.notesKeysOnly;
    request.cellsBytes = input.notesKeysOnly ? KeptCellsBytes : 0;
    for (const MidiNote &n : s.engine.notes)
        request.keys.insert(request.keys.end(), {n.key - transposeOf(input.engine), n.key});
    if (!measureFile(input.wavePath, referencePitch, s.evidence, stop, error, request))
        return false;
    keepRegionAttacks(s.evidence, input.regionStart, input.regionEnd);
    // A key bound left unset (999) is the engine's or the filter record's: no bound here. The engine
    // takes KeyMin from 1, and KeyMax from KeyMin to 127.
    if (input.keysAsGiven && input.engine.KeyMin <= 127)
        s.lowestKey = std::max(input.engine.KeyMin, 1);
    if (input.keysAsGiven && input.engine.KeyMax <= 127)
        s.highestKey = std::max(input.engine.KeyMax, s.lowestKey);
    WaveHeader header = readWaveFileHeader(input.wavePath);
    if (!buildTimeline(input.engine, input.tempoMap, header, s.evidence.hops * s.evidence.hopSeconds, s.timeline,
                       error))
        return false;
    s.timeline.droppedSteps = bestDroppedSteps(s.engine, s.evidence, s.timeline);
    s.notes = timedNotes(s.engine, s.timeline, transposeOf(input.engine));
    // The engine starts on a bar line before --start; its notes that end before the start, or
    // within a grid step after it, are no part of the region asked for.
    if (input.regionStart > 0) {
        double tail = input.regionStart + stepLengthAt(s.timeline, input.regionStart);
        std::erase_if(s.notes, [&](const TimedNote &n) { return n.on < input.regionStart && n.off <= tail; });
    }
    s.written = writtenTime(s.timeline, input.regionStart);
    return true;
}

bool writeRefinement(const RefineSession &s, const RefineThresholds &th, bool quantize, const std::string &out,
                     RefineCounts &counts, std::string &error) {
    std::vector<TimedNote> notes = withinKeys(applyRules(s.notes, s.evidence, s.timeline, th, counts), s, counts);
    return writeBytes(out, refinedMidi(s.engine, notes, s.timeline, s.written, quantize), error);
}

bool writeRefinement(const RefineSession &s, const RefineThresholds &th, bool quantize, const std::string &out,
                     RefineCounts &counts, CandidateList &list, std::string &error) {
    std::vector<TimedNote> notes =
        withinKeys(applyRules(s.notes, s.evidence, s.timeline, th, counts, list), s, counts);
    return writeBytes(out, refinedMidi(s.engine, notes, s.timeline, s.written, quantize), error);
}
