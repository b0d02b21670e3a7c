// The metre of a recording: the beat a musician would write, the bar and its
// first downbeat. This folder owns that judgement; this file the spectral
// features it reads from the audio: a chroma (the energy of each pitch class)
// and the onsets of the bass, one value per analysis hop of the beat tracker.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include <aubio/aubio.h>

// A spectrum is taken every this many hops; the chroma keeps one entry per spectrum.
constexpr unsigned SpectrumChromaEvery = 2;

// Spectral features of a recording, one entry per hop of the onset strength (the chroma one
// per chromaEvery hops).
struct SpectralTrack {
    std::vector<std::array<float, 12>> chroma;  // energy per pitch class, C = 0
    std::vector<float> bassFlux;                // rise of the log spectrum below 140 Hz
    unsigned chromaEvery = 1;                   // hops per chroma entry
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
};

/** Sets up the follower for hops of `hop` samples at `rate`; false when libaubio cannot. */
bool startSpectrum(SpectrumFollower &follower, unsigned hop, int rate);
/** Hops the chroma of a track covers. */
size_t chromaHops(const SpectralTrack &track);
/** The chroma of a track at a hop below chromaHops. */
const std::array<float, 12> &chromaAt(const SpectralTrack &track, size_t hop);
/** Adds the features of one hop of mono samples to the track (chromaEvery SpectrumChromaEvery). */
void addSpectrumHop(SpectrumFollower &follower, const fvec_t *samples, SpectralTrack &track);
