// The engine's settings file for one input: the composed settings with the
// paths of this run, and when the beats are followed, the tempo map, the
// metre and the region that start the grid on the first beat.
#include "app/starter/pipeline/pipeline.h"

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
    std::string tempo = getSetting(s, "TempoFile");
    if (!tempo.empty())
        setSetting(s, "TempoFile", settingsSafePath(tempo, dir + "tempo"));
}

// The grid starts on the first beat and follows the beats from there; false when the map cannot be written.
bool followBeats(Job &job, const BatchConfig &config) {
    const TempoPlan &plan = job.beats.tempo;
    SettingsList &s = job.files.settings;
    std::string map = job.workspace.tempDir + "tempo.map";
    if (!writeTempoMap(map, plan.map))
        return false;
    setSetting(s, "TempoFile", map);
    setSetting(s, "Tempo", numberText(plan.tempo));
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
    setSetting(s, "StartPoint", numberText("%.17g", start));
    // "To the end" must be said: after a start below 0, an end of 0 is a time.
    double unused, end;
    settingsRegion(config.settings, unused, end);
    if (!(end > 0 && end > start))
        setSetting(s, "EndPoint", numberText("%.17g", plan.endPoint));
    setSetting(s, "EntireWave", "0");
    return true;
}

}  // namespace

void settingsRegion(const SettingsList &settings, double &start, double &end) {
    bool entire = settingInt(settings, "EntireWave", 0) != 0;
    start = entire ? 0 : settingDecimal(settings, "StartPoint", 0);
    end = entire ? 0 : settingDecimal(settings, "EndPoint", 0);
}

bool stageWriteSettings(Job &job, const BatchConfig &config) {
    job.files.settings = config.settings;
    setPaths(job, config);
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
