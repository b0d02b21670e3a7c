// Beat finding: the beats of the region the engine will read, and the tempo
// plan made of them.
#include "app/starter/pipeline/stages.h"

Staged<BeatsFound> stageFindBeats(const EngineAudio &audio, const RunPlan &plan) {
    Staged<BeatsFound> r;
    BeatTrack track;
    std::string error;
    BeatFailure failure;
    if (!trackBeats(audio.wave, plan.region.start, plan.region.end, track, &stopRequested, error, &failure)) {
        r.failure = failureOf(failure == BeatFailure::Unreadable ? FailureKind::BeatsUnreadable
                                                                 : FailureKind::BeatTrackerSetUp,
                              audio.wave, error);
        return r;
    }
    if (stopRequested) {
        r.failure = interrupted();
        return r;
    }
    r.value.tempo = planTempo(track, plan.settings, plan.tempo > 0 ? plan.tempo : 120);
    r.value.ran = true;
    return r;
}
