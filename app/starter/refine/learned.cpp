// The logistic model of the proposal rule's candidates, its weights fitted by tools/eval/learn_add.py.
#include "app/starter/refine/learned.h"

#include <algorithm>
#include <cmath>

const std::array<const char *, AddFeatureCount> AddFeatureNames = {
    "strength", "shortRise", "rise", "level", "below", "peak", "over", "lowerSounds", "attackLevel", "pitch",
    "sounding"};

const std::array<const char *, DropFeatureCount> DropFeatureNames = {
    "strength", "shortRise", "nearStrength", "level", "rise", "below", "over", "lowerSounds", "struck", "peak",
    "attackLevel", "pitch", "sounding", "confirmed", "moved"};

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
// fit: every measured note of 32 pieces in six renderings as the drop rules meet it; a reference
// onset of its key within 50 ms makes one right).
// BEGIN DropSegments
constexpr Segment DropSegments[] = {
    {0, 0, 3, 0.0262825},  // strength
    {0, 3, 6, -0.643499},  // strength
    {0, 6, 9, 0.0359095},  // strength
    {0, 9, 12, 0.0176531},  // strength
    {0, 12, 18, -0.138003},  // strength
    {0, 18, 30, 0.239677},  // strength
    {1, 0, 3, -0.0668986},  // shortRise
    {1, 3, 6, 0.567372},  // shortRise
    {1, 6, 12, 0.0338795},  // shortRise
    {1, 12, 30, -0.0911964},  // shortRise
    {2, 0, 3, 0.369571},  // nearStrength
    {2, 3, 6, 0.91841},  // nearStrength
    {2, 6, 9, -0.10191},  // nearStrength
    {2, 9, 12, -0.155631},  // nearStrength
    {2, 12, 18, 0.213009},  // nearStrength
    {2, 18, 30, 0.0325111},  // nearStrength
    {3, -40, -30, -0.0342292},  // level
    {3, -30, -24, -0.0117232},  // level
    {3, -24, -20, 0.0700974},  // level
    {3, -20, -16, -0.0577833},  // level
    {3, -16, -10, 0.14196},  // level
    {3, -10, 0, 0.111664},  // level
    {4, 0, 1, 0.786259},  // rise
    {4, 1, 2, 0.931698},  // rise
    {4, 2, 3, -0.37595},  // rise
    {4, 3, 6, -0.0367517},  // rise
    {4, 6, 12, -0.0795633},  // rise
    {4, 12, 30, 0.0502758},  // rise
    {5, -10, 0, 0.0922123},  // below
    {5, 0, 2, -0.0415787},  // below
    {5, 2, 4, 0.296189},  // below
    {5, 4, 8, 0.283972},  // below
    {5, 8, 30, 0.212683},  // below
    {6, -30, -8, -0.198758},  // over
    {6, -8, -5, 0.197827},  // over
    {6, -5, -3, 0.214391},  // over
    {6, -3, 0, 0.231231},  // over
    {6, 0, 10, 0.0480563},  // over
    {7, 0, 1, -0.0645344},  // lowerSounds
    {8, 0, 1, -0.996561},  // struck
    {9, -20, -2, 0.135513},  // peak
    {9, -2, 0, 0.298579},  // peak
    {9, 0, 1, 0.131244},  // peak
    {9, 1, 2, 0.470963},  // peak
    {9, 2, 4, 0.138046},  // peak
    {9, 4, 8, 0.0389588},  // peak
    {9, 8, 30, -0.0506219},  // peak
    {10, -40, -30, 0.125128},  // attackLevel
    {10, -30, -25, 0.323797},  // attackLevel
    {10, -25, -20, 0.00499353},  // attackLevel
    {10, -20, -15, 0.00440938},  // attackLevel
    {10, -15, -10, 0.476677},  // attackLevel
    {11, 21, 36, -0.0621371},  // pitch
    {11, 36, 48, 0.102306},  // pitch
    {11, 48, 60, 0.0535023},  // pitch
    {11, 60, 72, 0.094394},  // pitch
    {11, 72, 84, -0.117836},  // pitch
    {11, 84, 108, -0.600032},  // pitch
    {12, 0, 1, -0.485399},  // sounding
    {12, 1, 2, -0.142906},  // sounding
    {12, 2, 4, -0.0103011},  // sounding
    {12, 4, 8, 0.067311},  // sounding
    {12, 8, 16, 0.29106},  // sounding
    {13, 0, 1, 0.175889},  // confirmed
    {14, 0, 1, 0.431212},  // moved
};
constexpr double DropBias = -8.50394;
// END DropSegments

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

double addProbability(const AddFeatures &f) {
    return 1.0 / (1.0 + std::exp(-logOdds(Segments, Bias, addFeatureValues(f))));
}

std::array<double, DropFeatureCount> dropFeatureValues(const DropFeatures &f) {
    return {f.strength, f.shortRise, f.nearStrength, f.level, f.rise,  f.below,     f.over,     f.lowerSounds,
            f.struck,   f.peak,      f.attackLevel,  f.pitch, f.sounding, f.confirmed, f.moved};
}

double dropProbability(const DropFeatures &f) {
    return 1.0 / (1.0 + std::exp(-logOdds(DropSegments, DropBias, dropFeatureValues(f))));
}
