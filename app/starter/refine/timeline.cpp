// The engine's frame positions replayed from its settings, one grid step at a time.
#include "app/starter/refine/timeline.h"

#include <algorithm>
#include <cmath>

namespace {

// Seconds of grid beyond the recording, for notes the engine ends after it.
constexpr double GridBeyondEnd = 8;
// At most this many grid steps are replayed (a tempo file of zeros never moves on).
constexpr size_t MostSteps = size_t(1) << 22;

// Truncation toward zero saturating to 32 bits, NaN to 0, like the engine's.
int truncated(double v) {
    if (std::isnan(v))
        return 0;
    return static_cast<int>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}

// What the engine derives from the settings for its frame positions.
struct FrameRule {
    int rate = 44100, bytesPerFrame = 2, stride = 2, framesPerStep = 2;
    int64_t dataOffset = 44, startByte = 44;
    double framesPerBeat = 8, samplesPerFrame = 0;
    int tempoFramesPerBeat = 0, tempoBeatsPerFrame = 0;
    float tempoSampleFactor = 0;
};

// The analysis rate: VirtualSR when it is 11025, 22050 or 44100 and not above the file's (filter path 11025).
int analysisRate(const SettingsList &s, int rate) {
    Settings e = engineSettings(s);
    return analysisRateFor(e.Filter == -1 ? e.VirtualSR : FilterVirtualSR, rate);
}

// The grid's geometry from the metre, tempo, resolution and sensitivity.
void gridGeometry(const SettingsList &s, int vsr, FrameRule &r, Timeline &t) {
    Settings e = engineSettings(s);
    int num = numeratorInRange(e.TimeSignatureNumerator), den = denominatorInRange(e.TimeSignatureDenominator);
    double tempo = tempoInRange(e.Tempo);
    int sens = sensitivityInRange(e.Sensitivity);
    float res = resolutionInRange(e.Resolution);
    double q = std::pow(2.0, static_cast<double>(res)), b = std::pow(2.0, den);
    r.framesPerStep = 1 << sens;
    r.framesPerBeat = gridFramesPerBeat(sens, res, den);
    r.samplesPerFrame = vsr / (r.framesPerBeat * (tempo * 0.016666666666666666));
    t.stepsPerBeat = r.framesPerBeat / r.framesPerStep;
    int bar = truncated(q / b * num + 0.5);
    t.stepsPerBar = e.CropSilence != 0 ? 1 : bar;
    r.tempoFramesPerBeat = truncated(r.framesPerBeat + 0.1);
    if (r.tempoFramesPerBeat == 0) {
        r.tempoBeatsPerFrame = truncated(1 / r.framesPerBeat + 0.5);
        r.tempoSampleFactor = static_cast<float>(vsr * 0.001);
    } else {
        r.tempoSampleFactor = static_cast<float>(vsr * 0.001 / r.tempoFramesPerBeat);
    }
}

// The next tempo-file value; the end of the file reads as the end marker.
int nextValue(const std::vector<uint16_t> &map, size_t &i) { return i < map.size() ? map[i++] : 65535; }

// Replays the frame positions and keeps the time of every framesPerStep-th frame.
void replayFrames(const FrameRule &r, const std::vector<uint16_t> &map, double until, Timeline &t) {
    double position = static_cast<double>(r.startByte) / r.stride;
    int value = 0, sinceValue = r.tempoFramesPerBeat;
    float advance = 0;
    size_t next = 0;
    double bytesPerSecond = static_cast<double>(r.rate) * r.bytesPerFrame;
    for (int64_t f = 0;; ++f) {
        int64_t byte = static_cast<int64_t>(std::trunc(position + 0.5)) * r.stride;
        double seconds = static_cast<double>(byte - r.dataOffset) / bytesPerSecond;
        if (f % r.framesPerStep == 0) {
            t.stepTimes.push_back(seconds);
            if ((seconds > until && t.stepTimes.size() >= 2) || t.stepTimes.size() >= MostSteps)
                return;
        }
        if (!t.followsMap || value == 65535) {
            position += r.samplesPerFrame;
        } else if (r.tempoFramesPerBeat != 0) {
            if (sinceValue == r.tempoFramesPerBeat) {
                value = nextValue(map, next);
                sinceValue = 0;
                advance = static_cast<float>(value * static_cast<double>(r.tempoSampleFactor));
            }
            if (value == 65535) {
                position += r.samplesPerFrame;
            } else {
                sinceValue += 1;
                position += advance;
            }
        } else {
            value = 0;
            for (int i = 0; i < r.tempoBeatsPerFrame; ++i)
                value += nextValue(map, next);
            position += value == 65535 ? r.samplesPerFrame : value * static_cast<double>(r.tempoSampleFactor);
        }
    }
}

}  // namespace

bool buildTimeline(const SettingsList &s, const std::vector<uint16_t> &map, const WaveHeader &h,
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
    r.stride = std::max(1, (h.rate / vsr) * r.bytesPerFrame);
    r.dataOffset = h.dataOffset;
    double start = settingInt(s, "EntireWave", 0) != 0 ? 0 : settingDecimal(s, "StartPoint", 0);
    if (!std::isfinite(start) || start > audioSeconds || start < -audioSeconds)
        start = 0;
    r.startByte = static_cast<int64_t>(std::trunc(start * h.rate * r.bytesPerFrame + h.dataOffset + 0.5));
    gridGeometry(s, vsr, r, t);
    t.followsMap = !map.empty();
    if (!(r.samplesPerFrame > 0) || !std::isfinite(r.samplesPerFrame)) {
        error = "the settings give no grid";
        return false;
    }
    replayFrames(r, map, audioSeconds + GridBeyondEnd, t);
    return true;
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
