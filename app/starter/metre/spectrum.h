// The metre of a recording: the beat a musician would write, the bar and its
// first downbeat. This folder owns that judgement; this file the spectra the
// beat tracker and the metre read from the audio, hop by hop: magnitude
// spectra from FFTW (no phase is computed), and from them the metre's
// features, a chroma (the energy of each pitch class) and the onsets of the
// bass, one value per analysis hop of the beat tracker.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include <aubio/aubio.h>
#include <fftw3.h>

#include "app/starter/audio/fft_plans.h"

// A spectrum is taken every this many hops; the chroma keeps one entry per spectrum.
constexpr unsigned SpectrumChromaEvery = 2;

// Spectral features of a recording, one entry per hop of the onset strength (the chroma one
// per chromaEvery hops).
struct SpectralTrack {
    std::vector<std::array<float, 12>> chroma;  // energy per pitch class, C = 0
    std::vector<float> bassFlux;                // rise of the log spectrum below 140 Hz
    unsigned chromaEvery = 1;                   // hops per chroma entry
};

struct CvecCloser {
    void operator()(cvec_t *c) const { del_cvec(c); }
};
struct FvecCloser {
    void operator()(fvec_t *v) const { del_fvec(v); }
};

// The latest window of samples and its magnitude spectrum, taken with one FFTW transform.
// The samples are framed and windowed as libaubio frames them (its Hann window "hanningz", with
// `centred` its phase vocoder's half-window rotation) and their magnitudes taken as libaubio takes
// them, from FFTW's real-to-complex transform: a quarter of the cost of the half-complex one
// libaubio uses (FFTW has vector code for the one, not for the other), equal to its magnitudes
// within a few units in the last place. The phase is never computed.
struct MagnitudeFollower {
    fftwf_plan plan = nullptr;                  // FFTW's plan for the window's length
    std::unique_ptr<float, FftwFree> input;     // the windowed samples
    std::unique_ptr<fftwf_complex, FftwFree> output;  // their transform, bins 0..size/2
    std::unique_ptr<fvec_t, FvecCloser> samples, shape;  // the latest samples; the Hann window
    std::unique_ptr<cvec_t, CvecCloser> spectrum;        // norm: the magnitudes (phas is unused)
    bool centred = false;
};

// What turns hops of samples into the metre's features: a long window (eight hops) taken
// every SpectrumChromaEvery hops, fine enough for the bass.
struct SpectrumFollower {
    MagnitudeFollower window;
    std::vector<int> pitchClass;      // per bin: 0..11, -1 outside the chroma's range
    std::vector<int> bassBins;        // bins of the bass band
    std::vector<float> lastBass;      // their log magnitudes at the previous spectrum
    unsigned bins = 0;                // bins the features read: those below this
    unsigned hop = 0;
};

/** Sets up a follower of `size` samples (even) at zero; false when it cannot be allocated. */
bool startMagnitudes(MagnitudeFollower &follower, unsigned size, bool centred);
/** Slides the window by `count` samples (at most its length) and appends them. */
void pushSamples(MagnitudeFollower &follower, const smpl_t *samples, unsigned count);
/** The window's samples times the Hann window into out (size floats), rotated by half a window
 *  when centred: what libaubio's FFT and phase vocoder transform. */
void windowSamples(const MagnitudeFollower &follower, float *out);
/** Magnitudes of bins [0, bins) of the window into follower.spectrum->norm, as aubio_fft_do takes
 *  them from its transform. */
void takeMagnitudes(MagnitudeFollower &follower, unsigned bins);
/** Sets up the follower for hops of `hop` samples at `rate`; false when it cannot. */
bool startSpectrum(SpectrumFollower &follower, unsigned hop, int rate);
/** Hops the chroma of a track covers. */
size_t chromaHops(const SpectralTrack &track);
/** The chroma of a track at a hop below chromaHops. */
const std::array<float, 12> &chromaAt(const SpectralTrack &track, size_t hop);
/** Adds the features of one hop of mono samples to the track (chromaEvery SpectrumChromaEvery). */
void addSpectrumHop(SpectrumFollower &follower, const fvec_t *samples, SpectralTrack &track);
