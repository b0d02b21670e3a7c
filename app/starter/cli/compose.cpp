// The settings of a run: the starter's defaults, then the --settings file, then
// the options in command-line order; and the checks of what they add up to.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/starter/beats/beats.h"
#include "app/starter/cli/failures.h"
#include "app/starter/cli/names.h"
#include "app/starter/cli/options.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/protocol/settings_check.h"

namespace fs = std::filesystem;

namespace {

// The time signature of the settings as people write it: "3/8".
std::string metreText(const Settings &engine) {
    return metreName(numeratorInRange(engine.TimeSignatureNumerator),
                     denominatorInRange(engine.TimeSignatureDenominator));
}

// A tempo map must be a regular file whose beats all last longer than 0 ms, and none longer than
// a beat of the slowest tempo the written file holds in the settings' metre.
bool checkTempoMap(const std::string &map, const Settings &engine, std::string &error) {
    std::error_code ec;
    std::vector<uint16_t> values;
    if (!fs::is_regular_file(map, ec) || !readTempoMap(map, values)) {
        error = "The tempo map " + map + " cannot be read; check its name (it must be a regular file).";
        return false;
    }
    auto zero = std::find(values.begin(), values.end(), 0);
    if (zero != values.end()) {
        error = "Beat " + std::to_string(zero - values.begin() + 1) + " of the tempo map " + map +
                " lasts 0 ms; every beat of a tempo map needs its length in milliseconds.";
        return false;
    }
    double longest = std::floor(60000 / slowestTempoIn(engine.TimeSignatureDenominator));
    auto slow = std::find_if(values.begin(), values.end(),
                             [&](uint16_t v) { return v != TempoMapEnd && v > longest; });
    if (slow != values.end()) {
        error = "Beat " + std::to_string(slow - values.begin() + 1) + " of the tempo map " + map + " lasts " +
                std::to_string(*slow) + " ms; in " + metreText(engine) + " time a beat may last at most " +
                numberText("%.0f", longest) + " ms (a MIDI file holds no slower tempo).";
        return false;
    }
    return true;
}

// A tempo the written file holds in the settings' metre (see slowestTempoIn).
bool checkSlowestTempo(double tempo, const Settings &engine, std::string &error) {
    double slowest = slowestTempoIn(engine.TimeSignatureDenominator);
    if (tempo >= slowest)
        return true;
    error = "In " + metreText(engine) + " time the tempo must be at least " + numberText("%g", slowest) +
            " beats per minute (" + numberText("%g", SlowestTempo) +
            " quarter notes: a MIDI file holds no slower tempo); give a faster one with --tempo.";
    return false;
}

// The engine's level threshold when OutputThreshold is not set: on the general analysis (its
// levels reach 508) and on an instrument's templates (127).
constexpr int GeneralLevelThreshold = 6;
constexpr int TemplateLevelThreshold = 3;
// Each step of --sensitivity divides the level threshold by the square root of 2 (3 dB): from the
// least sensitive (1) to the most (10) the general analysis goes from 24 to 1, the templates' from 12 to 1.
constexpr double LevelStep = 1.4142135623730951;

// Defaults, then the --settings file, then the level threshold of --sensitivity, then the other
// options (a later OutputThreshold among them wins); false when the file cannot be read.
bool layerSettings(const StarterOptions &options, SettingsList &settings, std::string &error) {
    settings = starterDefaults();
    if (!options.settingsFile.empty()) {
        SettingsList fromFile;
        error = settingsFileSentence(options.settingsFile, readSettingsFile(options.settingsFile, fromFile));
        if (!error.empty())
            return false;
        for (const SettingsEntry &e : fromFile)
            setSetting(settings, e.key, e.value);
    }
    if (options.sensitivity != 0) {
        // The analysis path is the one the whole command line chooses, whatever the order.
        SettingsList chosen = settings;
        for (const SettingsEntry &e : options.assignments)
            setSetting(chosen, e.key, e.value);
        bool templates = settingInt(chosen, "Filter", -1) != -1;
        setSetting(settings, "OutputThreshold", std::to_string(levelThresholdAt(options.sensitivity, templates)));
    }
    for (const SettingsEntry &e : options.assignments)
        setSetting(settings, e.key, e.value);
    return true;
}

// The engine's key range for the general analysis when none is given: C1 to C7.
constexpr int EngineKeyMin = 24, EngineKeyMax = 96;

// The lowest note asked for must not lie above the highest, nor above the engine's highest when
// only the lowest is given (and the other way round); an instrument's templates bring their own.
bool checkNoteRange(const SettingsList &settings, std::string &error) {
    bool lowGiven = hasSetting(settings, "KeyMin"), highGiven = hasSetting(settings, "KeyMax");
    bool general = settingInt(settings, "Filter", -1) == -1;
    if (!(lowGiven && highGiven) && !(general && (lowGiven || highGiven)))
        return true;
    int lowest = lowGiven ? settingInt(settings, "KeyMin", 0) : EngineKeyMin;
    int highest = highGiven ? settingInt(settings, "KeyMax", 127) : EngineKeyMax;
    if (lowest <= highest || lowest > 127)  // 999: the filter record's or the engine's
        return true;
    if (!highGiven)
        error = "The lowest note (" + std::to_string(lowest) + ") lies above the highest the engine analyses (" +
                std::to_string(highest) + ", C7); give --highest-note too.";
    else if (!lowGiven)
        error = "The highest note (" + std::to_string(highest) + ") lies below the lowest the engine analyses (" +
                std::to_string(lowest) + ", C1); give --lowest-note too.";
    else
        error = "The lowest note (" + std::to_string(lowest) + ") lies above the highest (" + std::to_string(highest) +
                "); give --lowest-note a lower note than --highest-note.";
    return false;
}

// With a tempo map and no tempo, the map's median tempo, so that its beats keep their length.
bool takeMapTempo(SettingsList &settings, std::string &error) {
    std::string map = getSetting(settings, "TempoFile");
    std::vector<uint16_t> values;
    if (!map.empty() && !checkTempoMap(map, engineSettings(settings), error))
        return false;
    if (!map.empty() && !hasSetting(settings, "Tempo") && readTempoMap(map, values)) {
        double tempo = std::floor(medianMapTempo(values) * 100 + 0.5) / 100;
        if (tempo > 0 && timeBaseAccepts(tempo, engineSettings(settings)))
            setSetting(settings, "Tempo", numberText(tempo));
    }
    return true;
}

}  // namespace

double slowestTempoIn(int denominatorPower) {
    return SlowestTempo * std::max(1.0, std::ldexp(1.0, denominatorInRange(denominatorPower) - 2));
}

SettingsList starterDefaults() {
    return {{"VirtualSR", "11025"}, {"Resolution", "4"}};
}

int levelThresholdAt(int sensitivity, bool templates) {
    double base = templates ? TemplateLevelThreshold : GeneralLevelThreshold;
    double t = base * std::pow(LevelStep, DefaultSensitivity - sensitivity);
    return std::max(1, static_cast<int>(std::lround(t)));
}

bool tempoToBeTracked(const SettingsList &settings) {
    return !hasSetting(settings, "Tempo") && getSetting(settings, "TempoFile").empty();
}

bool composeSettings(const StarterOptions &options, SettingsList &settings, std::string &error) {
    if (!layerSettings(options, settings, error))
        return false;
    if (settingInt(settings, "Constrain", 0) != 0) {
        int sig = settingInt(settings, "KeySignature", 8);
        if (sig < -7 || sig > 7) {
            error = "--scale-only needs the key of the piece: add --key, for example --key G or --key Em.";
            return false;
        }
    }
    if (!checkNoteRange(settings, error) || !takeMapTempo(settings, error))
        return false;
    double tempo = settingDecimal(settings, "Tempo", 120);
    if (!(tempo >= SlowestTempo && tempo <= FastestTempo)) {
        error = "The tempo must be from 3.6 to 1000 beats per minute (a MIDI file holds no slower one, and "
                "faster ones only multiply the work); give it with --tempo.";
        return false;
    }
    if (!checkSlowestTempo(tempo, engineSettings(settings), error))
        return false;
    double start = settingDecimal(settings, "StartPoint", 0), end = settingDecimal(settings, "EndPoint", 0);
    if (hasSetting(options.assignments, "EndPoint") && end <= start) {
        error = "--end must come after --start.";
        return false;
    }
    Failure problem = settingsFailure(readBackProblem(settingsText(settings), settings));
    error = failureSentence(problem);
    return problem.kind == FailureKind::None;
}
