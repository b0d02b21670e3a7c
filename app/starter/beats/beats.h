// Beats found in the audio. This folder owns beat tracking (libaubio), the
// pulse and the judgement whether it is steady, the tempo plan, and the
// tempo file the engine follows.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/beats/band_flux.h"
#include "app/starter/metre/beat_track.h"
#include "app/starter/metre/metre.h"
#include "app/starter/protocol/settings_file.h"
#include "input/input.h"

// The tempo-file value that ends the map: from there the constant tempo applies.
constexpr uint16_t TempoMapEnd = TempoFileEnd;
// Tempos the starter accepts from the tracker, in beats per minute.
constexpr double SlowestTrackedTempo = 30;
constexpr double FastestTrackedTempo = 300;
// Shortest region in which a beat is looked for, in seconds.
constexpr double ShortestBeatRegion = 4;

// Why no beat is followed: the kind, and the tempo found where that is the reason.
enum class NoBeatKind {
    None,          // a beat is followed
    TooShort,      // the region is shorter than ShortestBeatRegion
    Silent,        // the recording is silent
    TooFewBeats,   // the tracker found fewer than four beats
    NoClearPulse,  // no pulse stands out
    OutsideTempos, // the beat found lies outside SlowestTrackedTempo..FastestTrackedTempo
    NotWritable,   // the tempo found cannot be written into a MIDI file with the settings
};
struct NoBeat {
    NoBeatKind kind = NoBeatKind::None;
    double tempoFound = 0;  // beats per minute, for OutsideTempos and NotWritable
};

// What the starter does with the tempo of one recording.
struct TempoPlan {
    bool tracked = false;       // true: follow the beats; false: constant tempo
    double tempo = 120;         // beats per minute written as Tempo
    double startPoint = 0;      // seconds: the first beat when tracked, a downbeat
    double endPoint = 0;        // seconds: the end of the region tracked
    std::vector<double> beats;  // the written beats, in seconds of the file, when tracked
    std::vector<bool> downbeats;  // for each of them: a bar starts there
    double beatTempo = 0;       // median tempo of the written beats (in 6/8 a third of tempo)
    int numerator = 4;          // the time signature found, when tracked
    int denominatorPower = 2;
    bool metreJudged = false;   // the time signature was found in the recording
    bool metreWeak = false;     // ... on weak evidence
    bool metreGiven = false;    // the settings give the time signature
    bool pulseWeak = false;     // the pulse was found only at another metrical level, or is faint
    std::vector<uint16_t> map;  // tempo-file values when tracked (the engine's beats), ending in TempoMapEnd
    int beatCount = 0;          // beats found by the tracker; when tracked, the beats followed
    NoBeat fallback;            // why the tempo is constant (kind None when tracked)
};

// Why the beats of a file could not be tracked.
enum class BeatFailure {
    Unreadable,        // the audio cannot be read (libsndfile's words in cause): the file's fault
    RegionUnreachable, // the region asked for cannot be reached in it: the file's fault
    TrackerSetUp,      // the tracker or the onset strength could not be set up: a fault of this program
    SpectrumSetUp,     // the metre's spectrum could not be set up: a fault of this program
};

/** Tracks the beats of [start, end) of an audio file (end <= start: to its end); false with the
 *  failure's kind (when failure is given) and what the library said in cause ("" for nothing).
 *  With secondTracker, libaubio's own tempo tracker (its default detection function) runs on the
 *  same samples too and leaves its beats in BeatTrack::secondBeats. `use` says which onset
 *  strength the pulse and the metre read (BeatTrack::onsetStrength, pulseStrength, periodStrength)
 *  and the scale of the pulse's clarity floors (BeatTrack::clarityScale). */
bool trackBeats(const std::string &path, double start, double end, BeatTrack &track,
                const std::atomic<bool> *stop, std::string &cause, BeatFailure *failure = nullptr,
                bool secondTracker = false, OnsetStrength use = OnsetStrength::BandFluxOwnFloors);
/** Median tempo of tempo-file values in beats per minute; 0 when none is a beat. */
double medianMapTempo(const std::vector<uint16_t> &values);
/** How clear the pulse is on the strength it is read on: about 0.1 for noise and speech, 0.3 and
 *  more for music on the high-frequency content (BeatTrack::clarityScale times that on another). */
double pulseClarity(const BeatTrack &track);
/** Why the beats do not form a steady pulse; kind None when they do. */
NoBeat unsteadyReason(const BeatTrack &track);
/** The beats to follow: placed on the onsets along the tracker's period as it drifts, back to the first sound. */
std::vector<double> beatsToFollow(const BeatTrack &track);
/** Tempo-file values: each beat's duration in milliseconds from the first beat, then TempoMapEnd. */
std::vector<uint16_t> tempoMapValues(const std::vector<double> &beats);
/** True when the engine's MIDI time-base checks accept this tempo with these settings (as the
 *  engine reads them) for a converted WAV file. */
bool timeBaseAccepts(double tempo, const Settings &settings);
/** The tempo plan of a track under the settings as the engine reads them (metreGiven: their
 *  time signature was asked for and stays); constant tempo at fallbackTempo with a reason. The
 *  input may ask for the plain reading, or add the engine's notes along the same tracked beats. */
TempoPlan planTempo(const BeatTrack &track, const Settings &settings, bool metreGiven, double fallbackTempo,
                    const MetreInput &input = {});
/** Writes tempo-file values as 16-bit little-endian numbers; false when that fails. */
bool writeTempoMap(const std::string &path, const std::vector<uint16_t> &values);
/** Reads a tempo file's values up to its end marker or its end; false when it cannot be read. */
bool readTempoMap(const std::string &path, std::vector<uint16_t> &values);
