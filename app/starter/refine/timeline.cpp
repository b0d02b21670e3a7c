// The engine's frame positions replayed from its settings, one grid step at a time.
#include "app/starter/refine/timeline.h"

#include <algorithm>
#include <cmath>

namespace {

// Seconds of grid beyond the recording, for notes the engine ends after it.
constexpr double GridBeyondEnd = 8;
// At most this many grid steps are replayed (a tempo file of zeros never moves on).
constexpr size_t MostSteps = size_t(1) << 22;
// A number of dropped bars whose score falls short of the best by at most this share lines the
// notes up as well: a passage played again exactly scores within a few tenths of a per cent of itself.
constexpr double DroppedBarsTie = 0.01;
// A bar line this close after the region's start (in grid steps) is taken to lie on it.
constexpr double OnTheStart = 1e-6;

// What the engine derives from the settings for its frame positions.
struct FrameRule {
    int rate = 44100, bytesPerFrame = 2, stride = 2;
    int framesPerStep = 2;
    int64_t dataOffset = 44, startByte = 44;
    double samplesPerFrame = 0;
    TempoSpacing tempo{0, 0, 0.0f};
};

// The analysis rate: VirtualSR when it is 11025, 22050 or 44100 and not above the file's (filter path 11025).
int analysisRate(const Settings &e, int rate) {
    return analysisRateFor(e.Filter == -1 ? e.VirtualSR : FilterVirtualSR, rate);
}

// The grid's geometry from the metre, tempo, resolution and sensitivity.
void gridGeometry(const Settings &e, int vsr, FrameRule &r, Timeline &t) {
    int num = numeratorInRange(e.TimeSignatureNumerator), den = denominatorInRange(e.TimeSignatureDenominator);
    int sens = sensitivityInRange(e.Sensitivity);
    float res = resolutionInRange(e.Resolution);
    double framesPerBeat = gridFramesPerBeat(sens, res, den);
    r.framesPerStep = 1 << sens;
    r.samplesPerFrame = fixedFrameHop(vsr, framesPerBeat, tempoInRange(e.Tempo) * 0.016666666666666666);
    r.tempo = tempoSpacing(framesPerBeat, vsr);
    t.stepsPerBeat = framesPerBeat / r.framesPerStep;
    t.barSteps = gridStepsPerBar(res, den, num);
    t.stepsPerBar = e.CropSilence != 0 ? 1 : t.barSteps;
}

// The tempo file's values one at a time; past their end the end marker, as the engine reads a file.
struct ValueSource {
    const std::vector<uint16_t> *values;
    size_t next;
};

int nextValue(void *source) {
    ValueSource &v = *static_cast<ValueSource *>(source);
    return v.next < v.values->size() ? (*v.values)[v.next++] : TempoFileEnd;
}

// Replays the frame positions and keeps the time of every framesPerStep-th frame.
void replayFrames(const FrameRule &r, const std::vector<uint16_t> &map, double until, Timeline &t) {
    double position = static_cast<double>(r.startByte) / r.stride;
    int64_t byte = r.startByte;
    TempoPace pace = firstTempoPace(r.tempo);
    ValueSource source{&map, 0};
    double bytesPerSecond = static_cast<double>(r.rate) * r.bytesPerFrame;
    for (int64_t f = 0;; ++f) {
        double seconds = static_cast<double>(byte - r.dataOffset) / bytesPerSecond;
        if (f % r.framesPerStep == 0) {
            t.stepTimes.push_back(seconds);
            if ((seconds > until && t.stepTimes.size() >= 2) || t.stepTimes.size() >= MostSteps)
                return;
        }
        position = nextFramePosition(position, r.samplesPerFrame, r.tempo, t.followsMap ? &pace : nullptr, nextValue,
                                     &source);
        byte = frameByteAt(position, r.stride);
    }
}

}  // namespace

bool buildTimeline(const Settings &s, const std::vector<uint16_t> &map, const WaveHeader &h,
                   double audioSeconds, Timeline &t, std::string &error) {
    if (!h.riff || h.rate <= 0 || h.channels <= 0 || h.bits < 8 || h.dataOffset < 0) {
        error = "the recording's WAV header cannot be read as the engine reads it";
        return false;
    }
    t = Timeline{};
    FrameRule r;
    r.rate = h.rate;
    r.bytesPerFrame = h.channels * (h.bits / 8);
    int vsr = analysisRate(s, h.rate);
    r.stride = std::max(1, inputStrideFor(h.rate, vsr, h.channels, h.bits));
    r.dataOffset = h.dataOffset;
    double start = s.EntireWave != 0 ? 0 : s.StartPoint;
    if (!std::isfinite(start))
        start = 0;
    r.startByte = startByteAt(regionStart(start, audioSeconds, audioSeconds), h.rate, r.bytesPerFrame, h.dataOffset);
    gridGeometry(s, vsr, r, t);
    t.followsMap = !map.empty();
    if (!(r.samplesPerFrame > 0) || !std::isfinite(r.samplesPerFrame)) {
        error = "the settings give no grid";
        return false;
    }
    replayFrames(r, map, audioSeconds + GridBeyondEnd, t);
    return true;
}

int64_t fewestDroppedBars(const std::vector<double> &scores, int stepsPerBar) {
    if (scores.empty())
        return 0;
    double best = *std::max_element(scores.begin(), scores.end());
    size_t k = 0;
    while (scores[k] < best * (1 - DroppedBarsTie))
        ++k;
    return static_cast<int64_t>(k) * stepsPerBar;
}

double secondsAtStep(const Timeline &t, double step) {
    const std::vector<double> &st = t.stepTimes;
    long i = std::clamp(static_cast<long>(std::floor(step)), 0L, static_cast<long>(st.size()) - 2);
    return st[i] + (step - i) * (st[i + 1] - st[i]);
}

double stepAtSeconds(const Timeline &t, double seconds) {
    const std::vector<double> &st = t.stepTimes;
    long i = static_cast<long>(std::upper_bound(st.begin(), st.end(), seconds) - st.begin()) - 1;
    i = std::clamp(i, 0L, static_cast<long>(st.size()) - 2);
    double span = st[i + 1] - st[i];
    return i + (span > 0 ? (seconds - st[i]) / span : 0.0);
}

double secondsAtTick(const Timeline &t, double tick) {
    return secondsAtStep(t, tick / TicksPerStep + static_cast<double>(t.droppedSteps));
}

double tickAtSeconds(const Timeline &t, double seconds) {
    return (stepAtSeconds(t, seconds) - static_cast<double>(t.droppedSteps)) * TicksPerStep;
}

double stepLengthAt(const Timeline &t, double seconds) {
    double j = std::floor(stepAtSeconds(t, seconds));
    return secondsAtStep(t, j + 1) - secondsAtStep(t, j);
}

WrittenTime writtenTime(const Timeline &t, double regionStart) {
    WrittenTime w;
    w.regionStart = regionStart;
    double bar = std::max(1, t.barSteps), start = stepAtSeconds(t, regionStart);
    double firstBar = bar * std::ceil((start - OnTheStart) / bar);
    // Whole steps of the pick-up; a pick-up that rounds to a whole bar is none.
    int64_t pickup = std::llround(firstBar - start);
    if (pickup >= static_cast<int64_t>(bar)) {
        firstBar -= bar;
        pickup = 0;
    }
    w.pickupSteps = std::max<int64_t>(pickup, 0);
    w.leadEndStep = firstBar - static_cast<double>(w.pickupSteps) + 1;
    return w;
}

double writtenTick(const Timeline &t, const WrittenTime &w, double seconds) {
    double end = secondsAtStep(t, w.leadEndStep);
    if (seconds >= end || !(end > w.regionStart))
        return w.leadTicks + (stepAtSeconds(t, seconds) - w.leadEndStep) * TicksPerStep;
    return (seconds - w.regionStart) / (end - w.regionStart) * w.leadTicks;
}
