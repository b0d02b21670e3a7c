// The engine's settings file for one input: the composed settings with the
// paths of this run, and when the beats are followed, the tempo map, the
// metre and the region that start the grid on the first beat.
#include "app/starter/pipeline/stages.h"

#include <algorithm>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/names.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/settings_check.h"

namespace {

// The paths of this run: the audio, the MIDI file, the filter records and a given tempo file.
void setPaths(Job &job, const BatchConfig &config) {
    const std::string &dir = job.workspace.tempDir;
    SettingsList &s = job.files.settings;
    setSetting(s, "WaveFile", settingsSafePath(job.audio.wave, dir + "input"));
    job.files.midiPath = dir + "out.mid";
    setSetting(s, "MidiFile", job.files.midiPath);
    if (!hasSetting(s, "ExePath")) {
        std::string data = settingsSafePath(config.dataDir, dir + "data");
        setSetting(s, "ExePath", data.back() == '/' ? data : data + "/");
    }
}

// A decimal setting written as text, and the value the engine reads from that text.
double setDecimal(SettingsList &s, const char *key, const std::string &text) {
    setSetting(s, key, text);
    return leadingDecimal(text);
}

// A tempo file given in the settings (--tempo-map): the engine follows it as it is. Its values
// are read once, here, for the refinement; a file that cannot be read gives none.
void followGivenMap(Job &job) {
    SettingsList &s = job.files.settings;
    std::string given = getSetting(s, "TempoFile");
    if (given.empty())
        return;
    job.files.tempoPath = settingsSafePath(given, job.workspace.tempDir + "tempo");
    setSetting(s, "TempoFile", job.files.tempoPath);
    if (!readTempoMap(given, job.files.tempoMap))
        job.files.tempoMap.clear();
}

// The grid starts on the first beat and follows the beats from there; false when the map cannot be written.
bool followBeats(Job &job, const BatchConfig &config) {
    const TempoPlan &plan = job.beats.tempo;
    SettingsList &s = job.files.settings;
    std::string map = job.workspace.tempDir + "tempo.map";
    if (!writeTempoMap(map, plan.map))
        return false;
    setSetting(s, "TempoFile", map);
    job.files.tempoPath = map;
    // The values the engine follows: those before the end marker.
    job.files.tempoMap.assign(plan.map.begin(), std::find(plan.map.begin(), plan.map.end(), TempoMapEnd));
    job.files.tempo = setDecimal(s, "Tempo", numberText(plan.tempo));
    if (!plan.metreGiven) {
        setSetting(s, "TimeSignatureNumerator", std::to_string(plan.numerator));
        setSetting(s, "TimeSignatureDenominator", std::to_string(plan.denominatorPower));
        // The chord blocks keep their four beats: a block a bar lost notes in 3/4.
        if (!hasSetting(s, "ChordRes"))
            setSetting(s, "ChordRes", "4");
    }
    // The first beat, a downbeat, may lie before the audio: the engine reads silence there
    // and keeps of it only what lies within the bar of the first note.
    // Both ends are written with 17 digits, so that they read back as the very same doubles.
    double start = engineStartPoint(plan.startPoint, readWaveFileHeader(job.audio.wave));
    job.files.region.start = setDecimal(s, "StartPoint", numberText("%.17g", start));
    // "To the end" must be said: after a start below 0, an end of 0 is a time.
    double end = settingsRegion(config.settings).end;
    job.files.region.end = end > 0 && end > start ? end : setDecimal(s, "EndPoint", numberText("%.17g", plan.endPoint));
    setSetting(s, "EntireWave", "0");
    return true;
}

}  // namespace

Region settingsRegion(const SettingsList &settings) {
    if (settingInt(settings, "EntireWave", 0) != 0)
        return Region{};
    return Region{settingDecimal(settings, "StartPoint", 0), settingDecimal(settings, "EndPoint", 0)};
}

bool stageWriteSettings(Job &job, const BatchConfig &config) {
    job.files = EngineFiles{};
    job.files.settings = config.settings;
    job.files.region = settingsRegion(config.settings);
    job.files.tempo = settingDecimal(config.settings, "Tempo", 120);
    setPaths(job, config);
    followGivenMap(job);
    job.files.settingsPath = job.workspace.tempDir + "settings.txt";
    job.files.statusPath = job.workspace.tempDir + "status.txt";
    if ((job.beats.tempo.tracked && !followBeats(job, config)) ||
        !writeSettingsFile(job.files.settingsPath, job.files.settings) ||
        !replaceFileText(job.files.statusPath, "0")) {
        failJob(job, exitStatus(ExitCode::EngineFailed), "The engine's settings could not be written into the "
                                                         "temporary folder; make sure it is not full.");
        return false;
    }
    std::string problem = settingsFileProblem(job.files.settingsPath, job.files.settings);
    if (!problem.empty()) {
        failJob(job, exitStatus(ExitCode::BadCommandLine), problem);
        return false;
    }
    return true;
}
