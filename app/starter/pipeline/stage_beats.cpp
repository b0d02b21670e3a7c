// Beat finding: the beats of the region the engine will read, and the tempo
// plan made of them.
#include "app/starter/pipeline/stages.h"

#include "app/starter/cli/failures.h"

Staged<BeatsFound> stageFindBeats(const EngineAudio &audio, const RunPlan &plan) {
    Staged<BeatsFound> r;
    BeatTrack track;
    std::string cause;
    BeatFailure failure = BeatFailure::Unreadable;
    if (!trackBeats(audio.wave, plan.region.start, plan.region.end, track, stopFlag(), cause, &failure)) {
        r.failure = beatFailure(audio.wave, failure, cause);
        return r;
    }
    if (*stopFlag()) {
        r.failure = interrupted();
        return r;
    }
    r.value.tempo = planTempo(track, plan.engine, plan.metreGiven, plan.tempo > 0 ? plan.tempo : 120);
    r.value.ran = true;
    return r;
}
