// The band flux: libaubio's semitone bands, summed as libaubio sums them, and an onset
// strength that peaks where a legato line changes pitch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

#include <aubio/aubio.h>
#include <aubio/spectral/filterbank_mel.h>
#include <sndfile.h>

#include "app/starter/beats/band_flux.h"
#include "app/starter/beats/beats.h"
#include "app/starter/plan/run_plan.h"
#include "tests/app/support.h"

namespace {

// A legato line: harmonic tones at constant amplitude, the phase running on through every
// change of pitch, so that nothing but the pitch changes there.
bool writeLegato(const std::string &path, int rate, const std::vector<int> &keys, double noteSeconds) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    auto perNote = static_cast<size_t>(noteSeconds * rate);
    std::vector<float> x(perNote * keys.size());
    double phase = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        double hz = 440.0 * std::pow(2.0, (keys[i / perNote] - 69) / 12.0);
        phase += 2 * M_PI * hz / rate;
        x[i] = static_cast<float>(0.2 * (std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase)));
    }
    bool ok = sf_writef_float(f, x.data(), static_cast<sf_count_t>(x.size())) == static_cast<sf_count_t>(x.size());
    return sf_close(f) == 0 && ok;
}

// Over the changes of pitch after the first note: the least ratio of the strength's peak near
// the change (two hops either side) to its median in the second half of the note before.
double leastPeakAtChanges(const BeatTrack &t, size_t notes, double noteSeconds) {
    const std::vector<float> &s = t.onsetStrength;
    double least = INFINITY;
    for (size_t n = 1; n < notes; ++n) {
        auto change = static_cast<size_t>(n * noteSeconds / t.hopSeconds);
        double peak = 0;
        for (size_t h = change - 2; h <= change + 2 && h < s.size(); ++h)
            peak = std::max(peak, static_cast<double>(s[h]));
        auto halfNote = static_cast<size_t>(noteSeconds / 2 / t.hopSeconds);
        std::vector<float> held(s.begin() + static_cast<long>(change - halfNote), s.begin() + static_cast<long>(change - 4));
        std::nth_element(held.begin(), held.begin() + static_cast<long>(held.size() / 2), held.end());
        least = std::min(least, peak / std::max(1e-9, static_cast<double>(held[held.size() / 2])));
    }
    return least;
}

}  // namespace

TEST(BandFlux, SemitoneBandsHoldABinEachAndAreSummedAsLibaubioSumsThem) {
    for (auto [rate, window] : {std::pair{44100, 1024u}, {22050, 512u}, {8000, 256u}}) {
        unsigned bins = window / 2 + 1;
        std::vector<smpl_t> edges = semitoneBandEdges(30, 16000, bins, rate);
        ASSERT_GE(edges.size(), 3u) << rate;
        double binHz = rate / 2.0 / (bins - 1);
        for (size_t i = 1; i < edges.size(); ++i) {
            EXPECT_GE(edges[i] - edges[i - 1], binHz * (1 - 1e-6)) << rate << " edge " << i;
            double semitones = 12 * std::log2(edges[i] / 30.0);
            EXPECT_NEAR(semitones, std::round(semitones), 1e-4) << rate << " edge " << i;
        }
        EXPECT_LE(edges.back(), std::min(16000.0, rate / 2.0));
        EXPECT_GT(edges.back(), std::min(16000.0, rate / 2.0) / std::pow(2.0, 1 / 12.0) - binHz);

        BandFlux flux;
        ASSERT_TRUE(startBandFlux(flux, window, rate)) << rate;
        ASSERT_EQ(flux.spans.size(), edges.size() - 2);
        aubio_filterbank_t *bank = new_aubio_filterbank(static_cast<uint_t>(edges.size() - 2), window);
        aubio_filterbank_set_norm(bank, 0);
        fvec_t frequencies{static_cast<uint_t>(edges.size()), edges.data()};
        ASSERT_EQ(aubio_filterbank_set_triangle_bands(bank, &frequencies, static_cast<smpl_t>(rate)), 0u);
        cvec_t *spectrum = new_cvec(window);
        fvec_t *bands = new_fvec(static_cast<uint_t>(edges.size() - 2));
        std::mt19937 random(7);
        std::uniform_real_distribution<float> magnitude(0, 50);
        for (int trial = 0; trial < 5; ++trial) {
            for (uint_t b = 0; b < spectrum->length; ++b)
                spectrum->norm[b] = magnitude(random);
            aubio_filterbank_do(bank, spectrum, bands);
            takeBands(flux, spectrum);
            for (uint_t b = 0; b < bands->length; ++b)
                ASSERT_EQ(flux.bands[b], bands->data[b]) << rate << " band " << b;
        }
        del_fvec(bands);
        del_cvec(spectrum);
        del_aubio_filterbank(bank);
    }
    // Too few bins or a rate too low for three edges: no bands.
    EXPECT_TRUE(semitoneBandEdges(30, 16000, 2, 44100).empty());
    EXPECT_TRUE(semitoneBandEdges(30, 16000, 513, 0).empty());
    BandFlux none;
    EXPECT_FALSE(startBandFlux(none, 4, 100));
}

TEST(BandFlux, PeaksWhereALegatoLineChangesPitchWhereTheHighFrequencyContentDoesNot) {
    ScratchDir dir;
    const std::vector<int> keys = {60, 62, 64, 67, 65, 69, 72, 71, 67, 64, 62, 60};
    const double noteSeconds = 0.5;
    std::string path = dir.path + "legato.wav";
    ASSERT_TRUE(writeLegato(path, 44100, keys, noteSeconds));
    BeatTrack hfc, flux;
    std::string error;
    ASSERT_TRUE(trackBeats(path, 0, 0, hfc, nullptr, error, nullptr, false, OnsetStrength::HighFrequency)) << error;
    ASSERT_TRUE(trackBeats(path, 0, 0, flux, nullptr, error, nullptr, false, OnsetStrength::BandFlux)) << error;
    double fluxPeak = leastPeakAtChanges(flux, keys.size(), noteSeconds);
    double hfcPeak = leastPeakAtChanges(hfc, keys.size(), noteSeconds);
    EXPECT_GE(fluxPeak, 10);
    EXPECT_LE(hfcPeak, 1.5);
}

TEST(BandFlux, ThePulseReadsItsOwnStrengthWhereAsked) {
    ScratchDir dir;
    std::string path = dir.path + "legato.wav";
    ASSERT_TRUE(writeLegato(path, 22050, {60, 64, 67, 72, 67, 64, 60, 55}, 0.6));
    BeatTrack hfc, everywhere, pulse, tracker, period, floors;
    std::string error;
    ASSERT_TRUE(trackBeats(path, 0, 0, hfc, nullptr, error, nullptr, false, OnsetStrength::HighFrequency)) << error;
    ASSERT_TRUE(trackBeats(path, 0, 0, everywhere, nullptr, error, nullptr, false, OnsetStrength::BandFlux));
    ASSERT_TRUE(trackBeats(path, 0, 0, pulse, nullptr, error, nullptr, false, OnsetStrength::PulseBandFlux));
    ASSERT_TRUE(trackBeats(path, 0, 0, tracker, nullptr, error, nullptr, false, OnsetStrength::TrackerBandFlux));
    ASSERT_TRUE(trackBeats(path, 0, 0, period, nullptr, error, nullptr, false, OnsetStrength::PeriodBandFlux));
    ASSERT_TRUE(trackBeats(path, 0, 0, floors, nullptr, error, nullptr, false, OnsetStrength::BandFluxOwnFloors));
    // The default has no strength of the pulse's own; the others keep the high-frequency content
    // for the metre and give the pulse the band flux.
    EXPECT_TRUE(hfc.pulseStrength.empty());
    EXPECT_TRUE(everywhere.pulseStrength.empty());
    EXPECT_EQ(&pulseStrengthOf(hfc), &hfc.onsetStrength);
    EXPECT_EQ(pulse.onsetStrength, hfc.onsetStrength);
    EXPECT_EQ(pulse.pulseStrength, everywhere.onsetStrength);
    EXPECT_EQ(&pulseStrengthOf(pulse), &pulse.pulseStrength);
    EXPECT_EQ(tracker.pulseStrength, everywhere.onsetStrength);
    // The tempo curve's periods alone may read it; its clarity floors are scaled only where the
    // pulse reads it everywhere with floors of its own.
    EXPECT_TRUE(period.pulseStrength.empty() && hfc.periodStrength.empty() && pulse.periodStrength.empty());
    EXPECT_EQ(period.onsetStrength, hfc.onsetStrength);
    EXPECT_EQ(period.periodStrength, everywhere.onsetStrength);
    EXPECT_EQ(floors.onsetStrength, everywhere.onsetStrength);
    EXPECT_TRUE(floors.pulseStrength.empty() && floors.periodStrength.empty());
    EXPECT_EQ(floors.clarityScale, BandFluxClarityShare);
    for (const BeatTrack *t : {&hfc, &everywhere, &pulse, &tracker, &period})
        EXPECT_EQ(t->clarityScale, 1);
    // Only the last feeds libaubio's tracker with it.
    EXPECT_EQ(pulse.beats, hfc.beats);
    EXPECT_EQ(everywhere.beats, hfc.beats);
    EXPECT_EQ(period.beats, hfc.beats);
    EXPECT_EQ(floors.beats, hfc.beats);
}

TEST(BandFlux, TheSettingNamesEachUseAndAnythingElseIsTheDefault) {
    EXPECT_EQ(onsetStrengthNamed("flux"), OnsetStrength::BandFlux);
    EXPECT_EQ(onsetStrengthNamed("pulse"), OnsetStrength::PulseBandFlux);
    EXPECT_EQ(onsetStrengthNamed("tracker"), OnsetStrength::TrackerBandFlux);
    EXPECT_EQ(onsetStrengthNamed("period"), OnsetStrength::PeriodBandFlux);
    EXPECT_EQ(onsetStrengthNamed("hfc"), OnsetStrength::HighFrequency);
    for (const char *other : {"", "flux-floors", "HFC", "flux "})
        EXPECT_EQ(onsetStrengthNamed(other), OnsetStrength::BandFluxOwnFloors) << other;
    EXPECT_EQ(static_cast<int>(OnsetStrength::BandFluxOwnFloors), RunPlan{}.onsetStrength)
        << "a plan built without the setting runs the default";
}
