// The metre of a recording. This folder owns what the tracked beats become:
// the written beat, the time signature, the first downbeat, and the beats
// the engine follows, judged from accents, chords and bass onsets.
#pragma once

#include <string>
#include <vector>

#include "app/starter/metre/choice.h"
#include "app/starter/metre/notes.h"

struct BeatTrack;

// The written beat of a pulse taken from its tempo alone: the slowest one; the range is an
// octave from it. Over the 192 development renderings the joint tracker's pulse folded into
// it has the written beat on 120 (65 and 75: 118 and 119; 60 and 80: 85 and 107), against 95 at
// its own level.
constexpr double FoldedSlowest = 70;

// A pulse and the beat, in grid units of its beats, that its tempo alone gives.
struct FoldedPulse {
    std::vector<double> beats;  // in seconds
    int beatUnits = 0;          // MetreUnitsPerBeat: the pulse itself; twice it: every other beat
};

// The metre found and the beats that follow from it.
struct Metre {
    int numerator = 4;            // TimeSignatureNumerator
    int denominatorPower = 2;     // TimeSignatureDenominator: 2 a quarter, 3 an eighth
    std::vector<double> beats;    // the written beats in seconds, the first one a downbeat
    std::vector<bool> downbeats;  // for each written beat: a bar starts there
    std::vector<double> gridBeats;  // the engine's beats: the written ones, in 6/8 split in three
    bool judged = false;          // false: too few beats to judge; 4/4 from the first beat
    bool weak = false;            // the evidence hardly prefers this metre to another
};

// How the beats of the joint tempo-and-phase tracker (beats/dbn.h) are used.
enum class FramePulseUse {
    Off,      // not tracked
    Instead,  // the chooser reads its beats in place of the tracked ones
    Besides,  // its readings whose beat no level of the tracked pulse has compete with theirs
    Folded,   // its beats read in place of the tracked ones, the level fixed by its tempo (foldPulse)
};

// What the metre is judged by besides the audio, and how the pulse under it is followed.
struct MetreInput {
    bool plain = false;                          // no judgement: the tracked beats in 4/4 from the first
    const std::vector<HeardNote> *notes = nullptr;  // the engine's notes along the tracked beats, if any
    bool pulsePeaks = false;                     // the pulse followed along peaks of its correlation only
    bool pulseProminence = false;                // ... along its correlation's prominence
    ReadingModel model;                          // how the bar pointer reads the evidence
    // Readings also along pulses of three quarters and four thirds of the tracked beat, each with
    // that pulse as the beat (simple time), for a tracker that took a pulse no level of which is
    // the written beat: the dotted eighth under a quarter beat, or three beats to four written.
    // A developer setting: it puts the written beat among the readings on 153 of the development
    // renderings against 135, but the chooser's judgements there gain only 12 of 576, so it is off.
    bool fourThirds = false;
    // The tempo of libaubio's own tracker on the same samples (beats per minute; 0: none): the
    // reading of the tracked pulse whose beat keeps to it wins unless the best one leads it
    // clearly. A developer setting: +14 right judgements of 576 on the development pieces
    // (beats +12, numerators -1, downbeats +3; 5 pieces better, 1 worse); with fourThirds +21
    // there but -17 of 594 on the held-out pieces (slow chorales read at twice the beat), so it
    // is off.
    double secondTempo = 0;
    // A bar of four beats whose first sound falls in its first half, not on its downbeat (a
    // pick-up of half the bar or more), is read from its other half: beats 1 and 3 look alike,
    // and a pick-up is most often shorter than half a bar. First downbeats 110 to 127 of the 192
    // development renderings (8 pieces better; a hymn's three-beat pick-up worse) and 137 to 145
    // of the 198 held-out ones (6 pieces better, a gavotte worse), so it is the default.
    bool shortPickup = true;
    // A second source of the pulse: a joint tempo-and-phase tracker over the onset strength. A
    // developer setting: its pulse has the written beat among its readings on 162 of the 192
    // development renderings against 135, but the chooser's judgements gain only 7 of 576
    // besides the tracked pulse's readings and lose 6 read instead of them, so it is off. Read
    // instead of them at the level its tempo gives (Folded), 46 more right judgements of 576 on
    // the development pieces but 17 fewer of 594 on the held-out ones, so that is off too.
    FramePulseUse framePulse = FramePulseUse::Off;
    std::vector<double> framePulseBeats{};  // its beats in seconds, filled by the tempo plan
    // A slow simple beat whose halves are accented and change chord as its beats do
    // (halvesAreBeats) is read as two beats: the bar read again along them. A developer setting:
    // 18 more right judgements of 576 on the development pieces (beats +15, first downbeats +3),
    // 1 more of 594 on the held-out ones (beats +6, first downbeats -5; slow written beats and an
    // oom-pah rag doubled), so it is off.
    bool splitSlowBeat = false;
    // The second tracker's tempo (beats per minute; 0: none) as one feature of each reading in
    // the dump, without the say secondTempo has in the choice.
    double agreeTempo = 0;
    // A developer's dump: every reading of the tracked pulse with its features and the beat, bar
    // and first downbeat it would write, one JSON line each, appended to this file ("": none).
    std::string dumpPath{};
};

/** The metre of a track along its tracked beats (two or more), the first at or before the
 *  first sound. Bounds fix the bar from the settings. The first written beat is the last
 *  downbeat at or before the first sound, so a pick-up keeps its place in the bar. */
Metre findMetre(const BeatTrack &track, const std::vector<double> &tracked, const MetreBounds &bounds,
                const MetreInput &input = {});
/** Beats `ratio` tracked beats apart along the tracked ones (two or more), from the first to
 *  the last, placed between them in proportion. */
std::vector<double> beatsAtRatio(const std::vector<double> &tracked, double ratio);
/** The pulse a pulse (two or more beats, in seconds) gives with its beat within
 *  FoldedSlowest .. 2 * FoldedSlowest beats a minute: made twice as fast (beats between
 *  beats) while slower, and the beat in grid units of its beats, two of them where faster. */
FoldedPulse foldPulse(const std::vector<double> &beats);
/** The beats of a reading along the grid (two or more beats): every beatUnits units from the
 *  first unit at its phase, to the last beat of the grid. */
std::vector<double> readingBeats(const std::vector<double> &grid, const MetreChoice &c);
/** The bounds a time signature in the settings puts on the metre (numerator 0: none). */
MetreBounds boundsOf(int numerator, int denominatorPower);
