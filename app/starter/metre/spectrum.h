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

struct FftCloser {
    void operator()(aubio_fft_t *f) const { del_aubio_fft(f); }
};
struct CvecCloser {
    void operator()(cvec_t *c) const { del_cvec(c); }
};
struct FvecCloser {
    void operator()(fvec_t *v) const { del_fvec(v); }
};

// What turns hops of samples into spectral features: the latest window of samples, taken
// through libaubio's FFT every few hops.
struct SpectrumFollower {
    std::unique_ptr<aubio_fft_t, FftCloser> fft;
    std::unique_ptr<cvec_t, CvecCloser> spectrum;
    std::unique_ptr<fvec_t, FvecCloser> window, shape, shaped;  // the samples, the Hann window, their product
    std::vector<int> pitchClass;      // per bin: 0..11, -1 outside the chroma's range
    std::vector<int> bassBins;        // bins of the bass band
    std::vector<float> lastBass;      // their log magnitudes at the previous spectrum
    unsigned hop = 0;
    unsigned hopsSeen = 0;
};

/** Sets up the follower for hops of `hop` samples at `rate`; false when libaubio cannot. */
bool startSpectrum(SpectrumFollower &follower, unsigned hop, int rate);
/** Adds the features of one hop of mono samples to the track. */
void addSpectrumHop(SpectrumFollower &follower, const fvec_t *samples, SpectralTrack &track);
