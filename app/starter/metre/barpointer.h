// A bar pointer: the position inside a bar, advancing one grid unit at a
// time through the evidence of a recording, each unit explained by what its
// position makes it (downbeat, beat, part of a beat, finer part, between
// parts). The best path under one reading of the grid (beat level, split,
// beats to a bar) is found by Viterbi; readings are compared by how well
// their best paths explain the same evidence.
#pragma once

#include <array>
#include <vector>

#include "app/starter/metre/choice.h"

// What a position in a bar makes of its unit.
enum class BarPlace { Downbeat, Beat, Part, Finer, Between };

// How likely a unit holds an onset, at each place (indexed by BarPlace).
using Chances = std::array<double, 5>;

// How likely a unit holds an onset, and a bass onset, at each place.
struct PlaceChances {
    Chances onset{}, bass{};
};

// The best path of the bar pointer through the evidence under one reading.
struct BarPath {
    double fit = 0;   // log-likelihood of the evidence along the path, per tracked beat
    int phase = 0;    // the unit of the first downbeat on the path, 0 .. bar units - 1
    std::vector<double> phaseFits;  // the best path's fit with its first downbeat at each phase
};

/** What position j (0 .. bar units - 1) of a bar of the reading is. */
BarPlace placeInBar(const MetreChoice &reading, int j);
/** The log-likelihood of one unit's evidence at a place with these chances of an onset and of a
 *  bass onset (the latter read only by the model's bass mixture): accent and bass in standard
 *  deviations, change the chord change there (0..1, -1 when unknown, counted on beats only),
 *  meanChange the mean chord change over the reading's beats; the model says how the bass is read. */
double unitFit(BarPlace place, const PlaceChances &chance, double accent, double bass, double change,
               double meanChange, const ReadingModel &model = {});
/** The best path of the bar pointer under the reading through accents, bass and the chord
 *  changes a beat either side of every unit (all one value per grid unit): a first path with
 *  the measured chances of an onset finds the bar's phase, a second with the piece's own
 *  shares of onsets at the parts along it gives the fit. With the model's bass mixture the
 *  first path reads the bass as one Gaussian per place and its phase is kept; the second reads
 *  it as the mixture, with the piece's own shares of bass onsets at the parts. phaseBonus (one
 *  per phase, or empty) adds what other evidence says of each phase to the fit per tracked beat. */
BarPath followBarPointer(const std::vector<double> &accents, const std::vector<double> &bass,
                         const std::vector<double> &change, const MetreChoice &reading,
                         const std::vector<double> &phaseBonus = {}, const ReadingModel &model = {});
