// The metre of a recording: the beat a musician would write, the bar and its
// first downbeat. This folder owns that judgement; this file the spectral
// features it reads from the audio: a chroma (the energy of each pitch class)
// and the onsets of the bass, one value per analysis hop of the beat tracker.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include <aubio/aubio.h>

// Spectral features of a recording, one entry per hop of the onset strength.
struct SpectralTrack {
    std::vector<std::array<float, 12>> chroma;  // energy per pitch class, C = 0
    std::vector<float> bassFlux;                // rise of the log spectrum below 140 Hz
};

struct PvocCloser {
    void operator()(aubio_pvoc_t *p) const { del_aubio_pvoc(p); }
};
struct CvecCloser {
    void operator()(cvec_t *c) const { del_cvec(c); }
};

// The phase vocoder that turns hops of samples into spectral features.
struct SpectrumFollower {
    std::unique_ptr<aubio_pvoc_t, PvocCloser> pvoc;
    std::unique_ptr<cvec_t, CvecCloser> spectrum;
    std::vector<int> pitchClass;      // per bin: 0..11, -1 outside the chroma's range
    std::vector<int> bassBins;        // bins of the bass band
    std::vector<float> lastBass;      // their log magnitudes at the previous hop
};

/** Sets up the follower for hops of `hop` samples at `rate`; false when libaubio cannot. */
bool startSpectrum(SpectrumFollower &follower, unsigned hop, int rate);
/** Adds the features of one hop of mono samples to the track. */
void addSpectrumHop(SpectrumFollower &follower, const fvec_t *samples, SpectralTrack &track);
