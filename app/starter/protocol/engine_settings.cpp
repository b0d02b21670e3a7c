// The engine's settings for one run: the settings asked for with the paths of
// the run, and when the beats are followed, the tempo file, the metre and the
// region that start the grid on the first beat.
#include "app/starter/protocol/engine_settings.h"

#include <algorithm>
#include <cmath>

namespace {

// Sets a text key in the entries and in the values, as the engine's line reader takes its line.
void setText(RenderedSettings &r, const std::string &key, const std::string &value) {
    setSetting(r.list, key, value);
    applySettingsLineTo(r.engine, key + "=" + value);
}

// The paths of the run: the audio, the MIDI file, the filter records and the tempo file.
void setPaths(RenderedSettings &r, const EnginePaths &paths) {
    setText(r, "WaveFile", paths.wave);
    setText(r, "MidiFile", paths.midi);
    if (!hasSetting(r.list, "ExePath"))
        setText(r, "ExePath", paths.dataDir.back() == '/' ? paths.dataDir : paths.dataDir + "/");
    if (!paths.tempoFile.empty())
        setText(r, "TempoFile", paths.tempoFile);
}

// The grid starts on the first beat and follows the beats from there. Every number is written so
// that it reads back as the very value set.
void followBeats(RenderedSettings &r, const FollowedBeats &beats) {
    Settings &e = r.engine;
    // A tempo of two decimals (beats.h) and 10 digits: the text reads back as this double.
    setSetting(r.list, "Tempo", numberText(beats.tempo));
    e.Tempo = beats.tempo;
    if (!beats.metreGiven) {
        setSetting(r.list, "TimeSignatureNumerator", std::to_string(beats.numerator));
        setSetting(r.list, "TimeSignatureDenominator", std::to_string(beats.denominatorPower));
        e.TimeSignatureNumerator = beats.numerator;
        e.TimeSignatureDenominator = beats.denominatorPower;
        // The chord blocks keep their four beats: a block a bar lost notes in 3/4.
        if (!hasSetting(r.list, "ChordRes")) {
            setSetting(r.list, "ChordRes", "4");
            e.ChordRes = 4;
        }
    }
    // Both ends are written with 17 digits, so that they read back as the very same doubles.
    setSetting(r.list, "StartPoint", numberText("%.17g", beats.start));
    e.StartPoint = beats.start;
    // "To the end" must be said: after a start below 0, an end of 0 is a time.
    double end = settingsRegion(e).end;
    if (!(end > 0 && end > beats.start)) {
        setSetting(r.list, "EndPoint", numberText("%.17g", beats.end));
        e.EndPoint = beats.end;
    }
    setSetting(r.list, "EntireWave", "0");
    e.EntireWave = 0;
}

}  // namespace

Region settingsRegion(const Settings &settings) {
    if (settings.EntireWave != 0)
        return Region{};
    return Region{settings.StartPoint, settings.EndPoint};
}

RenderedSettings renderSettings(const SettingsList &asked, const Settings &askedReading, const EnginePaths &paths,
                                const FollowedBeats *beats) {
    RenderedSettings r;
    r.list = asked;
    r.engine = askedReading;
    setPaths(r, paths);
    if (beats)
        followBeats(r, *beats);
    r.text = settingsText(r.list);
    r.region = settingsRegion(r.engine);
    return r;
}

void holdShortestNote(RenderedSettings &r, double ms) {
    const Settings &e = r.engine;
    double framesPerBeat = gridFramesPerBeat(sensitivityInRange(e.Sensitivity), resolutionInRange(e.Resolution),
                                             denominatorInRange(e.TimeSignatureDenominator));
    double frameMs = 60000.0 / (tempoInRange(e.Tempo) * framesPerBeat);
    // A thousandth of a frame of slack: 125 ms of 62.5 ms frames is 2 frames, not 3.
    int frames = std::max(1, static_cast<int>(std::ceil(ms / frameMs - 1e-3)));
    setText(r, "MinimumLength", std::to_string(frames));
    r.text = settingsText(r.list);
}

void referTo(RenderedSettings &r, int hz) {
    setText(r, "ReferencePitch", std::to_string(hz));
    r.text = settingsText(r.list);
}
