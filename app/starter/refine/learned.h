// The learned judgements of the refinement: what the proposal rule measures of
// an attack of a key with no note near it, what the drop rules measure of the
// engine's notes and what the soft re-strike rule measures of an attack inside
// a note, and the models over those measurements (logistic models fitted by
// tools/eval/learn_add.py and learn_drop.py, boosted trees by learn_trees.py,
// on renderings of the development pieces) that give the chance a note of the
// reference starts there. The trees also read the partial profile around the
// key.
#pragma once

#include <array>
#include <cstddef>

// The keys around a key whose levels its partial profile holds, in semitones from it: those whose
// fundamentals are partials of the key or lie a partial of a key below on it (12, 19, 24, 28 and 31
// below, and 7 and 5 below, where the key is the third or fourth partial of a key 19 or 24 below), those
// of the key's own partials and of a lower key's partials between them (4, 7, 12, 14, 16, 19, 24, 28
// and 31 above; 3 above and 17 below), and its neighbours a semitone and a tone either side, where a
// note's partials stand out from the spectrum around them.
constexpr std::array<int, 23> ProfileKeys = {-31, -28, -24, -19, -17, -12, -7, -5, -2, -1, 0, 1,
                                             2,   3,   4,   7,   12,  14, 16, 19, 24, 28, 31};
// The index of the key itself in ProfileKeys.
constexpr std::size_t ProfileOwnKey = [] {
    std::size_t k = 0;
    while (k < ProfileKeys.size() && ProfileKeys[k] != 0)
        ++k;
    return k;
}();
static_assert(ProfileOwnKey < ProfileKeys.size(), "a partial profile holds its own key");

// The partials around a key at a time: the shape of the spectrum there, which tells a note of the
// key from a partial of a lower one (dB).
struct PartialProfile {
    std::array<double, ProfileKeys.size()> around{};  // each key's level just after it, re the key's own
                                                     // (the own key's entry is 0 and not an input)
    std::array<double, ProfileKeys.size()> change{};  // how much louder each key is just after it than
                                                     // just before
};

// How many inputs a partial profile gives a model: the levels of the keys around, then every change.
constexpr std::size_t ProfileInputCount = 2 * ProfileKeys.size() - 1;
extern const std::array<const char *, ProfileInputCount> ProfileInputNames;

// What the proposal rule measures of one attack (dB unless said otherwise).
struct AddFeatures {
    double strength = 0;   // the attack's strength, dB of rise
    double shortRise = 0;  // its key's rise within 20-30 ms in the short window
    double rise = 0;       // the rise of its key's fundamental
    double level = 0;      // the fundamental's mean level over the split gap after it (re the loudest band)
    double below = 0;      // its least rise beyond the partials of the keys 12, 19 and 24 below
    double peak = 0;       // how far its key's partials stand above those a semitone and a tone beside it
    double over = 0;       // how far they stand above those of a lower note 12, 19 or 24 below sounding then
                           // (the nearest such; 0 when none sounds)
    double lowerSounds = 0;  // 1 when such a lower note sounds, else 0
    double attackLevel = 0;  // its key's level just after the attack (the velocity's measure)
    double pitch = 60;       // the key heard
    double sounding = 0;     // how many notes sound then
    PartialProfile profile;  // the partials around its key just after it (the trees' inputs only)
};

// How many inputs the logistic model reads, and their names in the order the dump and the fit write them.
constexpr std::size_t AddFeatureCount = 11;
extern const std::array<const char *, AddFeatureCount> AddFeatureNames;
// How many inputs the acceptance's trees read: the logistic model's, then the partial profile's.
constexpr std::size_t AddTreeInputCount = AddFeatureCount + ProfileInputCount;
extern const std::array<const char *, AddTreeInputCount> AddTreeInputNames;

/** The features in the order of AddFeatureNames. */
std::array<double, AddFeatureCount> addFeatureValues(const AddFeatures &f);
/** The trees' inputs in the order of AddTreeInputNames. */
std::array<double, AddTreeInputCount> addTreeInputs(const AddFeatures &f);
/** The model's chance, in [0, 1], that an attack with these features starts a note of its own. */
double addProbability(const AddFeatures &f);
/** The same chance from boosted trees over those features and the partial profile
 *  (learned_add_trees.inc, fitted by tools/eval/learn_trees.py). */
double addTreesProbability(const AddFeatures &f);

// What the drop rules may measure of one of the engine's notes where they judge it (dB unless said
// otherwise; the onset is the one the move rule left).
struct DropFeatures {
    double strength = 0;     // the strongest attack of its key in the span the weak-note rule looks at (0: none)
    double shortRise = 0;    // that attack's rise within 20-30 ms in the short window
    double nearStrength = 0;  // the strongest attack of its key within partnerWindow of the onset (0: none)
    double level = 0;        // its key's mean level over the first step (re the loudest band)
    double rise = 0;         // the rise of its key's fundamental at the onset
    double below = 0;        // its least rise beyond the partials of the keys 12, 19 and 24 below
    double over = 0;         // how far its partials stand above those of a lower note 12, 19 or 24 below
                             // sounding then (the nearest such; 0 when none sounds)
    double lowerSounds = 0;  // 1 when such a lower note sounds, else 0
    double struck = 0;       // 1 when such a lower note starts within partnerWindow of it, else 0
    double peak = 0;         // how far its partials stand above those a semitone and a tone beside it
    double attackLevel = 0;  // its key's level just after the onset (the velocity's measure)
    double pitch = 60;       // the key heard
    double sounding = 0;     // how many other notes sound at its onset
    double confirmed = 0;    // 1 when an attack of its key lies at the onset the engine wrote
    double moved = 0;        // 1 when the move rule took it to an attack
    PartialProfile profile;  // the partials around its key just after the onset (the trees' inputs only)
};

// How many inputs the logistic drop model reads, and their names in the order the dump writes them.
constexpr std::size_t DropFeatureCount = 15;
extern const std::array<const char *, DropFeatureCount> DropFeatureNames;
// How many inputs the drop trees read: the logistic model's, then the partial profile's.
constexpr std::size_t DropTreeInputCount = DropFeatureCount + ProfileInputCount;
extern const std::array<const char *, DropTreeInputCount> DropTreeInputNames;

/** The features in the order of DropFeatureNames. */
std::array<double, DropFeatureCount> dropFeatureValues(const DropFeatures &f);
/** The trees' inputs in the order of DropTreeInputNames. */
std::array<double, DropTreeInputCount> dropTreeInputs(const DropFeatures &f);
/** The drop model's chance, in [0, 1], that a note with these features starts where a note of the
 *  reference does (dropModel keeps it where that is at least dropCut). */
double dropProbability(const DropFeatures &f);
/** The same chance from boosted trees over the same features and the partial profile
 *  (learned_drop_trees.inc, fitted by tools/eval/learn_trees.py): inputs that matter together, which
 *  the logistic model's one curve per input cannot weigh. */
double dropTreesProbability(const DropFeatures &f);

// What the soft re-strike rule may measure of an attack of a key inside one of its notes.
struct RestrikeFeatures {
    double strength = 0;     // the attack's strength, dB of rise
    double shortRise = 0;    // its key's rise within 20-30 ms in the short window
    double rise = 0;         // the rise of its key's fundamental (0 where a note starting below explains it)
    double ownRise = 0;      // that rise whatever starts below
    double startsBelow = 0;  // 1 when a note 12 to 31 below starts with it
    double level = 0;        // the fundamental's mean level over the split gap after it
    double renewal = 0;      // how much louder the key is just after it than just before (dB)
    double faded = 0;        // how far the key fell from just after the note began to just before it (dB)
    double dip = 0;          // how far it dips at the attack below its level just before (dB)
    double age = 0;          // seconds since the note began
    double steps = 0;        // the same in grid steps
    double below = 0;        // its least rise beyond the partials of the keys 12, 19 and 24 below
    double peak = 0;         // how far its key's partials stand above those a semitone and a tone beside it
    double attackLevel = 0;  // its key's level just after it
    double pitch = 60;       // the key heard
    double sounding = 0;     // how many notes sound then
    PartialProfile profile;  // the partials around its key just after it
};

// How many inputs the re-strike rule measures, and their names in the order the dump writes them.
constexpr std::size_t RestrikeFeatureCount = 16;
extern const std::array<const char *, RestrikeFeatureCount> RestrikeFeatureNames;
// How many inputs the re-strike trees read: the rule's measures, then the partial profile's.
constexpr std::size_t RestrikeTreeInputCount = RestrikeFeatureCount + ProfileInputCount;
extern const std::array<const char *, RestrikeTreeInputCount> RestrikeTreeInputNames;

/** The features in the order of RestrikeFeatureNames. */
std::array<double, RestrikeFeatureCount> restrikeFeatureValues(const RestrikeFeatures &f);
/** The trees' inputs in the order of RestrikeTreeInputNames. */
std::array<double, RestrikeTreeInputCount> restrikeTreeInputs(const RestrikeFeatures &f);
/** The re-strike model's chance, from boosted trees (learned_restrike_trees.inc), that an attack with
 *  these features inside a note starts a note of the reference. */
double restrikeTreesProbability(const RestrikeFeatures &f);
