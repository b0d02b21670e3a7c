// The tuning of a recording, from the peaks of short spectra spread over it.
#include "app/starter/tuning/tuning.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <fftw3.h>

#include "app/starter/audio/fft_plans.h"
#include "app/starter/audio/sound_file.h"

namespace {

constexpr double Pi = 3.14159265358979323846;

// One window's transform: the windowed samples in, the bins out, and FFTW's plan for them.
struct TuningTransform {
    int size = 0;
    std::vector<float> shape;   // the Hann window
    std::unique_ptr<float, FftwFree> input;
    std::unique_ptr<fftwf_complex, FftwFree> output;
    fftwf_plan plan = nullptr;
};

bool startTransform(TuningTransform &t, int size) {
    t.size = size;
    t.shape.resize(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        t.shape[static_cast<size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(2 * Pi * i / size));
    t.input.reset(static_cast<float *>(fftwf_malloc(sizeof(float) * static_cast<size_t>(size))));
    t.output.reset(static_cast<fftwf_complex *>(fftwf_malloc(sizeof(fftwf_complex) * static_cast<size_t>(size / 2 + 1))));
    if (!t.input || !t.output)
        return false;
    t.plan = realPlan(size, t.input.get(), t.output.get());
    return t.plan != nullptr;
}

// The magnitudes of a window of mono samples (size of them) at rate, a full-scale sine peaking at
// 1: the bins up to the highest peak's neighbours, those the peaks are looked for in.
void windowMagnitudes(TuningTransform &t, const float *samples, int rate, std::vector<float> &magnitudes) {
    for (int i = 0; i < t.size; ++i)
        t.input.get()[i] = samples[i] * t.shape[static_cast<size_t>(i)];
    fftwf_execute_dft_r2c(t.plan, t.input.get(), t.output.get());
    long bins = std::min(static_cast<long>(t.size / 2 + 1), std::lround(TuningHighestPeak * t.size / rate) + 4);
    magnitudes.resize(static_cast<size_t>(bins));
    const float scale = 4.0f / static_cast<float>(t.size);
    for (size_t k = 0; k < magnitudes.size(); ++k) {
        float re = t.output.get()[k][0], im = t.output.get()[k][1];
        magnitudes[k] = std::sqrt(re * re + im * im) * scale;
    }
}

double decibels(float magnitude) { return 20 * std::log10(std::max(static_cast<double>(magnitude), 1e-12)); }

// The deviation of a frequency from its nearest key of A = 440 Hz, in cents, -50 up to +50.
double centsFromKey(double hz) {
    double cents = 1200 * std::log2(hz / StandardReferencePitch);
    return cents - 100 * std::round(cents / 100);
}

// The histogram's bin of a deviation (a deviation of +50 is one of -50).
size_t binOf(double cents) {
    long bin = static_cast<long>(std::floor(cents + 50));
    return static_cast<size_t>(((bin % 100) + 100) % 100);
}

// The bins' weights summed over a triangle of half-width 3 around each bin, round the circle.
TuningHistogram smoothed(const TuningHistogram &h) {
    TuningHistogram s{};
    for (int b = 0; b < 100; ++b)
        for (int d = -3; d <= 3; ++d)
            s[static_cast<size_t>(b)] += h[static_cast<size_t>((b + d + 100) % 100)] * (4 - std::abs(d));
    return s;
}

// Reads count frames from frame on, mixed to mono, into mono from index at.
bool readMono(SNDFILE *file, const SF_INFO &info, int64_t frame, int64_t count, std::vector<float> &interleaved,
              std::vector<float> &mono, size_t at) {
    size_t channels = static_cast<size_t>(info.channels);
    interleaved.resize(static_cast<size_t>(count) * channels);
    if (count <= 0)
        return true;
    if (sf_seek(file, frame, SEEK_SET) < 0)
        return false;
    sf_count_t got = sf_readf_float(file, interleaved.data(), count);
    for (sf_count_t i = 0; i < got; ++i) {
        double sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += interleaved[static_cast<size_t>(i) * channels + c];
        mono[at + static_cast<size_t>(i)] = static_cast<float>(sum / static_cast<double>(channels));
    }
    return true;
}

// Moves the window of mono samples (size of them) from frame from to frame to, zeros from frame
// last on. Where the two overlap, the samples already read are kept and only the rest is read,
// so that each frame of windows closer than their length is read once.
bool slideWindow(SNDFILE *file, const SF_INFO &info, int64_t from, int64_t to, int64_t last, int size,
                 std::vector<float> &interleaved, std::vector<float> &mono) {
    int64_t kept = from >= 0 && to >= from ? std::max<int64_t>(0, from + size - to) : 0;
    if (kept < size)  // a window that does not move keeps every sample
        std::copy(mono.end() - kept, mono.end(), mono.begin());
    std::fill(mono.begin() + kept, mono.end(), 0.0f);
    int64_t next = to + kept;
    return readMono(file, info, next, std::min<int64_t>(to + size, last) - next, interleaved, mono,
                    static_cast<size_t>(kept));
}

// The first frames of the windows over [first, last): every TuningWindowSpacing seconds, or
// TuningMostWindows spread evenly when that would be more; one window when the span is shorter.
std::vector<int64_t> windowStarts(int64_t first, int64_t last, int size, int rate) {
    std::vector<int64_t> starts;
    int64_t span = last - first - size;
    if (span <= 0)
        return {first};
    double spacing = std::max(TuningWindowSpacing * rate, static_cast<double>(span) / (TuningMostWindows - 1));
    for (double at = 0; at <= static_cast<double>(span); at += spacing)
        starts.push_back(first + static_cast<int64_t>(at));
    return starts;
}

// The frame at seconds, within 0..frames (a time not a number: 0).
int64_t frameAt(double seconds, int rate, int64_t frames) {
    double at = seconds * rate;
    return at >= 0 ? static_cast<int64_t>(std::min(at, static_cast<double>(frames))) : 0;
}

// The peaks of the windows over frames [first, last) at rate into h, each window's samples put in
// by fill(start, window); false as soon as fill is (or when no transform can be made).
template <class Fill>
bool addWindowPeaks(int64_t first, int64_t last, int rate, Fill fill, TuningHistogram &h) {
    int size = tuningWindowSize(rate);
    TuningTransform t;
    if (!startTransform(t, size))
        return false;
    std::vector<float> window(static_cast<size_t>(size), 0.0f), magnitudes;
    for (int64_t start : windowStarts(first, last, size, rate)) {
        if (!fill(start, window))
            return false;
        windowMagnitudes(t, window.data(), rate, magnitudes);
        addTuningPeaks(magnitudes, size, rate, h);
    }
    return true;
}

}  // namespace

int tuningWindowSize(int rate) {
    int size = 256;
    while (size < 0.17 * rate && size < (1 << 16))
        size *= 2;
    return size;
}

void addTuningPeaks(const std::vector<float> &magnitudes, int size, int rate, TuningHistogram &h) {
    long low = std::max(2L, std::lround(TuningLowestPeak * size / rate));
    long high = std::min(static_cast<long>(magnitudes.size()) - 3, std::lround(TuningHighestPeak * size / rate));
    if (high <= low)
        return;
    // Decibels of the bins the peaks and their neighbours take, the others left at 0.
    std::vector<double> db(magnitudes.size());
    for (size_t k = static_cast<size_t>(low - 2); k <= static_cast<size_t>(high + 2); ++k)
        db[k] = decibels(magnitudes[k]);
    double loudest = *std::max_element(db.begin() + low, db.begin() + high + 1);
    if (loudest < TuningQuietWindow)
        return;
    double floor = loudest - TuningPeakRange;
    for (long k = low; k <= high; ++k) {
        size_t i = static_cast<size_t>(k);
        if (!(db[i] > floor && db[i] > db[i - 1] && db[i] >= db[i + 1] && db[i] > db[i - 2] && db[i] >= db[i + 2]))
            continue;
        // The peak's frequency from a parabola through the log magnitudes of its bin and neighbours.
        double curve = db[i - 1] - 2 * db[i] + db[i + 1];
        double offset = curve < 0 ? 0.5 * (db[i - 1] - db[i + 1]) / curve : 0;
        double hz = (static_cast<double>(k) + offset) * rate / size;
        h[binOf(centsFromKey(hz))] += db[i] - floor;
    }
}

int referencePitchFor(double cents, double deadZone) {
    if (!(std::fabs(cents) >= deadZone))
        return StandardReferencePitch;
    long hz = std::lround(StandardReferencePitch * std::pow(2.0, cents / 1200));
    return static_cast<int>(std::clamp(hz, static_cast<long>(LowestReferencePitch),
                                       static_cast<long>(HighestReferencePitch)));
}

TuningFound tuningOfHistogram(const TuningHistogram &h, double deadZone) {
    TuningFound found;
    double total = 0;
    for (double w : h)
        total += w;
    if (!(total > 0))
        return found;
    TuningHistogram s = smoothed(h);
    int mode = static_cast<int>(std::max_element(s.begin(), s.end()) - s.begin());
    // The weighted mean round the circle of the bins near the mode, each at its middle.
    double x = 0, y = 0, near = 0;
    for (int d = -TuningModeWidth; d <= TuningModeWidth; ++d) {
        size_t b = static_cast<size_t>((mode + d + 100) % 100);
        double angle = (static_cast<double>(b) - 50 + 0.5) * 2 * Pi / 100;
        x += h[b] * std::cos(angle), y += h[b] * std::sin(angle), near += h[b];
    }
    found.share = near / total;
    if (found.share < TuningLeastShare)
        return found;
    found.measured = true;
    found.cents = std::atan2(y, x) * 100 / (2 * Pi);
    found.referencePitch = referencePitchFor(found.cents, deadZone);
    return found;
}

TuningFound tuningOfSamples(const std::vector<float> &samples, int rate, double deadZone) {
    TuningHistogram h{};
    auto copy = [&](int64_t start, std::vector<float> &window) {
        std::fill(window.begin(), window.end(), 0.0f);
        size_t from = static_cast<size_t>(start);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(from), std::min(window.size(), samples.size() - from),
                    window.begin());
        return true;
    };
    if (rate <= 0 || !addWindowPeaks(0, static_cast<int64_t>(samples.size()), rate, copy, h))
        return {};
    return tuningOfHistogram(h, deadZone);
}

bool measureTuning(const std::string &path, double start, double end, const std::atomic<bool> *stop,
                   TuningFound &found, std::string &error, double deadZone) {
    found = TuningFound{};
    SF_INFO info{};
    SoundFile sound = openSound(path, info);
    if (!sound.file || info.samplerate <= 0 || info.channels <= 0) {
        error = sf_strerror(nullptr);
        return false;
    }
    int rate = info.samplerate;
    int64_t frames = static_cast<int64_t>(info.frames);
    int64_t first = frameAt(start, rate, frames);
    int64_t last = end > start ? std::max(first, frameAt(end, rate, frames)) : frames;
    TuningHistogram h{};
    std::vector<float> interleaved;
    int64_t previous = -1;
    error = "out of memory";  // unless a stop or a read says otherwise
    auto read = [&](int64_t at, std::vector<float> &window) {
        if (stop && stop->load()) {
            error.clear();
            return false;
        }
        bool slid = slideWindow(sound.file.get(), info, previous, at, last, static_cast<int>(window.size()),
                                interleaved, window);
        previous = at;
        if (!slid)
            error = sf_strerror(sound.file.get());
        return slid;
    };
    if (!addWindowPeaks(first, last, rate, read, h))
        return false;
    error.clear();
    found = tuningOfHistogram(h, deadZone);
    return true;
}
