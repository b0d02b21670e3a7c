// Beat finding: the beats of the region the engine will read, and the tempo
// plan made of them; with --beats, the listing that ends the file.
#include "app/starter/pipeline/stages.h"

#include <cstdio>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/messages.h"

namespace {

// A beat this little before the region's start (seconds, a sample's rounding) is listed as within it.
constexpr double BeatBeforeRegion = 1e-4;

// Ends a --beats job with its listing.
void finishListing(Job &job, double regionStart) {
    job.outcome.code = exitStatus(ExitCode::Done);
    job.outcome.message = beatListing(job, regionStart);
    job.outcome.kind = OutcomeKind::Listing;
}

}  // namespace

bool stageFindBeats(Job &job, const BatchConfig &config) {
    double tempo = settingDecimal(config.settings, "Tempo", 120);
    Region region = settingsRegion(config.settings);
    BeatTrack track;
    std::string error;
    BeatFailure failure;
    if (!trackBeats(job.audio.wave, region.start, region.end, track, &stopRequested, error, &failure)) {
        failJob(job, beatFailureCode(failure), beatFailureSentence(failure, error));
        return false;
    }
    if (stopRequested) {
        failInterrupted(job);
        return false;
    }
    job.beats.tempo = planTempo(track, config.settings, tempo > 0 ? tempo : 120);
    job.beats.ran = true;
    if (!config.beatsOnly)
        return true;
    finishListing(job, region.start);
    return false;
}

std::string planMetreWords(const TempoPlan &t) {
    return metreWords(t.numerator, t.denominatorPower, t.metreGiven, t.metreJudged, t.metreWeak || t.pulseWeak);
}

std::string beatListing(const Job &job, double regionStart) {
    const TempoPlan &t = job.beats.tempo;
    char line[200];
    if (!t.tracked)
        return "# " + job.input + ": " + fallbackSentence(t.fallback, t.tempo) + "\n";
    // The grid may reach back before the region to a downbeat of a pick-up: only the beats within it are listed.
    size_t first = 0;
    while (first < t.beats.size() && t.beats[first] < regionStart - BeatBeforeRegion)
        ++first;
    std::snprintf(line, sizeof line, ": %zu beats, median tempo %.2f beats per minute; %s\n", t.beats.size() - first,
                  t.beatTempo, planMetreWords(t).c_str());
    std::string text = "# " + job.input + line;
    for (size_t i = first; i < t.beats.size(); ++i) {
        std::snprintf(line, sizeof line, i < t.downbeats.size() && t.downbeats[i] ? "%.3f downbeat\n" : "%.3f\n",
                      t.beats[i]);
        text += line;
    }
    return text;
}
