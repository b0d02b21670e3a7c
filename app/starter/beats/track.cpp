// Reading the region to analyse and running libaubio's beat tracker over it, fed from one
// magnitude spectrum per hop that also gives the onset strength.
#include "app/starter/beats/beats.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include <aubio/aubio.h>
// libaubio's beat tracker and peak picking, run on a detection function of our own, are in the
// headers of its unstable interface, which aubio.h leaves out.
#include <aubio/mathutils.h>
#include <aubio/onset/peakpicker.h>
#include <aubio/tempo/beattracking.h>
#include <sndfile.h>

#include "app/starter/audio/progress.h"
#include "app/starter/audio/sound_file.h"
#include "app/starter/beats/band_flux.h"

namespace {

// The first sound is the first moment within this many dB of the peak.
constexpr double FirstSoundBelowPeakDb = 40;
// A peak below this (-80 dBFS) counts as silence.
constexpr double SilentPeak = 1e-4;
// Blocks quieter than this count as silence for the tracker: below the dither only.
constexpr smpl_t DitherSilenceDb = -115;

// libaubio's tempo tracker looks back over about this many seconds of its detection function.
constexpr double TrackerMemorySeconds = 5.8;
// The threshold of the tracker's peak picking, as libaubio's tempo tracker sets it.
constexpr smpl_t TrackerThreshold = 0.3f;
// The onset strength is libaubio's "default" onset descriptor: the high-frequency content of
// the log-compressed magnitudes, log(Compression * m + 1).
constexpr smpl_t OnsetCompression = 1.0f;

struct DescriptorCloser {
    void operator()(aubio_specdesc_t *d) const { del_aubio_specdesc(d); }
};
struct PeakPickerCloser {
    void operator()(aubio_peakpicker_t *p) const { del_aubio_peakpicker(p); }
};
struct BeatTrackingCloser {
    void operator()(aubio_beattracking_t *b) const { del_aubio_beattracking(b); }
};
struct TempoCloser {
    void operator()(aubio_tempo_t *t) const { del_aubio_tempo(t); }
};

// The analysis window of the tracker for a sample rate: 1024 samples at 44100 Hz.
uint_t trackerWindow(int rate) {
    uint_t window = 256;
    while (window < 4096 && window * 44100.0 < 1024.0 * rate * 0.75)
        window *= 2;
    return window;
}

// The next value of a faint, repeatable noise at about -105 dBFS.
double ditherSample(uint32_t &state) {
    state = state * 1664525u + 1013904223u;
    return (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 2e-5;
}


// True when the band flux is the track's onset strength.
bool fluxIsOnsetStrength(OnsetStrength use) {
    return use == OnsetStrength::BandFlux || use == OnsetStrength::BandFluxOwnFloors;
}

// The track's own array the hop's band flux is kept in besides its onset strength (the pulse's,
// the tempo curve's periods'), or none.
std::vector<float> *fluxKeptIn(OnsetStrength use, BeatTrack &track) {
    return use == OnsetStrength::PulseBandFlux || use == OnsetStrength::TrackerBandFlux ? &track.pulseStrength
           : use == OnsetStrength::PeriodBandFlux                                      ? &track.periodStrength
                                                                                       : nullptr;
}

// Room for the features of a number of hops, so that the arrays never grow by copying; the band
// flux's own array only when it has one.
void reserveHops(BeatTrack &track, size_t hops, OnsetStrength use) {
    track.onsetStrength.reserve(hops);
    if (std::vector<float> *kept = fluxKeptIn(use, track))
        kept->reserve(hops);
    track.spectrum.bassFlux.reserve(hops);
    track.spectrum.chroma.reserve(hops / SpectrumChromaEvery + 1);
}

}  // namespace

namespace {

// libaubio's tempo tracking, hop by hop, on the spectral flux of the hop spectrum: its detection
// function is peak-picked into a window of about six seconds, which its beat tracker reads every
// quarter window to place the beats of the next quarter.
struct Tempo {
    std::unique_ptr<aubio_specdesc_t, DescriptorCloser> flux;
    std::unique_ptr<aubio_peakpicker_t, PeakPickerCloser> picker;
    std::unique_ptr<aubio_beattracking_t, BeatTrackingCloser> tracker;
    std::unique_ptr<fvec_t, FvecCloser> detection, picked, window, beats;  // one value, one value, the window, the beats
    uint_t windowLength = 0, step = 0, hop = 0, rate = 0;
    sint_t position = 0;     // where the next detection value goes in the window's last quarter
    uint_t frames = 0;       // samples taken so far
    uint_t lastBeat = 0;     // the latest beat, in samples
};

// The spectra and trackers that follow one recording, hop by hop.
struct Followers {
    MagnitudeFollower hopSpectrum;    // the tracker's window, framed as libaubio's phase vocoder
    std::unique_ptr<cvec_t, CvecCloser> compressed;  // its magnitudes, log-compressed
    std::unique_ptr<aubio_specdesc_t, DescriptorCloser> onsetDescriptor;
    std::unique_ptr<fvec_t, FvecCloser> in, onset;
    Tempo tempo;
    std::unique_ptr<aubio_tempo_t, TempoCloser> second;  // libaubio's own tempo tracker, when asked
    std::unique_ptr<fvec_t, FvecCloser> secondOut;
    SpectrumFollower spectrum;
    OnsetStrength use = OnsetStrength::BandFluxOwnFloors;
    BandFlux bandFlux;  // when the onset strength asked for reads it
    uint32_t noise = 1;
    std::vector<double> mono, dither;  // the hop's channel sums and its noise
};

// Sets up libaubio's tempo tracking for windows of `window` samples every `hop`; false when it cannot.
bool startTempo(Tempo &t, uint_t window, uint_t hop, int rate) {
    t.windowLength = std::max<uint_t>(4, aubio_next_power_of_two(static_cast<uint_t>(TrackerMemorySeconds * rate / hop)));
    t.step = t.windowLength / 4;
    t.hop = hop;
    t.rate = static_cast<uint_t>(rate);
    char flux[] = "specflux";
    t.flux.reset(new_aubio_specdesc(flux, window));
    t.picker.reset(new_aubio_peakpicker());
    t.tracker.reset(new_aubio_beattracking(t.windowLength, hop, t.rate));
    t.detection.reset(new_fvec(1));
    t.picked.reset(new_fvec(1));
    t.window.reset(new_fvec(t.windowLength));
    t.beats.reset(new_fvec(t.step));
    if (!t.flux || !t.picker || !t.tracker || !t.detection || !t.picked || !t.window || !t.beats)
        return false;
    aubio_peakpicker_set_threshold(t.picker.get(), TrackerThreshold);
    return true;
}

// One hop of tempo tracking on the hop's detection value (already in Tempo::detection); the beat's
// place within the hop (0..1), 0 for none or when the hop lies below silenceDb. A beat moves the
// tracker's latest beat (Tempo::lastBeat).
smpl_t tempoHop(Tempo &t, const fvec_t *samples, smpl_t silenceDb) {
    smpl_t *window = t.window->data;
    if (t.position == static_cast<sint_t>(t.step) - 1) {
        aubio_beattracking_do(t.tracker.get(), t.window.get(), t.beats.get());
        std::copy(window + t.step, window + t.windowLength, window);
        std::fill(window + t.windowLength - t.step, window + t.windowLength, 0.0f);
        t.position = -1;
    }
    ++t.position;
    aubio_peakpicker_do(t.picker.get(), t.detection.get(), t.picked.get());
    window[t.windowLength - t.step + static_cast<uint_t>(t.position)] =
        aubio_peakpicker_get_thresholded_input(t.picker.get())->data[0];
    // beats->data[0] holds how many of the entries after it are beats (as positions in hops).
    smpl_t beat = 0;
    for (uint_t i = 1; i < t.beats->data[0]; ++i) {
        smpl_t at = t.beats->data[i];
        if (t.position == std::floor(at)) {
            beat = aubio_silence_detection(samples, silenceDb) == 1 ? 0 : at - std::floor(at);
            t.lastBeat = t.frames + static_cast<uint_t>(std::round(beat * static_cast<smpl_t>(t.hop)));
        }
    }
    t.frames += t.hop;
    return beat;
}

// Opens the recording and finds the region [start, end) in it (clamped like the engine's:
// a start before the audio or beyond its end means its beginning); false with the failure's kind.
bool openRegion(const std::string &path, double start, double end, SndFile &file, SF_INFO &info,
                sf_count_t &first, sf_count_t &count, std::string &cause, BeatFailure &failure) {
    file.reset(sf_open(path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1 || info.samplerate < 1) {
        cause = sf_strerror(file.get());
        failure = BeatFailure::Unreadable;
        return false;
    }
    double seconds = static_cast<double>(info.frames) / info.samplerate;
    start = std::isfinite(start) && start > 0 && start < seconds ? start : 0;
    end = std::isfinite(end) && end > start ? std::min(end, seconds) : seconds;
    first = static_cast<sf_count_t>(start * info.samplerate);
    count = static_cast<sf_count_t>(end * info.samplerate) - first;
    if (count > 0 && first > 0 && sf_seek(file.get(), first, SEEK_SET) < 0) {
        failure = BeatFailure::RegionUnreachable;
        return false;
    }
    return true;
}

// Sets up the hop spectrum, the tracker, the onset strength and the metre's spectrum for windows
// of `window` samples every `hop`, and libaubio's own tempo tracker when asked; false with the
// failure's kind.
bool startFollowers(Followers &f, uint_t window, uint_t hop, int rate, bool secondTracker, OnsetStrength use,
                    BeatFailure &failure) {
    char hfc[] = "hfc";
    f.use = use;
    if (use != OnsetStrength::HighFrequency && !startBandFlux(f.bandFlux, window, rate)) {
        failure = BeatFailure::TrackerSetUp;
        return false;
    }
    f.compressed.reset(new_cvec(window));
    f.onsetDescriptor.reset(new_aubio_specdesc(hfc, window));
    f.in.reset(new_fvec(hop));
    f.onset.reset(new_fvec(1));
    if (!startMagnitudes(f.hopSpectrum, window, true) || !f.compressed || !f.onsetDescriptor || !f.in || !f.onset ||
        !startTempo(f.tempo, window, hop, rate)) {
        failure = BeatFailure::TrackerSetUp;
        return false;
    }
    if (secondTracker) {
        char method[] = "default";
        f.second.reset(new_aubio_tempo(method, window, hop, static_cast<uint_t>(rate)));
        f.secondOut.reset(new_fvec(1));
        if (!f.second || !f.secondOut) {
            failure = BeatFailure::TrackerSetUp;
            return false;
        }
    }
    if (!startSpectrum(f.spectrum, hop, rate)) {
        failure = BeatFailure::SpectrumSetUp;
        return false;
    }
    return true;
}

// Mixes got frames of block to mono with the faint noise into the followers' input; returns the hop's peak.
// The noise is drawn first, so that the mix of the common stereo case is a loop the compiler vectorises.
double mixHop(Followers &f, const std::vector<float> &block, sf_count_t got, int channels) {
    size_t length = f.in->length, frames = std::min<size_t>(length, static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    f.dither.resize(length);
    for (size_t i = 0; i < length; ++i)
        f.dither[i] = ditherSample(f.noise);
    f.mono.assign(length, 0.0);
    if (channels == 2)
        for (size_t i = 0; i < frames; ++i)
            f.mono[i] = 0.0 + block[2 * i] + block[2 * i + 1];
    else
        for (size_t i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                f.mono[i] += block[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
    double hopPeak = 0;
    for (size_t i = 0; i < length; ++i) {
        double sample = std::isfinite(f.mono[i]) ? f.mono[i] / channels : 0;
        hopPeak = std::max(hopPeak, std::fabs(sample));
        f.in->data[i] = static_cast<smpl_t>(sample + f.dither[i]);
    }
    return hopPeak;
}

// The high-frequency content of the hop's log-compressed magnitudes (only asked where it is read: a
// logarithm a bin every hop).
float highFrequencyContent(Followers &f) {
    std::copy(f.hopSpectrum.spectrum->norm, f.hopSpectrum.spectrum->norm + f.compressed->length, f.compressed->norm);
    cvec_logmag(f.compressed.get(), OnsetCompression);
    aubio_specdesc_do(f.onsetDescriptor.get(), f.compressed.get(), f.onset.get());
    return f.onset->data[0];
}

// Runs the tracker, the onset strength and the metre's spectrum over the hop in the followers' input.
void followHop(Followers &f, BeatTrack &track) {
    pushSamples(f.hopSpectrum, f.in->data, f.in->length);
    takeMagnitudes(f.hopSpectrum, f.hopSpectrum.spectrum->length);
    // The tracker drops a beat that falls into digital silence; a faint noise floor (mixHop) keeps
    // the beats of dry, synthetic recordings whose notes stop dead.
    const cvec_t *magnitudes = f.hopSpectrum.spectrum.get();
    float flux = f.use == OnsetStrength::HighFrequency ? 0.0f : bandFluxHop(f.bandFlux, magnitudes);
    if (f.use == OnsetStrength::TrackerBandFlux)
        f.tempo.detection->data[0] = flux;
    else
        aubio_specdesc_do(f.tempo.flux.get(), magnitudes, f.tempo.detection.get());
    smpl_t place = tempoHop(f.tempo, f.in.get(), DitherSilenceDb);
    double beat = track.regionStart + static_cast<double>(f.tempo.lastBeat / static_cast<smpl_t>(f.tempo.rate));
    if (place != 0 && beat >= track.regionStart && beat < track.regionEnd &&
        (track.beats.empty() || beat > track.beats.back())) {
        track.beats.push_back(beat);
        track.periods.push_back(aubio_beattracking_get_period_s(f.tempo.tracker.get()));
    }
    if (f.second) {
        aubio_tempo_do(f.second.get(), f.in.get(), f.secondOut.get());
        if (f.secondOut->data[0] != 0)
            track.secondBeats.push_back(track.regionStart + static_cast<double>(aubio_tempo_get_last_s(f.second.get())));
    }
    track.onsetStrength.push_back(fluxIsOnsetStrength(f.use) ? flux : highFrequencyContent(f));
    if (std::vector<float> *kept = fluxKeptIn(f.use, track))
        kept->push_back(flux);
    addSpectrumHop(f.spectrum, f.in.get(), track.spectrum);
}

// The peak and the first sound from the hops louder than every one before them (hop, peak).
void settleFirstSound(BeatTrack &track, const std::vector<std::pair<size_t, double>> &louder, uint_t hop, int rate) {
    track.peak = louder.empty() ? 0 : louder.back().second;
    double floor = track.peak * std::pow(10.0, -FirstSoundBelowPeakDb / 20);
    for (size_t i = 0; track.peak >= SilentPeak && i < louder.size(); ++i)
        if (louder[i].second >= floor) {
            track.firstSound = track.regionStart + static_cast<double>(louder[i].first) * hop / rate;
            break;
        }
}

}  // namespace

bool trackBeats(const std::string &path, double start, double end, BeatTrack &track,
                const std::atomic<bool> *stop, std::string &cause, BeatFailure *failure, bool secondTracker,
                OnsetStrength use) {
    SF_INFO info{};
    SndFile file;
    sf_count_t first = 0, count = 0;
    BeatFailure failed = BeatFailure::Unreadable;
    cause.clear();
    if (!openRegion(path, start, end, file, info, first, count, cause, failed)) {
        if (failure)
            *failure = failed;
        return false;
    }
    track = BeatTrack{};
    track.clarityScale = use == OnsetStrength::BandFluxOwnFloors ? BandFluxClarityShare : 1;
    track.regionStart = static_cast<double>(first) / info.samplerate;
    track.regionEnd = track.regionStart + static_cast<double>(count) / info.samplerate;
    if (count <= 0)
        return true;
    uint_t window = trackerWindow(info.samplerate), hop = window / 2;
    track.hopSeconds = static_cast<double>(hop) / info.samplerate;
    Followers f;
    if (!startFollowers(f, window, hop, info.samplerate, secondTracker, use, failed)) {
        if (failure)
            *failure = failed;
        return false;
    }
    std::vector<float> block(static_cast<size_t>(hop) * static_cast<size_t>(info.channels));
    reserveHops(track, static_cast<size_t>(count / hop) + 1, use);
    std::vector<std::pair<size_t, double>> louder;
    size_t hops = 0;
    for (sf_count_t done = 0; done < count; done += hop) {
        if (stop && *stop)
            break;
        reportProgress(static_cast<double>(done), static_cast<double>(count));
        sf_count_t want = std::min<sf_count_t>(hop, count - done);
        sf_count_t got = sf_readf_float(file.get(), block.data(), want);
        double hopPeak = mixHop(f, block, got, info.channels);
        if (louder.empty() || hopPeak > louder.back().second)
            louder.emplace_back(hops, hopPeak);
        ++hops;
        followHop(f, track);
        if (got < want)
            break;
    }
    settleFirstSound(track, louder, hop, info.samplerate);
    return true;
}
