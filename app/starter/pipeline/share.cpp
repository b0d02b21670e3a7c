// One share of progress for the whole file: each stage weighs what it costs
// per second of audio, as measured, and a stage whose own reports lag moves
// on by the time it has taken against the time it is expected to take.
#include "app/starter/pipeline/pipeline.h"

#include <algorithm>
#include <cmath>

namespace {

// Wall-clock seconds per second of audio of each stage, measured with -j 1 on the 2-core build
// machine (shared with other work) over a 3-minute 48 kHz 24-bit stereo FLAC (twice), the same
// 3 minutes as a 44.1 kHz WAV, a 30 s 48 kHz FLAC and a 15 s 44.1 kHz WAV; each constant is about
// the median of those runs. Only their ratios shape the share; the absolute values pace a stage
// between its own reports.
constexpr double ConvertCost = 0.011;    // decoding and resampling: 0.0098 to 0.0117
constexpr double BeatsCost = 0.032;      // onsets, the pulse and the metre: 0.029 to 0.035
constexpr double EngineCost = 0.008;     // the engine at the starter's defaults: 0.0052 to 0.011
constexpr double RefineCost = 0.040;     // attack evidence and rewritten notes: 0.023 to 0.043
constexpr double SettleCost = 0.0005;    // reading the notes back, the summary: 0.00015 to 0.001
constexpr double ScoreCost = 0.0003;     // the MusicXML score, when one is written

// Within a stage, the time-paced share follows the elapsed time linearly up to this share and
// then approaches the end ever more slowly, so that a stage longer than expected never stops
// the line, and one shorter than expected jumps only forward.
constexpr double PacedLinearUpTo = 0.9;

// What a file's stages work through: the conversion the whole recording, the others the
// region asked for (seconds).
struct FileWork {
    double whole = 0;
    double region = 0;
    bool converted = false;
};

// Seconds of work a stage is expected to take for this file; 0 for a stage it does not run.
double stageCost(const FilePlan &file, const RunPlan &plan, const FileWork &w, Stage stage) {
    const bool transcribing = !plan.beatsOnly;
    switch (stage) {
    case Stage::Converting: return w.converted ? ConvertCost * w.whole : 0;
    case Stage::FindingBeats:
        return plan.tempoChoice == TempoChoice::Track || plan.beatsOnly ? BeatsCost * w.region : 0;
    case Stage::RunningEngine: return transcribing ? EngineCost * w.region : 0;
    case Stage::Refining: return transcribing && !plan.raw ? RefineCost * w.region : 0;
    case Stage::Settling:
        return transcribing ? (SettleCost + (file.scoreOutput.empty() ? 0 : ScoreCost)) * w.region : 0;
    default: return 0;
    }
}

}  // namespace

void planStageShare(const FilePlan &file, const RunPlan &plan, double audioSeconds, bool readableAsIs, Stage stage,
                    JobProgress &progress) {
    FileWork w{audioSeconds, 0, !readableAsIs};
    double end = plan.region.end > 0 ? std::min(plan.region.end, audioSeconds) : audioSeconds;
    w.region = std::max(0.0, end - std::max(0.0, plan.region.start));
    double before = 0, total = 0;
    for (int s = static_cast<int>(Stage::Checking); s < static_cast<int>(Stage::Done); ++s) {
        double cost = stageCost(file, plan, w, static_cast<Stage>(s));
        total += cost;
        if (s < static_cast<int>(stage))
            before += cost;
    }
    double own = stage == Stage::Done ? 0 : stageCost(file, plan, w, stage);
    progress.before = total > 0 ? before / total : stage == Stage::Done ? 1 : 0;
    progress.span = total > 0 ? own / total : 0;
    progress.expectedSeconds = own;
    progress.entered = std::chrono::steady_clock::now();
}

double fileShare(double before, double span, double reported, double elapsedSeconds, double expectedSeconds) {
    double paced = 0;
    if (expectedSeconds > 0) {
        double t = std::max(0.0, elapsedSeconds / expectedSeconds);
        paced = t <= PacedLinearUpTo ? t
                                     : 1 - (1 - PacedLinearUpTo) * std::exp(-(t - PacedLinearUpTo) / (1 - PacedLinearUpTo));
    }
    double stage = std::clamp(std::max(reported, paced), 0.0, 1.0);
    return std::clamp(before + span * stage, 0.0, 1.0);
}
