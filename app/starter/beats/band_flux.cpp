// The band flux: libaubio's triangular filterbank on semitone edges over the hop spectrum the
// beat tracker already takes, log-compressed, its rise summed over the bands.
#include "app/starter/beats/band_flux.h"

#include <algorithm>
#include <cmath>
#include <memory>

// libaubio's triangular bands are in the headers of its unstable interface, which aubio.h leaves out.
#include <aubio/spectral/filterbank_mel.h>

namespace {

// The bands span the pitches of music: from below the lowest organ pedal to the top of the
// cymbals' attacks.
constexpr double LowestBandHz = 30;
constexpr double HighestBandHz = 16000;
// The compression of the bands, log(1 + BandCompression * band), on magnitudes as the hop
// spectrum gives them (a full-scale sine peaks at about a quarter of the window's length).
constexpr double BandCompression = 1;

struct FilterbankCloser {
    void operator()(aubio_filterbank_t *b) const { del_aubio_filterbank(b); }
};

// The non-zero stretch of each row of a filterbank's coefficients.
std::vector<BandSpan> spansOf(const fmat_t *coefficients) {
    std::vector<BandSpan> spans(coefficients->height);
    for (uint_t band = 0; band < coefficients->height; ++band) {
        const smpl_t *row = coefficients->data[band];
        uint_t first = 0, end = coefficients->length;
        while (first < end && row[first] == 0)
            ++first;
        while (end > first && row[end - 1] == 0)
            --end;
        spans[band].first = first;
        spans[band].weights.assign(row + first, row + end);
    }
    return spans;
}

}  // namespace

OnsetStrength onsetStrengthNamed(const std::string &name) {
    return name == "hfc"       ? OnsetStrength::HighFrequency
           : name == "flux"    ? OnsetStrength::BandFlux
           : name == "pulse"   ? OnsetStrength::PulseBandFlux
           : name == "tracker" ? OnsetStrength::TrackerBandFlux
           : name == "period"  ? OnsetStrength::PeriodBandFlux
                               : OnsetStrength::BandFluxOwnFloors;
}

std::vector<smpl_t> semitoneBandEdges(double lowestHz, double highestHz, unsigned bins, int rate) {
    std::vector<smpl_t> edges;
    if (bins < 2 || rate <= 0 || !(lowestHz > 0))
        return edges;
    double nyquist = rate / 2.0, binHz = nyquist / (bins - 1), top = std::min(highestHz, nyquist);
    double kept = -binHz;
    for (int semitone = 0;; ++semitone) {
        double hz = lowestHz * std::pow(2.0, semitone / 12.0);
        if (hz > top)
            break;
        if (hz - kept >= binHz) {
            edges.push_back(static_cast<smpl_t>(hz));
            kept = hz;
        }
    }
    if (edges.size() < 3)
        edges.clear();
    return edges;
}

bool startBandFlux(BandFlux &flux, unsigned window, int rate) {
    std::vector<smpl_t> edges = semitoneBandEdges(LowestBandHz, HighestBandHz, window / 2 + 1, rate);
    if (edges.empty())
        return false;
    auto count = static_cast<uint_t>(edges.size() - 2);
    std::unique_ptr<aubio_filterbank_t, FilterbankCloser> bank(new_aubio_filterbank(count, window));
    if (!bank)
        return false;
    // Each band sums its magnitudes under a triangle of height one, so that a partial counts
    // the same in a narrow band as in a wide one.
    aubio_filterbank_set_norm(bank.get(), 0);
    fvec_t frequencies{static_cast<uint_t>(edges.size()), edges.data()};
    if (aubio_filterbank_set_triangle_bands(bank.get(), &frequencies, static_cast<smpl_t>(rate)) != 0)
        return false;
    // libaubio's product walks the whole matrix, bin by bin across the bands; each band weighs
    // a few bins only, so the bands are summed over those.
    flux.spans = spansOf(aubio_filterbank_get_coeffs(bank.get()));
    flux.bands.assign(count, 0.0f);
    flux.before.assign(count, 0.0f);
    flux.started = false;
    return true;
}

void takeBands(BandFlux &flux, const cvec_t *magnitudes) {
    for (size_t band = 0; band < flux.spans.size(); ++band) {
        const BandSpan &span = flux.spans[band];
        size_t first = std::min(span.first, magnitudes->length);
        size_t end = std::min<size_t>(span.weights.size(), magnitudes->length - first);
        smpl_t sum = 0;
        for (size_t i = 0; i < end; ++i)
            sum += magnitudes->norm[first + i] * span.weights[i];
        flux.bands[band] = sum;
    }
}

float bandFluxHop(BandFlux &flux, const cvec_t *magnitudes) {
    takeBands(flux, magnitudes);
    std::vector<float> &bands = flux.bands;
    size_t count = bands.size();
    for (size_t i = 0; i < count; ++i)
        bands[i] = std::isfinite(bands[i])
                       ? static_cast<float>(std::log1p(BandCompression * std::max(static_cast<double>(bands[i]), 0.0)))
                       : 0.0f;
    double rise = 0;
    for (size_t i = 0; flux.started && i < count; ++i)
        rise += std::max(0.0, static_cast<double>(bands[i]) - flux.before[i]);
    for (size_t i = 0; i < count; ++i)
        flux.before[i] = std::max({bands[i], i > 0 ? bands[i - 1] : bands[i], i + 1 < count ? bands[i + 1] : bands[i]});
    flux.started = true;
    return static_cast<float>(rise);
}
