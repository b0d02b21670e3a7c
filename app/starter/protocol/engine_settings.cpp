// The engine's settings for one run: the settings asked for with the paths of
// the run, and when the beats are followed, the tempo file, the metre and the
// region that start the grid on the first beat.
#include "app/starter/protocol/engine_settings.h"

namespace {

// The paths of the run: the audio, the MIDI file, the filter records and the tempo file.
void setPaths(SettingsList &s, const EnginePaths &paths) {
    setSetting(s, "WaveFile", paths.wave);
    setSetting(s, "MidiFile", paths.midi);
    if (!hasSetting(s, "ExePath"))
        setSetting(s, "ExePath", paths.dataDir.back() == '/' ? paths.dataDir : paths.dataDir + "/");
    if (!paths.tempoFile.empty())
        setSetting(s, "TempoFile", paths.tempoFile);
}

// The grid starts on the first beat and follows the beats from there.
void followBeats(SettingsList &s, const FollowedBeats &beats) {
    setSetting(s, "Tempo", numberText(beats.tempo));
    if (!beats.metreGiven) {
        setSetting(s, "TimeSignatureNumerator", std::to_string(beats.numerator));
        setSetting(s, "TimeSignatureDenominator", std::to_string(beats.denominatorPower));
        // The chord blocks keep their four beats: a block a bar lost notes in 3/4.
        if (!hasSetting(s, "ChordRes"))
            setSetting(s, "ChordRes", "4");
    }
    // Both ends are written with 17 digits, so that they read back as the very same doubles.
    setSetting(s, "StartPoint", numberText("%.17g", beats.start));
    // "To the end" must be said: after a start below 0, an end of 0 is a time.
    double end = settingsRegion(s).end;
    if (!(end > 0 && end > beats.start))
        setSetting(s, "EndPoint", numberText("%.17g", beats.end));
    setSetting(s, "EntireWave", "0");
}

}  // namespace

Region settingsRegion(const SettingsList &settings) {
    if (settingInt(settings, "EntireWave", 0) != 0)
        return Region{};
    return Region{settingDecimal(settings, "StartPoint", 0), settingDecimal(settings, "EndPoint", 0)};
}

RenderedSettings renderSettings(const SettingsList &asked, const EnginePaths &paths, const FollowedBeats *beats) {
    RenderedSettings r;
    r.list = asked;
    setPaths(r.list, paths);
    if (beats)
        followBeats(r.list, *beats);
    r.text = settingsText(r.list);
    r.engine = engineReading(r.text);
    r.region = r.engine.EntireWave != 0 ? Region{} : Region{r.engine.StartPoint, r.engine.EndPoint};
    return r;
}
