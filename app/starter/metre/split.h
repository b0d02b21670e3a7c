// What lies between the beats of a reading, and whether alternate beats differ: evidence
// that a slow beat is really two beats, or a fast one half of one, measured on the grid of
// beat units the reading was chosen on.
#pragma once

#include "app/starter/metre/choice.h"

// The reading's beats against their halves, and its even beats (from a downbeat) against its
// odd ones: the share of units with an onset, the mean accent and bass (standard deviations
// over the units) and the mean chord change (cosine distance, 0..1) there.
struct BeatHalves {
    double beatOnsets = 0, halfOnsets = 0;
    double beatAccent = 0, halfAccent = 0;
    double beatBass = 0, halfBass = 0;
    double beatChange = 0, halfChange = 0;  // the chroma half a beat before against half a beat after
    double evenAccent = 0, oddAccent = 0;
    double evenBass = 0, oddBass = 0;
    double evenChange = 0, oddChange = 0;   // the chroma a beat before against a beat after
};

// A reading's beat slower than this (beats a minute) may be two written beats: doubled it
// stays within what is written (the development pieces read at half their beat were read
// at 36 to 99).
constexpr double SplitBelowTempo = 100;
// Its halves are beats when their accents fall short of the beats' by less than this
// (standard deviations): they carry onsets, not the quiet of a slow beat's halves,
constexpr double SplitAccentShortfall = 1.5;
// and the chords change at them nearly as much as at the beats (cosine distance): the harmony
// moves every half of the reading's beat, where a slow beat's harmony moves on its beats.
constexpr double SplitChangeShortfall = 0.05;

/** The evidence at the beats of the reading (its beat an even number of units), at their
 *  halves and at its even and odd beats; all 0 where the evidence holds no whole beat. */
BeatHalves beatHalves(const MetreEvidence &e, const MetreChoice &c);
/** How far the mean accent at the reading's beats (standard deviations over the units, as in
 *  `accents`) stands above the mean at its beats' parts: the halves of a simple beat, the
 *  thirds of a compound one; 0 where the accents hold no whole beat. */
double partsContrast(const std::vector<double> &accents, const MetreChoice &c);
/** Whether the halves of a simple reading's beats at `tempo` (beats a minute) are beats of
 *  their own: the reading slower than SplitBelowTempo, chords measured changing at its beats,
 *  its halves accented and its chords
 *  changing there within SplitAccentShortfall and SplitChangeShortfall of the beats. */
bool halvesAreBeats(const BeatHalves &h, double tempo);
