// The learned models of the refinement: the logistic models of the proposal rule's candidates and of the
// engine's own notes (tools/eval/learn_add.py, learn_drop.py), and boosted trees for both and for the
// soft re-strikes (tools/eval/learn_trees.py).
#include "app/starter/refine/learned.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

namespace {

// Two lists of names as one, the first's then the second's.
template <std::size_t N, std::size_t M>
constexpr std::array<const char *, N + M> joined(const std::array<const char *, N> &a,
                                                 const std::array<const char *, M> &b) {
    std::array<const char *, N + M> out{};
    std::copy(a.begin(), a.end(), out.begin());
    std::copy(b.begin(), b.end(), out.begin() + N);
    return out;
}

constexpr std::array<const char *, ProfileInputCount> ProfileNames = {
    "around-31", "around-28", "around-24", "around-19", "around-17", "around-12", "around-7", "around-5",
    "around-2", "around-1", "around+1", "around+2", "around+3", "around+4", "around+7", "around+12",
    "around+14", "around+16", "around+19", "around+24", "around+28", "around+31", "change-31", "change-28",
    "change-24", "change-19", "change-17", "change-12", "change-7", "change-5", "change-2", "change-1",
    "change+0", "change+1", "change+2", "change+3", "change+4", "change+7", "change+12", "change+14",
    "change+16", "change+19", "change+24", "change+28", "change+31"};

constexpr std::array<const char *, AddFeatureCount> AddNames = {
    "strength", "shortRise", "rise", "level", "below", "peak", "over", "lowerSounds", "attackLevel", "pitch",
    "sounding"};

constexpr std::array<const char *, DropFeatureCount> DropNames = {
    "strength", "shortRise", "nearStrength", "level", "rise", "below", "over", "lowerSounds", "struck", "peak",
    "attackLevel", "pitch", "sounding", "confirmed", "moved"};

constexpr std::array<const char *, RestrikeFeatureCount> RestrikeNames = {
    "strength", "shortRise", "rise", "ownRise", "startsBelow", "level", "renewal", "faded", "dip", "age", "steps",
    "below", "peak", "attackLevel", "pitch", "sounding"};

// A model's inputs followed by those of a partial profile (around every key but the own one, then
// every change).
template <std::size_t N>
std::array<double, N + ProfileInputCount> withProfile(const std::array<double, N> &x, const PartialProfile &p) {
    std::array<double, N + ProfileInputCount> out{};
    std::copy(x.begin(), x.end(), out.begin());
    std::size_t i = N;
    for (std::size_t k = 0; k < ProfileKeys.size(); ++k)
        if (k != ProfileOwnKey)
            out[i++] = p.around[k];
    for (double c : p.change)
        out[i++] = c;
    return out;
}

}  // namespace

const std::array<const char *, ProfileInputCount> ProfileInputNames = ProfileNames;
const std::array<const char *, AddFeatureCount> AddFeatureNames = AddNames;
const std::array<const char *, AddTreeInputCount> AddTreeInputNames = joined(AddNames, ProfileNames);
const std::array<const char *, DropFeatureCount> DropFeatureNames = DropNames;
const std::array<const char *, DropTreeInputCount> DropTreeInputNames = joined(DropNames, ProfileNames);
const std::array<const char *, RestrikeFeatureCount> RestrikeFeatureNames = RestrikeNames;
const std::array<const char *, RestrikeTreeInputCount> RestrikeTreeInputNames = joined(RestrikeNames, ProfileNames);

namespace {

// One straight piece of the model's curve over one input: between lo and hi the chance's log-odds
// rise by weight a unit of the input (below lo nothing, beyond hi the whole piece). The log-odds are
// the bias plus every piece: each input bends on its own (a rise of 3 dB says much more than one of
// 3 more on top of 6), where one weight an input would not.
struct Segment {
    std::size_t input;  // index in AddFeatureNames
    double lo, hi, weight;
};

// The model fitted on every development piece (tools/eval/learn_add.py fit: the candidates at least
// 5.5 dB strong of 32 pieces in six renderings; a reference onset of the key within 50 ms that no
// note of the refinement without proposals matches makes one right).
constexpr Segment Segments[] = {
    {0, 5.5, 7, 0.223587},  // strength
    {0, 7, 9, 0.185041},  // strength
    {0, 9, 12, 0.156778},  // strength
    {0, 12, 18, 0.111936},  // strength
    {0, 18, 30, 0.0722988},  // strength
    {1, 0, 3, 0.874738},  // shortRise
    {1, 3, 6, 0.0691455},  // shortRise
    {1, 6, 12, -0.121123},  // shortRise
    {1, 12, 30, -0.0902029},  // shortRise
    {2, 0, 1, 1.20131},  // rise
    {2, 1, 2, -0.295625},  // rise
    {2, 2, 3, 0.658381},  // rise
    {2, 3, 6, -0.181786},  // rise
    {2, 6, 12, -0.188804},  // rise
    {2, 12, 30, -0.0147617},  // rise
    {3, -40, -30, 0.529883},  // level
    {3, -30, -24, 0.149685},  // level
    {3, -24, -20, 0.0244836},  // level
    {3, -20, -16, 0.124592},  // level
    {3, -16, -10, 0.0791759},  // level
    {3, -10, 0, 0.021295},  // level
    {4, -10, 0, 0.0971265},  // below
    {4, 0, 2, -0.0991557},  // below
    {4, 2, 4, 0.225362},  // below
    {4, 4, 8, 0.141487},  // below
    {4, 8, 30, 0.0980964},  // below
    {5, -20, -2, 0.0705632},  // peak
    {5, -2, 0, 0.118063},  // peak
    {5, 0, 1, 0.908913},  // peak
    {5, 1, 2, 0.406161},  // peak
    {5, 2, 4, 0.268013},  // peak
    {5, 4, 8, -0.0688809},  // peak
    {5, 8, 30, -0.0527121},  // peak
    {6, -30, -8, -0.0858911},  // over
    {6, -8, -5, 0.164161},  // over
    {6, -5, -3, 0.108156},  // over
    {6, -3, 0, 0.219391},  // over
    {6, 0, 10, 0.14139},  // over
    {7, 0, 1, 0.155847},  // lowerSounds
    {8, -40, -30, 0.142514},  // attackLevel
    {8, -30, -25, 0.199343},  // attackLevel
    {8, -25, -20, 0.140479},  // attackLevel
    {8, -20, -15, 0.114684},  // attackLevel
    {8, -15, -10, 0.466482},  // attackLevel
    {9, 21, 36, 0.0743682},  // pitch
    {9, 36, 48, 0.150885},  // pitch
    {9, 48, 60, 0.0450559},  // pitch
    {9, 60, 72, 0.0675707},  // pitch
    {9, 72, 84, -0.112462},  // pitch
    {9, 84, 108, -0.868069},  // pitch
    {10, 0, 1, -0.175205},  // sounding
    {10, 1, 2, -0.044671},  // sounding
    {10, 2, 4, -0.0107214},  // sounding
    {10, 4, 8, 0.128311},  // sounding
    {10, 8, 16, -0.0721812},  // sounding
};
constexpr double Bias = -19.6221;

// The model of the engine's own notes fitted on every development piece (tools/eval/learn_drop.py
// fit --l2 30: every measured note of 32 pieces in six renderings as the drop rules meet it, 29283;
// a reference onset of its key within 50 ms makes one right). The key's pieces stop at 84: above
// it too few notes to learn from, and a steep fall there dropped a flute's high notes.
// BEGIN DropSegments
constexpr Segment DropSegments[] = {
    {0, 0, 3, -0.0589688},  // strength
    {0, 3, 6, -0.391913},  // strength
    {0, 6, 9, 0.0036311},  // strength
    {0, 9, 12, -0.0199295},  // strength
    {0, 12, 18, -0.0662019},  // strength
    {0, 18, 30, 0.169563},  // strength
    {1, 0, 3, -0.0547046},  // shortRise
    {1, 3, 6, 0.520823},  // shortRise
    {1, 6, 12, 0.0275249},  // shortRise
    {1, 12, 30, -0.0889096},  // shortRise
    {2, 0, 3, 0.398038},  // nearStrength
    {2, 3, 6, 0.697611},  // nearStrength
    {2, 6, 9, -0.0388815},  // nearStrength
    {2, 9, 12, -0.102292},  // nearStrength
    {2, 12, 18, 0.141065},  // nearStrength
    {2, 18, 30, 0.10095},  // nearStrength
    {3, -40, -30, 0.00442448},  // level
    {3, -30, -24, 0.0117689},  // level
    {3, -24, -20, 0.0549414},  // level
    {3, -20, -16, -0.054048},  // level
    {3, -16, -10, 0.164333},  // level
    {3, -10, 0, 0.108404},  // level
    {4, 0, 1, 0.870707},  // rise
    {4, 1, 2, 0.789975},  // rise
    {4, 2, 3, -0.243249},  // rise
    {4, 3, 6, -0.0482347},  // rise
    {4, 6, 12, -0.0774413},  // rise
    {4, 12, 30, 0.0472305},  // rise
    {5, -10, 0, 0.0888349},  // below
    {5, 0, 2, -0.0189176},  // below
    {5, 2, 4, 0.290871},  // below
    {5, 4, 8, 0.290477},  // below
    {5, 8, 30, 0.19457},  // below
    {6, -30, -8, -0.170295},  // over
    {6, -8, -5, 0.200961},  // over
    {6, -5, -3, 0.209616},  // over
    {6, -3, 0, 0.223569},  // over
    {6, 0, 10, 0.0489544},  // over
    {7, 0, 1, -0.0412269},  // lowerSounds
    {8, 0, 1, -0.992456},  // struck
    {9, -20, -2, 0.13155},  // peak
    {9, -2, 0, 0.306892},  // peak
    {9, 0, 1, 0.139753},  // peak
    {9, 1, 2, 0.438224},  // peak
    {9, 2, 4, 0.137053},  // peak
    {9, 4, 8, 0.0354542},  // peak
    {9, 8, 30, -0.0452349},  // peak
    {10, -40, -30, 0.114921},  // attackLevel
    {10, -30, -25, 0.285531},  // attackLevel
    {10, -25, -20, 0.00699595},  // attackLevel
    {10, -20, -15, 0.0070994},  // attackLevel
    {10, -15, -10, 0.423838},  // attackLevel
    {11, 21, 36, -0.0579408},  // pitch
    {11, 36, 48, 0.0974002},  // pitch
    {11, 48, 60, 0.051988},  // pitch
    {11, 60, 72, 0.0995661},  // pitch
    {11, 72, 84, -0.167644},  // pitch
    {12, 0, 1, -0.489723},  // sounding
    {12, 1, 2, -0.153622},  // sounding
    {12, 2, 4, -0.0129497},  // sounding
    {12, 4, 8, 0.0642695},  // sounding
    {12, 8, 16, 0.237475},  // sounding
    {13, 0, 1, 0.181663},  // confirmed
    {14, 0, 1, 0.417153},  // moved
};
constexpr double DropBias = -9.16587;
// END DropSegments

// One node of boosted trees: at or below its threshold an input goes left, above it right; a leaf
// (left 0: no node's child is the first tree's root) adds its value to the log-odds.
struct TreeNode {
    std::uint8_t input;  // index in the model's feature names
    double value;        // the threshold, or a leaf's value
    std::uint16_t left, right;
};

#include "app/starter/refine/learned_add_trees.inc"
#include "app/starter/refine/learned_drop_trees.inc"
#include "app/starter/refine/learned_restrike_trees.inc"

/** The chance boosted trees (nodes, each tree's root, the baseline log-odds) give inputs x. */
double treesChance(std::span<const TreeNode> nodes, std::span<const std::uint16_t> roots, double baseline,
                   std::span<const double> x) {
    double z = baseline;
    for (std::uint16_t root : roots) {
        std::size_t i = root;
        while (nodes[i].left != 0)
            i = x[nodes[i].input] <= nodes[i].value ? nodes[i].left : nodes[i].right;
        z += nodes[i].value;
    }
    return 1.0 / (1.0 + std::exp(-z));
}

/** The log-odds of a model's segments and bias at inputs x. */
template <std::size_t N, std::size_t M>
double logOdds(const Segment (&segments)[M], double bias, const std::array<double, N> &x) {
    double z = bias;
    for (const Segment &s : segments)
        z += s.weight * (std::clamp(x[s.input], s.lo, s.hi) - s.lo);
    return z;
}

}  // namespace

std::array<double, AddFeatureCount> addFeatureValues(const AddFeatures &f) {
    return {f.strength, f.shortRise, f.rise, f.level, f.below, f.peak, f.over, f.lowerSounds, f.attackLevel,
            f.pitch, f.sounding};
}

std::array<double, AddTreeInputCount> addTreeInputs(const AddFeatures &f) {
    return withProfile(addFeatureValues(f), f.profile);
}

double addProbability(const AddFeatures &f) {
    return 1.0 / (1.0 + std::exp(-logOdds(Segments, Bias, addFeatureValues(f))));
}

double addTreesProbability(const AddFeatures &f) {
    return treesChance(AddTreeNodes, AddTreeRoots, AddTreesBaseline, addTreeInputs(f));
}

std::array<double, DropFeatureCount> dropFeatureValues(const DropFeatures &f) {
    return {f.strength, f.shortRise, f.nearStrength, f.level, f.rise,  f.below,     f.over,     f.lowerSounds,
            f.struck,   f.peak,      f.attackLevel,  f.pitch, f.sounding, f.confirmed, f.moved};
}

std::array<double, DropTreeInputCount> dropTreeInputs(const DropFeatures &f) {
    return withProfile(dropFeatureValues(f), f.profile);
}

double dropProbability(const DropFeatures &f) {
    return 1.0 / (1.0 + std::exp(-logOdds(DropSegments, DropBias, dropFeatureValues(f))));
}

double dropTreesProbability(const DropFeatures &f) {
    return treesChance(DropTreeNodes, DropTreeRoots, DropTreesBaseline, dropTreeInputs(f));
}

std::array<double, RestrikeFeatureCount> restrikeFeatureValues(const RestrikeFeatures &f) {
    return {f.strength, f.shortRise, f.rise, f.ownRise, f.startsBelow, f.level, f.renewal, f.faded, f.dip, f.age,
            f.steps, f.below, f.peak, f.attackLevel, f.pitch, f.sounding};
}

std::array<double, RestrikeTreeInputCount> restrikeTreeInputs(const RestrikeFeatures &f) {
    return withProfile(restrikeFeatureValues(f), f.profile);
}

double restrikeTreesProbability(const RestrikeFeatures &f) {
    return treesChance(RestrikeTreeNodes, RestrikeTreeRoots, RestrikeTreesBaseline, restrikeTreeInputs(f));
}
