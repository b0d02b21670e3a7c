// The settings of a run: the starter's defaults, then the --settings file, then
// the options in command-line order; and the checks of what they add up to.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/starter/beats/beats.h"
#include "app/starter/cli/failures.h"
#include "app/starter/cli/names.h"
#include "app/starter/cli/options.h"
#include "app/starter/protocol/settings_check.h"

namespace fs = std::filesystem;

namespace {

// A tempo map must be a regular file whose beats all last longer than 0 ms.
bool checkTempoMap(const std::string &map, std::string &error) {
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
    return true;
}

// Defaults, then the --settings file, then the options; false when the file cannot be read.
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
    for (const SettingsEntry &e : options.assignments)
        setSetting(settings, e.key, e.value);
    return true;
}

// With a tempo map and no tempo, the map's median tempo, so that its beats keep their length.
bool takeMapTempo(SettingsList &settings, std::string &error) {
    std::string map = getSetting(settings, "TempoFile");
    std::vector<uint16_t> values;
    if (!map.empty() && !checkTempoMap(map, error))
        return false;
    if (!map.empty() && !hasSetting(settings, "Tempo") && readTempoMap(map, values)) {
        double tempo = std::floor(medianMapTempo(values) * 100 + 0.5) / 100;
        if (tempo > 0 && timeBaseAccepts(tempo, engineSettings(settings)))
            setSetting(settings, "Tempo", numberText(tempo));
    }
    return true;
}

}  // namespace

SettingsList starterDefaults() {
    return {{"VirtualSR", "11025"}, {"Resolution", "4"}};
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
    if (!takeMapTempo(settings, error))
        return false;
    double tempo = settingDecimal(settings, "Tempo", 120);
    if (!(tempo >= SlowestTempo && tempo <= FastestTempo)) {
        error = "The tempo must be from 3.6 to 1000 beats per minute (a MIDI file holds no slower one, and "
                "faster ones only multiply the work); give it with --tempo.";
        return false;
    }
    double start = settingDecimal(settings, "StartPoint", 0), end = settingDecimal(settings, "EndPoint", 0);
    if (hasSetting(options.assignments, "EndPoint") && end <= start) {
        error = "--end must come after --start.";
        return false;
    }
    Failure problem = settingsFailure(readBackProblem(settingsText(settings), settings));
    error = failureSentence(problem);
    return problem.kind == FailureKind::None;
}
