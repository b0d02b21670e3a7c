// Magnitude spectra from FFTW, framed as libaubio frames them, and the chroma and bass onsets read from them.
#include "app/starter/metre/spectrum.h"

#include <algorithm>
#include <cmath>

#include "app/starter/audio/fft_plans.h"

namespace {

// The chroma covers about A1 to B6; the bass band lies below 140 Hz (D3).
constexpr double LowestChromaHz = 52;
constexpr double HighestChromaHz = 2000;
constexpr double LowestBassHz = 30;
constexpr double HighestBassHz = 140;
// The analysis window spans this many hops, about 93 ms at 44100 Hz: fine enough for the bass.
constexpr unsigned WindowHops = 8;

}  // namespace

bool startMagnitudes(MagnitudeFollower &f, unsigned size, bool centred) {
    char hann[] = "hanningz";
    if (size < 2 || size % 2 != 0)
        return false;
    f.input.reset(static_cast<float *>(fftwf_malloc(sizeof(float) * size)));
    f.output.reset(static_cast<fftwf_complex *>(fftwf_malloc(sizeof(fftwf_complex) * (size / 2 + 1))));
    f.samples.reset(new_fvec(size));
    f.shape.reset(new_aubio_window(hann, size));
    f.spectrum.reset(new_cvec(size));
    f.centred = centred;
    if (!f.input || !f.output || !f.samples || !f.shape || !f.spectrum)
        return false;
    f.plan = realPlan(static_cast<int>(size), f.input.get(), f.output.get());
    return f.plan != nullptr;
}

void pushSamples(MagnitudeFollower &f, const smpl_t *samples, unsigned count) {
    smpl_t *w = f.samples->data;
    std::copy(w + count, w + f.samples->length, w);
    std::copy(samples, samples + count, w + f.samples->length - count);
}

namespace {

// out[i] = x[i] * w[i] for i < count, a loop the compiler vectorises (the products are the same).
void weighInto(const float *__restrict x, const float *__restrict w, size_t count, float *__restrict out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = x[i] * w[i];
}

}  // namespace

void windowSamples(const MagnitudeFollower &f, float *out) {
    size_t size = f.samples->length, half = f.centred ? size / 2 : 0;
    const smpl_t *x = f.samples->data, *w = f.shape->data;
    // Centred, the window's second half comes first: libaubio's fvec_shift of an even length.
    weighInto(x + half, w + half, size - half, out);
    weighInto(x, w, half, out + size - half);
}

void takeMagnitudes(MagnitudeFollower &f, unsigned bins) {
    unsigned size = f.samples->length, middle = size / 2;
    windowSamples(f, f.input.get());
    fftwf_execute_dft_r2c(f.plan, f.input.get(), f.output.get());
    // libaubio's norm: the absolute real part at 0 and at the middle, the modulus between them.
    const fftwf_complex *out = f.output.get();
    smpl_t *norm = f.spectrum->norm;
    bins = std::min(bins, middle + 1);
    for (unsigned i = 0; i < bins; ++i)
        norm[i] = std::sqrt(out[i][0] * out[i][0] + out[i][1] * out[i][1]);
    norm[0] = std::fabs(out[0][0]);
    if (bins > middle)
        norm[middle] = std::fabs(out[middle][0]);
}

bool startSpectrum(SpectrumFollower &f, unsigned hop, int rate) {
    unsigned window = hop * WindowHops;
    if (rate <= 0 || !startMagnitudes(f.window, window, false))
        return false;
    f.hop = hop;
    f.pitchClass.assign(f.window.spectrum->length, -1);
    f.bassBins.clear();
    f.bins = 0;
    for (unsigned bin = 1; bin < f.window.spectrum->length; ++bin) {
        double hz = static_cast<double>(bin) * rate / window;
        if (hz >= LowestChromaHz && hz <= HighestChromaHz) {
            long semitone = std::lround(12 * std::log2(hz / 440.0)) + 9;
            f.pitchClass[bin] = static_cast<int>(((semitone % 12) + 12) % 12);
            f.bins = bin + 1;
        }
        if (hz >= LowestBassHz && hz <= HighestBassHz) {
            f.bassBins.push_back(static_cast<int>(bin));
            f.bins = std::max(f.bins, bin + 1);
        }
    }
    f.pitchClass.resize(f.bins);
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
    if (!f.window.plan || samples->length != f.hop) {
        if (fresh)
            track.chroma.push_back({});
        track.bassFlux.push_back(0);
        return;
    }
    pushSamples(f.window, samples->data, f.hop);
    if (!fresh) {
        track.bassFlux.push_back(track.bassFlux.back());
        return;
    }
    takeMagnitudes(f.window, f.bins);
    std::array<float, 12> chroma{};
    float flux = 0;
    const smpl_t *norm = f.window.spectrum->norm;
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
