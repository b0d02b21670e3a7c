// The run plan: the composed settings read once into the values the stages
// take, and the inputs and outputs of the command line.
#include "app/starter/cli/run_plan.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "app/starter/beats/band_flux.h"
#include "app/starter/cli/failures.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/protocol/engine_process.h"

namespace {

// Inputs and output from the command line, else from the settings file; the settings keep no paths.
void takeFileNames(const StarterOptions &options, SettingsList &settings, std::vector<std::string> &inputs,
                   std::string &output) {
    inputs = options.inputs;
    output = options.output;
    if (inputs.empty() && !getSetting(settings, "WaveFile").empty()) {
        inputs.push_back(getSetting(settings, "WaveFile"));
        if (output.empty())
            output = getSetting(settings, "MidiFile");
    }
    removeSetting(settings, "WaveFile");
    removeSetting(settings, "MidiFile");
}

// Files that no output may replace: the inputs, the tempo map (from --tempo-map, --set or the
// settings file) and the settings file.
std::vector<std::string> protectedPaths(const StarterOptions &options, const SettingsList &settings,
                                        const std::vector<std::string> &inputs) {
    std::vector<std::string> paths;
    for (const std::string &input : inputs)
        if (input != StandardInput)  // names no file
            paths.push_back(input);
    const std::string tempoMap = getSetting(settings, "TempoFile");
    if (!tempoMap.empty())
        paths.push_back(tempoMap);
    if (!options.settingsFile.empty())
        paths.push_back(options.settingsFile);
    return paths;
}

// The file of the run that the report would name, "" when none: appending to an input changes it,
// and an output would fail as an existing file or take the report's place.
std::string reportClash(const RunPlan &plan) {
    for (const std::string &p : plan.protectedPaths)
        if (namesSameFile(plan.reportPath, p))
            return p;
    for (const FilePlan &f : plan.files)
        for (const std::string &out : {f.output, f.scoreOutput, f.notesOutput})
            if (namesSameFile(plan.reportPath, out))
                return out;
    return "";
}

// True for an option that says how a score is written or placed, the only ones a MIDI input takes.
bool shapesTheOutputOnly(const std::string &option) {
    static const std::set<std::string> options = {"--output", "--musicxml", "--format", "--force", "--jobs",
                                                   "--quiet", "--grid", "--engine", "--help", "--version",
                                                   "--skip-existing", "--report"};
    return options.count(option) > 0;
}

// --beats lists the beats found, and a given tempo or tempo map means none are looked for.
std::string beatsWithoutTrackingSentence() {
    return "--beats lists the beats found in the recording, but a tempo or tempo map is given (--tempo, "
           "--tempo-map, or Tempo or TempoFile from --set or the settings file), so none are looked for; "
           "leave one of them out.";
}

}  // namespace

bool refuseTranscriptionOptions(const std::vector<FilePlan> &files, const std::vector<std::string> &given,
                                std::string &error) {
    auto midi = std::find_if(files.begin(), files.end(), [](const FilePlan &f) { return f.midiInput; });
    if (midi == files.end())
        return true;
    for (const std::string &option : given)
        if (!shapesTheOutputOnly(option)) {
            error = midiOptionSentence(midi->input, option);
            return false;
        }
    return true;
}

void readPlanSettings(const SettingsList &s, RunPlan &plan) {
    plan.asked = s;
    const Settings &e = plan.engine = engineSettings(s);
    plan.metreGiven = hasSetting(s, "TimeSignatureNumerator") || hasSetting(s, "TimeSignatureDenominator");
    plan.region = settingsRegion(e);
    plan.tempoMap = e.TempoFile;
    plan.tempoChoice = tempoToBeTracked(s) ? TempoChoice::Track : plan.tempoMap.empty() ? TempoChoice::Given
                                                                                         : TempoChoice::Map;
    plan.tempo = e.Tempo;
    // The score's grid in double, as asked: the engine keeps a float of it.
    plan.grid = settingDecimal(s, "Resolution", e.Resolution);
    KeyChoice &key = plan.key;
    key.signature = e.KeySignature;
    key.mode = e.MajorMinor;
    key.constrained = e.Constrain != 0 && key.signature >= -7 && key.signature <= 7;
    key.detect = e.AutoDetectKey != 0 && !key.constrained;
    plan.instrument = e.Filter;
}

bool buildRunPlan(const StarterOptions &options, const std::string &dataDir, RunPlan &plan, std::string &error) {
    SettingsList settings;
    if (!composeSettings(options, settings, error))
        return false;
    std::vector<std::string> inputs;
    std::string output;
    takeFileNames(options, settings, inputs, output);
    if (inputs.empty()) {
        error = "Give the recording to transcribe, for example: sonoscriptor song.wav";
        return false;
    }
    plan = RunPlan{};
    if (!planFiles(inputs, output, plan.files, error) || !refuseTranscriptionOptions(plan.files, options.given, error) ||
        !planScoreOutputs(plan.files, output, {options.format, options.musicxml}, error) ||
        !planNoteLists(plan.files, options.notes, error))
        return false;
    readPlanSettings(settings, plan);
    plan.enginePath = options.enginePath.empty() ? defaultEnginePath() : options.enginePath;
    plan.dataDir = dataDir;
    plan.beatsOnly = options.beatsOnly;
    if (plan.beatsOnly && plan.tempoChoice != TempoChoice::Track) {
        error = beatsWithoutTrackingSentence();
        return false;
    }
    plan.raw = options.raw;
    plan.quantize = options.quantize;
    plan.keepDir = options.keepDir;
    plan.metreFromNotes = std::getenv("SONOSCRIPTOR_METRE_NOTES") != nullptr;
    plan.pulsePeaks = std::getenv("SONOSCRIPTOR_PULSE_PEAKS") != nullptr;
    plan.pulseProminence = std::getenv("SONOSCRIPTOR_PULSE_PROMINENCE") != nullptr;
    plan.partsBassBelowBeat = std::getenv("SONOSCRIPTOR_METRE_PARTS_BASS") != nullptr;
    plan.bassMixture = std::getenv("SONOSCRIPTOR_METRE_BASS_MIXTURE") != nullptr;
    plan.accentsRemeasured = std::getenv("SONOSCRIPTOR_METRE_ACCENTS_REMEASURED") != nullptr;
    plan.metrePartsContrast = std::getenv("SONOSCRIPTOR_METRE_PARTS_CONTRAST") != nullptr;
    plan.metreFourThirds = std::getenv("SONOSCRIPTOR_METRE_FOUR_THIRDS") != nullptr;
    plan.metreSplitSlowBeat = std::getenv("SONOSCRIPTOR_METRE_SPLIT_EVIDENCE") != nullptr;
    plan.metreSecondTracker = std::getenv("SONOSCRIPTOR_METRE_SECOND_TRACKER") != nullptr;
    plan.metreShortPickup = std::getenv("SONOSCRIPTOR_METRE_LONG_PICKUP") == nullptr;
    if (const char *zone = std::getenv("SONOSCRIPTOR_TUNING_DEAD_ZONE"))
        plan.tuningDeadZone = std::atof(zone);
    const char *dump = std::getenv("SONOSCRIPTOR_METRE_DUMP");
    plan.metreDumpPath = dump ? dump : "";
    const char *framePulse = std::getenv("SONOSCRIPTOR_METRE_FRAME_PULSE");
    plan.metreFramePulse = !framePulse                            ? 0
                           : std::string(framePulse) == "instead" ? 1
                           : std::string(framePulse) == "folded"  ? 3
                                                                  : 2;
    const char *onset = std::getenv("SONOSCRIPTOR_ONSET_STRENGTH");
    plan.onsetStrength = static_cast<int>(onsetStrengthNamed(onset ? onset : ""));
    plan.shortestNoteMs = options.shortestNoteMs;
    plan.sensitivity = options.sensitivity != 0 ? options.sensitivity : DefaultSensitivity;
    plan.force = options.force;
    plan.skipExisting = options.skipExisting;
    plan.reportPath = options.report;
    plan.quiet = options.quiet;
    plan.jobs = options.jobs > 0 ? options.jobs : coreCount();
    plan.protectedPaths = protectedPaths(options, settings, inputs);
    const std::string clash = plan.reportPath.empty() ? "" : reportClash(plan);
    if (!clash.empty()) {
        error = "--report " + plan.reportPath + " names " + clash +
                ", a file this run reads or writes; give the report a name of its own.";
        return false;
    }
    return true;
}
