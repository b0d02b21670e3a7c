// What the beat tracker hands the metre: the beats of one region of a recording
// and the features along them (onset strength, chroma and bass onsets). Beat
// tracking (beats/) fills it; the metre (this folder) judges the bar from it.
#pragma once

#include <vector>

#include "app/starter/metre/spectrum.h"

// Everything the beat tracker found in one region of a recording.
struct BeatTrack {
    std::vector<double> beats;  // seconds from the start of the file, rising
    std::vector<double> periods;  // the tracker's beat period at each beat, in seconds (0: none yet)
    std::vector<double> secondBeats;  // libaubio's own tempo tracker on the same samples, when asked
    std::vector<float> onsetStrength;  // the onset detection function, one value per hop
    std::vector<float> pulseStrength;  // the pulse's own, when it reads another one; empty: onsetStrength
    std::vector<float> periodStrength;  // the tempo curve's own for its periods alone; empty: the pulse's
    double clarityScale = 1;   // the pulse's clarity floors are this share of those set on the
                               // high-frequency content (another strength correlates less)
    SpectralTrack spectrum;     // chroma and bass onsets, one per onset strength
    double hopSeconds = 0;      // time between two onset strengths
    double regionStart = 0;     // the region tracked, in seconds of the file
    double regionEnd = 0;
    double firstSound = -1;     // first moment above the noise floor, -1 for silence
    double peak = 0;            // largest sample magnitude, 0..1
};

/** The onset strength the pulse is followed on: the pulse's own where it has one, else the
 *  track's onset strength. */
inline const std::vector<float> &pulseStrengthOf(const BeatTrack &track) {
    return track.pulseStrength.empty() ? track.onsetStrength : track.pulseStrength;
}
