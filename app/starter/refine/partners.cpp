// Upper partners of ringing notes without attacks of their own.
#include "app/starter/refine/partners.h"

namespace {

// The interval (12, 19 or 24) from a note that started before n (by more than window) and still
// sounds at its onset, or 0.
int ringingPartner(const std::vector<Working> &w, const TimedNote &n, double window) {
    for (int interval : {12, 19, 24})
        for (const Working &x : w)
            if (!x.dropped && x.note.pitch == n.pitch - interval && x.note.on < n.on - window && x.note.off > n.on)
                return interval;
    return 0;
}

}  // namespace

void dropSoundingPartners(std::vector<Working> &w, const ProbedEvidence &v, const RefineThresholds &th,
                          RefineCounts &counts) {
    for (Working &x : w) {
        const TimedNote &n = x.note;
        if (x.dropped || !measurable(n.pitch))
            continue;
        int interval = ringingPartner(w, n, th.partnerWindow);
        if (interval == 0)
            continue;
        bool attacked = strongestAttack(v.evidence, n.pitch, n.on - th.partnerWindow, n.on + th.partnerWindow,
                                        th.partnerAttack, th) != nullptr;
        if (!attacked || probeValue(v, riseProbe(v.evidence, n.pitch, interval, n.on, th)) < th.partnerOwnRise) {
            x.dropped = true;
            counts.dropped += 1;
        }
    }
}
