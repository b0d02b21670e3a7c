// What the rules ask of the evidence besides its attacks: a key's mean level,
// its fundamental's largest rise, or its rise beyond a lower key's partials,
// each over a span of hops. From evidence that keeps every value a probe is
// read at once; for a swept file the probes a set of notes may ask are
// listed first, read from the cells the sweep kept where it kept them, and
// the rest measured in one pass along the recording.
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "app/starter/refine/evidence.h"

// What a probe measures over its hops (each clamped into the recording).
enum class ProbeKind : std::uint8_t {
    MeanLevel,             // mean of the 1/h-weighted level
    MeanFundamental,       // mean of the fundamental's level
    FundamentalRise,       // largest rise of the fundamental, at least 0
    PartnerRise12,         // largest long rise beyond the partials of the key an octave below ...
    PartnerRise19,         // ... an octave and a fifth below
    PartnerRise24,         // ... two octaves below
};

// One question to the evidence: a kind, a key and the hops [from, to]. Twelve bytes: a long
// recording's rules list tens of thousands, and the list is the largest thing they keep.
struct Probe {
    ProbeKind kind = ProbeKind::MeanLevel;
    std::int16_t pitch = 60;
    int from = 0;
    int to = 0;
    /** Ordered by kind, key, first hop and last hop (inline: the list is sorted and searched often). */
    bool operator<(const Probe &o) const {
        return std::tie(kind, pitch, from, to) < std::tie(o.kind, o.pitch, o.from, o.to);
    }
    /** The same question. */
    bool operator==(const Probe &o) const {
        return kind == o.kind && pitch == o.pitch && from == o.from && to == o.to;
    }
};

// The evidence with the answers to the probes measured for it.
struct ProbedEvidence {
    const AttackEvidence &evidence;
    std::vector<Probe> probes;    // sorted, each once
    std::vector<double> answers;  // one per probe
};

/** The partner kind of an interval of 12, 19 or 24 semitones. */
ProbeKind partnerKind(int interval);
/** Sorts the probes and keeps each once. */
void keepEachOnce(std::vector<Probe> &probes);
/** Measures the wanted probes when the evidence does not keep every value (for a file it reads
 *  again); none are measured when it does. */
ProbedEvidence probeEvidence(const AttackEvidence &e, std::vector<Probe> wanted);
/** The answer to a probe: read from the values kept, else measured beforehand, else measured now. */
double probeValue(const ProbedEvidence &v, const Probe &q);
/** How many probes this process has measured now, one at a time: each is a pass of its own over its
 *  stretch of the recording, with windows and transforms made for it, so a rule that asks what its
 *  list of wanted probes lacks costs far more than the probe. */
size_t probesMeasuredAlone();
