// The hop spectra: FFTW magnitudes without the phase, framed as libaubio frames
// them: the samples libaubio transforms bit for bit, and its magnitudes within a
// few units in the last place (FFTW's real-to-complex transform sums in another
// order than the half-complex one libaubio calls).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "app/starter/metre/spectrum.h"

// fvec_shift is in the headers of libaubio's unstable interface, which aubio.h leaves out.
#include <aubio/mathutils.h>

namespace {

// A hop of a tone with a little noise, at a level that changes from hop to hop.
std::vector<smpl_t> testHop(unsigned length, int hop, uint32_t &state) {
    std::vector<smpl_t> x(length);
    for (unsigned i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        double t = static_cast<double>(hop) * length + i;
        x[i] = static_cast<smpl_t>((0.3 + 0.2 * std::sin(hop)) * std::sin(0.05 * t) + 0.01 * (state >> 8) / 16777216.0);
    }
    return x;
}

struct PvocCloser {
    void operator()(aubio_pvoc_t *p) const { del_aubio_pvoc(p); }
};
struct FftCloser {
    void operator()(aubio_fft_t *f) const { del_aubio_fft(f); }
};

// Magnitudes agree with libaubio's when they differ by no more than a few units in the last place
// of the spectrum's largest magnitude (the rounding of two orders of the same sums).
constexpr float MagnitudeUlps = 16;

// How far a magnitude may lie from libaubio's, for a spectrum whose largest magnitude is `largest`.
float tolerance(float largest) { return MagnitudeUlps * largest * std::numeric_limits<float>::epsilon(); }

TEST(HopSpectrum, CentredEqualsLibaubiosPhaseVocoder) {
    for (unsigned size : {256u, 1024u, 4096u}) {
        unsigned hop = size / 2;
        MagnitudeFollower f;
        ASSERT_TRUE(startMagnitudes(f, size, true));
        std::unique_ptr<aubio_pvoc_t, PvocCloser> pvoc(new_aubio_pvoc(size, hop));
        std::unique_ptr<cvec_t, CvecCloser> grain(new_cvec(size));
        uint32_t state = 1;
        for (int h = 0; h < 12; ++h) {
            std::vector<smpl_t> x = testHop(hop, h, state);
            fvec_t in{hop, x.data()};
            aubio_pvoc_do(pvoc.get(), &in, grain.get());
            pushSamples(f, x.data(), hop);
            takeMagnitudes(f, size / 2 + 1);
            float largest = *std::max_element(grain->norm, grain->norm + size / 2 + 1);
            for (unsigned b = 0; b <= size / 2; ++b)
                ASSERT_NEAR(f.spectrum->norm[b], grain->norm[b], tolerance(largest)) << size << " hop " << h << " bin " << b;
        }
    }
}

TEST(HopSpectrum, UncentredEqualsLibaubiosFftOfTheWindowedSamplesAndStopsAtTheBinsAsked) {
    unsigned size = 4096, hop = 512;
    MagnitudeFollower f;
    ASSERT_TRUE(startMagnitudes(f, size, false));
    std::unique_ptr<aubio_fft_t, FftCloser> fft(new_aubio_fft(size));
    std::unique_ptr<fvec_t, FvecCloser> window(new_fvec(size)), shaped(new_fvec(size));
    char hann[] = "hanningz";
    std::unique_ptr<fvec_t, FvecCloser> shape(new_aubio_window(hann, size));
    std::unique_ptr<cvec_t, CvecCloser> spectrum(new_cvec(size));
    uint32_t state = 7;
    for (int h = 0; h < 10; ++h) {
        std::vector<smpl_t> x = testHop(hop, h, state);
        std::copy(window->data + hop, window->data + size, window->data);
        std::copy(x.begin(), x.end(), window->data + size - hop);
        fvec_copy(window.get(), shaped.get());
        fvec_weight(shaped.get(), shape.get());
        aubio_fft_do(fft.get(), shaped.get(), spectrum.get());
        pushSamples(f, x.data(), hop);
        std::fill(f.spectrum->norm, f.spectrum->norm + f.spectrum->length, -1.0f);
        takeMagnitudes(f, 200);
        float largest = *std::max_element(spectrum->norm, spectrum->norm + size / 2 + 1);
        for (unsigned b = 0; b < 200; ++b)
            ASSERT_NEAR(f.spectrum->norm[b], spectrum->norm[b], tolerance(largest)) << "hop " << h << " bin " << b;
        EXPECT_EQ(f.spectrum->norm[200], -1.0f);
    }
}

// The samples transformed are libaubio's, bit for bit: its Hann window applied by fvec_weight and,
// centred, rotated by fvec_shift (the magnitudes differ from libaubio's only in the transform).
TEST(HopSpectrum, WindowedSamplesAreLibaubiosBitForBit) {
    for (bool centred : {false, true})
        for (unsigned size : {256u, 1024u, 4096u}) {
            MagnitudeFollower f;
            ASSERT_TRUE(startMagnitudes(f, size, centred));
            uint32_t state = 3;
            std::vector<smpl_t> x = testHop(size, 1, state);
            pushSamples(f, x.data(), size);
            std::unique_ptr<fvec_t, FvecCloser> theirs(new_fvec(size));
            std::copy(x.begin(), x.end(), theirs->data);
            fvec_weight(theirs.get(), f.shape.get());
            if (centred)
                fvec_shift(theirs.get());
            std::vector<float> ours(size);
            windowSamples(f, ours.data());
            for (unsigned i = 0; i < size; ++i)
                ASSERT_EQ(ours[i], theirs->data[i]) << size << (centred ? " centred" : "") << " sample " << i;
        }
}

TEST(HopSpectrum, RejectsAnOddOrTinyWindow) {
    MagnitudeFollower f;
    EXPECT_FALSE(startMagnitudes(f, 1, false));
    EXPECT_FALSE(startMagnitudes(f, 1023, true));
}

}  // namespace
