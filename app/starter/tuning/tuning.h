// The tuning of a recording: how far its notes lie from the keys of A = 440 Hz,
// read from the peaks of its spectra, and the reference pitch that the engine
// and the attack evidence then take for key 69. A piano tuned a little flat, a
// band at A = 442 or a tape running slow puts every partial between two keys'
// bands; with the reference moved to the recording's own A they fall in them
// again.
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "input/input.h"
// A recording within this many cents of A = 440 is taken as tuned to it: the estimate's own
// spread on recordings at 440 (SoundFont renderings: the middle 90 % within -3 and +5 cents),
// and a reference within a hertz of 440 changes next to nothing.
constexpr double TuningDeadZoneCents = 10;
// Windows of the recording read, at most, spread evenly over it: a long recording costs no more.
// Windows closer than their length share samples, and each frame is read once.
constexpr int TuningMostWindows = 3000;
// Seconds between windows, when the recording is short enough for every one.
constexpr double TuningWindowSpacing = 0.1;
// Spectral peaks counted lie between these frequencies (Hz): below, a hertz of error is many
// cents; above, a piano's partials are stretched sharp of their harmonics.
constexpr double TuningLowestPeak = 100;
constexpr double TuningHighestPeak = 2000;
// A peak counts when it stands within this many dB of the window's loudest in that range ...
constexpr double TuningPeakRange = 40;
// ... and the window's loudest stands above this level (dB of a full-scale sine).
constexpr double TuningQuietWindow = -70;
// The estimate is the weighted mean of the deviations within this many cents of their mode ...
constexpr int TuningModeWidth = 10;
// ... and holds when at least this share of the peaks' weight lies there (an even spread: 0.21).
constexpr double TuningLeastShare = 0.3;

// How far each peak lies from its nearest key, in whole cents from -50 (bin 0) to +49 (bin 99),
// weighted by how far it stands above the window's threshold.
using TuningHistogram = std::array<double, 100>;

// The tuning found in a recording.
struct TuningFound {
    bool measured = false;        // peaks were read and one deviation holds most of them
    double cents = 0;             // the deviation from A = 440 Hz, -50 to +50
    double share = 0;             // the share of the peaks' weight near it
    int referencePitch = StandardReferencePitch;  // the engine's reference that follows it
};

/** The samples in a window of the tuning's analysis at rate: a power of two near 0.17 s (8192 at
 *  44100 Hz). */
int tuningWindowSize(int rate);
/** Adds the peaks of one window's spectrum to h: magnitudes of bins from 0 on (up to two past
 *  TuningHighestPeak's bin, or fewer) of a Hann-windowed transform of size samples at rate, scaled
 *  so that a full-scale sine peaks at 1. Each local
 *  maximum within TuningPeakRange of the loudest between TuningLowestPeak and TuningHighestPeak
 *  counts at its interpolated frequency. */
void addTuningPeaks(const std::vector<float> &magnitudes, int size, int rate, TuningHistogram &h);
/** The deviation the peaks of h agree on, and the reference pitch for it (see referencePitchFor);
 *  measured false, and 440, when h holds nothing or no deviation holds TuningLeastShare of it. */
TuningFound tuningOfHistogram(const TuningHistogram &h, double deadZone = TuningDeadZoneCents);
/** The engine's reference pitch for a deviation in cents: 440 within deadZone of it, else the
 *  nearest whole hertz, no lower than 435 and no higher than 445 (what the engine takes). */
int referencePitchFor(double cents, double deadZone = TuningDeadZoneCents);
/** The tuning of mono samples at rate (every window, TuningWindowSpacing apart). */
TuningFound tuningOfSamples(const std::vector<float> &samples, int rate, double deadZone = TuningDeadZoneCents);
/** The tuning of the recording at path between start and end seconds (end 0 or not above start:
 *  its end), its channels mixed; false, with error, when it cannot be read. A stop request ends
 *  the reading: false, with error empty. */
bool measureTuning(const std::string &path, double start, double end, const std::atomic<bool> *stop,
                   TuningFound &found, std::string &error, double deadZone = TuningDeadZoneCents);
