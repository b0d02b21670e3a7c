// Chroma and bass onsets from libaubio's FFT.
#include "app/starter/metre/spectrum.h"

#include <algorithm>
#include <cmath>

namespace {

// The chroma covers about A1 to B6; the bass band lies below 140 Hz (D3).
constexpr double LowestChromaHz = 52;
constexpr double HighestChromaHz = 2000;
constexpr double LowestBassHz = 30;
constexpr double HighestBassHz = 140;
// The analysis window spans this many hops, about 93 ms at 44100 Hz: fine enough for the bass.
constexpr unsigned WindowHops = 8;

}  // namespace

bool startSpectrum(SpectrumFollower &f, unsigned hop, int rate) {
    unsigned window = hop * WindowHops;
    char hann[] = "hanningz";
    f.fft.reset(new_aubio_fft(window));
    f.spectrum.reset(new_cvec(window));
    f.window.reset(new_fvec(window));
    f.shape.reset(new_aubio_window(hann, window));
    f.shaped.reset(new_fvec(window));
    if (!f.fft || !f.spectrum || !f.window || !f.shape || !f.shaped || rate <= 0)
        return false;
    f.hop = hop;
    f.pitchClass.assign(f.spectrum->length, -1);
    f.bassBins.clear();
    for (unsigned bin = 1; bin < f.spectrum->length; ++bin) {
        double hz = static_cast<double>(bin) * rate / window;
        if (hz >= LowestChromaHz && hz <= HighestChromaHz) {
            long semitone = std::lround(12 * std::log2(hz / 440.0)) + 9;
            f.pitchClass[bin] = static_cast<int>(((semitone % 12) + 12) % 12);
        }
        if (hz >= LowestBassHz && hz <= HighestBassHz)
            f.bassBins.push_back(static_cast<int>(bin));
    }
    f.lastBass.assign(f.bassBins.size(), 0.0f);
    return true;
}

size_t chromaHops(const SpectralTrack &track) {
    if (track.chromaEvery <= 1)
        return track.chroma.size();
    return std::min(track.bassFlux.size(), track.chroma.size() * track.chromaEvery);
}

const std::array<float, 12> &chromaAt(const SpectralTrack &track, size_t hop) {
    return track.chroma[hop / std::max(1u, track.chromaEvery)];
}

void addSpectrumHop(SpectrumFollower &f, const fvec_t *samples, SpectralTrack &track) {
    // Between two spectra a hop repeats the bass onsets of the one before.
    track.chromaEvery = SpectrumChromaEvery;
    bool fresh = track.bassFlux.size() % SpectrumChromaEvery == 0;
    if (!f.fft || samples->length != f.hop) {
        if (fresh)
            track.chroma.push_back({});
        track.bassFlux.push_back(0);
        return;
    }
    smpl_t *w = f.window->data;
    std::copy(w + f.hop, w + f.window->length, w);
    std::copy(samples->data, samples->data + f.hop, w + f.window->length - f.hop);
    if (!fresh) {
        track.bassFlux.push_back(track.bassFlux.back());
        return;
    }
    fvec_copy(f.window.get(), f.shaped.get());
    fvec_weight(f.shaped.get(), f.shape.get());
    aubio_fft_do(f.fft.get(), f.shaped.get(), f.spectrum.get());
    std::array<float, 12> chroma{};
    float flux = 0;
    const smpl_t *norm = f.spectrum->norm;
    for (size_t bin = 0; bin < f.pitchClass.size(); ++bin)
        if (f.pitchClass[bin] >= 0 && std::isfinite(norm[bin]))
            chroma[static_cast<size_t>(f.pitchClass[bin])] += norm[bin] * norm[bin];
    for (size_t i = 0; i < f.bassBins.size(); ++i) {
        float m = norm[f.bassBins[i]];
        float level = std::isfinite(m) ? std::log1p(1000.0f * m) : 0.0f;
        flux += std::max(0.0f, level - f.lastBass[i]);
        f.lastBass[i] = level;
    }
    track.chroma.push_back(chroma);
    track.bassFlux.push_back(flux);
}
