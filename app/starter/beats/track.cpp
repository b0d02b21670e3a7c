// Reading the region to analyse and running libaubio's beat tracker and onset detection over it.
#include "app/starter/beats/beats.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include <aubio/aubio.h>
#include <sndfile.h>

#include "app/starter/audio/progress.h"
#include "app/starter/audio/sound_file.h"

namespace {

// The first sound is the first moment within this many dB of the peak.
constexpr double FirstSoundBelowPeakDb = 40;
// A peak below this (-80 dBFS) counts as silence.
constexpr double SilentPeak = 1e-4;
// Blocks quieter than this count as silence for the tracker: below the dither only.
constexpr smpl_t DitherSilenceDb = -115;

struct TempoCloser {
    void operator()(aubio_tempo_t *t) const { del_aubio_tempo(t); }
};
struct OnsetCloser {
    void operator()(aubio_onset_t *o) const { del_aubio_onset(o); }
};
struct VectorCloser {
    void operator()(fvec_t *v) const { del_fvec(v); }
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


// Room for the features of a number of hops, so that the arrays never grow by copying.
void reserveHops(BeatTrack &track, size_t hops) {
    track.onsetStrength.reserve(hops);
    track.spectrum.bassFlux.reserve(hops);
    track.spectrum.chroma.reserve(hops / SpectrumChromaEvery + 1);
}

}  // namespace

namespace {

// The libaubio objects that follow one recording, hop by hop.
struct Followers {
    std::unique_ptr<aubio_tempo_t, TempoCloser> tracker;
    std::unique_ptr<aubio_onset_t, OnsetCloser> onsets;
    std::unique_ptr<fvec_t, VectorCloser> in, out;
    SpectrumFollower spectrum;
    uint32_t noise = 1;
};

// Opens the recording and finds the region [start, end) in it (clamped like the engine's:
// a start before the audio or beyond its end means its beginning); false with a sentence.
bool openRegion(const std::string &path, double start, double end, SndFile &file, SF_INFO &info,
                sf_count_t &first, sf_count_t &count, std::string &error) {
    file.reset(sf_open(path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1 || info.samplerate < 1) {
        error = "cannot be read for its beats (" + std::string(sf_strerror(file.get())) + ")";
        return false;
    }
    double seconds = static_cast<double>(info.frames) / info.samplerate;
    start = std::isfinite(start) && start > 0 && start < seconds ? start : 0;
    end = std::isfinite(end) && end > start ? std::min(end, seconds) : seconds;
    first = static_cast<sf_count_t>(start * info.samplerate);
    count = static_cast<sf_count_t>(end * info.samplerate) - first;
    if (count > 0 && first > 0 && sf_seek(file.get(), first, SEEK_SET) < 0) {
        error = "cannot be read for its beats (the region cannot be reached)";
        return false;
    }
    return true;
}

// Sets up the tracker, the onset detection and the spectrum for hops of hop samples; false with a sentence.
bool startFollowers(Followers &f, uint_t window, uint_t hop, int rate, std::string &error) {
    f.tracker.reset(new_aubio_tempo("default", window, hop, static_cast<uint_t>(rate)));
    f.onsets.reset(new_aubio_onset("default", window, hop, static_cast<uint_t>(rate)));
    f.in.reset(new_fvec(hop));
    f.out.reset(new_fvec(1));
    if (!f.tracker || !f.onsets || !f.in || !f.out) {
        error = "cannot be analysed for its beats (the beat tracker could not be set up)";
        return false;
    }
    // The tracker drops a beat that falls into digital silence; a faint noise floor keeps
    // the beats of dry, synthetic recordings whose notes stop dead.
    aubio_tempo_set_silence(f.tracker.get(), DitherSilenceDb);
    if (!startSpectrum(f.spectrum, hop, rate)) {
        error = "cannot be analysed for its beats (the spectrum could not be set up)";
        return false;
    }
    return true;
}

// Mixes got frames of block to mono with the faint noise into the followers' input; returns the hop's peak.
double mixHop(Followers &f, const std::vector<float> &block, sf_count_t got, int channels) {
    double hopPeak = 0;
    for (uint_t i = 0; i < f.in->length; ++i) {
        double sum = 0;
        for (int c = 0; i < got && c < channels; ++c)
            sum += block[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
        double sample = std::isfinite(sum) ? sum / channels : 0;
        hopPeak = std::max(hopPeak, std::fabs(sample));
        f.in->data[i] = static_cast<smpl_t>(sample + ditherSample(f.noise));
    }
    return hopPeak;
}

// Runs the tracker, the onset detection and the spectrum over the hop in the followers' input.
void followHop(Followers &f, BeatTrack &track) {
    aubio_tempo_do(f.tracker.get(), f.in.get(), f.out.get());
    double beat = track.regionStart + static_cast<double>(aubio_tempo_get_last_s(f.tracker.get()));
    if (f.out->data[0] != 0 && beat >= track.regionStart && beat < track.regionEnd &&
        (track.beats.empty() || beat > track.beats.back())) {
        track.beats.push_back(beat);
        track.periods.push_back(aubio_tempo_get_period_s(f.tracker.get()));
    }
    aubio_onset_do(f.onsets.get(), f.in.get(), f.out.get());
    track.onsetStrength.push_back(aubio_onset_get_descriptor(f.onsets.get()));
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
                const std::atomic<bool> *stop, std::string &error, BeatFailure *failure) {
    SF_INFO info{};
    SndFile file;
    sf_count_t first = 0, count = 0;
    if (failure)
        *failure = BeatFailure::Unreadable;
    if (!openRegion(path, start, end, file, info, first, count, error))
        return false;
    track = BeatTrack{};
    track.regionStart = static_cast<double>(first) / info.samplerate;
    track.regionEnd = track.regionStart + static_cast<double>(count) / info.samplerate;
    if (count <= 0)
        return true;
    uint_t window = trackerWindow(info.samplerate), hop = window / 2;
    track.hopSeconds = static_cast<double>(hop) / info.samplerate;
    Followers f;
    if (failure)
        *failure = BeatFailure::SetUp;
    if (!startFollowers(f, window, hop, info.samplerate, error))
        return false;
    std::vector<float> block(static_cast<size_t>(hop) * static_cast<size_t>(info.channels));
    reserveHops(track, static_cast<size_t>(count / hop) + 1);
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
