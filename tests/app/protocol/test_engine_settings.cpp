// The settings file of one run, rendered from the settings asked for, the run's files and the
// beats followed: golden texts, each read back by the engine's own line reader, and the values
// handed on equal to what the engine reads.
#include <gtest/gtest.h>

#include "app/starter/protocol/engine_settings.h"
#include "app/starter/protocol/settings_check.h"
#include "tests/app/support.h"

namespace {

const EnginePaths Paths{"/music/take.wav", "/tmp/run/out.mid", "/opt/data", ""};

// Renders, checks the text against the engine's line reader and every value set against its
// reading of the text.
RenderedSettings rendered(const SettingsList &asked, const EnginePaths &paths, const FollowedBeats *beats) {
    RenderedSettings r = renderSettings(asked, engineSettings(asked), paths, beats);
    EXPECT_EQ(readBackProblem(r.text, r.list).kind, SettingsProblemKind::None) << r.text;
    Settings read = engineReading(r.text);
    EXPECT_TRUE(sameSettings(r.engine, read)) << r.text;
    EXPECT_EQ(r.region.start, read.EntireWave ? 0 : read.StartPoint);
    return r;
}

}  // namespace

TEST(EngineSettings, AConstantTempoAddsOnlyTheRunsFiles) {
    RenderedSettings r = rendered({{"VirtualSR", "11025"}, {"Resolution", "4"}, {"Tempo", "66"}}, Paths, nullptr);
    EXPECT_EQ(r.text, "ExePath=/opt/data/\nWaveFile=/music/take.wav\nVirtualSR=11025\nResolution=4\n"
                      "MidiFile=/tmp/run/out.mid\nTempo=66\n");
    EXPECT_EQ(r.engine.Tempo, 66);
    EXPECT_EQ(r.region.start, 0);
    EXPECT_EQ(r.region.end, 0);

    // An ExePath asked for stays; a given tempo file and region are passed on as asked.
    EnginePaths mapped = Paths;
    mapped.tempoFile = "/tmp/run/tempo";
    r = rendered({{"ExePath", "/mine/"}, {"TempoFile", "/home/me/beats.map"}, {"EntireWave", "0"},
                  {"StartPoint", "1.25"}, {"EndPoint", "9.5"}}, mapped, nullptr);
    EXPECT_EQ(r.text, "ExePath=/mine/\nWaveFile=/music/take.wav\nEntireWave=0\nStartPoint=1.25\nEndPoint=9.5\n"
                      "MidiFile=/tmp/run/out.mid\nTempoFile=/tmp/run/tempo\n");
    EXPECT_EQ(r.region.start, 1.25);
    EXPECT_EQ(r.region.end, 9.5);
}

TEST(EngineSettings, FollowedBeatsStartTheGridOnTheirFirstDownbeat) {
    EnginePaths mapped = Paths;
    mapped.tempoFile = "/tmp/run/tempo.map";
    FollowedBeats beats{99.86, 3, 2, false, -0.3, 11.5};
    // Asked for: the whole file, which the grid's region replaces.
    RenderedSettings r = rendered({{"Resolution", "4"}, {"EntireWave", "1"}}, mapped, &beats);
    EXPECT_EQ(r.text, "ExePath=/opt/data/\nWaveFile=/music/take.wav\nEntireWave=0\n"
                      "StartPoint=-0.29999999999999999\nEndPoint=11.5\nResolution=4\nMidiFile=/tmp/run/out.mid\n"
                      "TimeSignatureNumerator=3\nTimeSignatureDenominator=2\nTempo=99.86\n"
                      "TempoFile=/tmp/run/tempo.map\nChordRes=4\n");
    EXPECT_EQ(r.region.start, -0.3);  // 17 digits read back as the very same double
    EXPECT_EQ(r.region.end, 11.5);
    EXPECT_EQ(r.engine.TimeSignatureNumerator, 3);

    // A metre and an end asked for stay; the end is not rewritten.
    beats.metreGiven = true;
    r = rendered({{"TimeSignatureNumerator", "6"}, {"TimeSignatureDenominator", "3"}, {"EntireWave", "0"},
                  {"EndPoint", "8"}}, mapped, &beats);
    EXPECT_EQ(r.engine.TimeSignatureNumerator, 6);
    EXPECT_EQ(r.engine.TimeSignatureDenominator, 3);
    EXPECT_EQ(r.region.end, 8);
    EXPECT_EQ(r.text.find("ChordRes"), std::string::npos);
}

TEST(EngineSettings, TheValuesSetAreWhatTheEngineReadsInTheText) {
    // Tempos of two decimals and ends of any double, over odd settings asked for: the values
    // handed on never need the text read back.
    EnginePaths mapped = Paths;
    mapped.tempoFile = "/tmp/run/tempo.map";
    const SettingsList odd[] = {{}, {{"EntireWave", "1"}, {"EndPoint", "3"}}, {{"EndPoint", ""}, {"ChordRes", "2"}},
                                {{"Resolution", "2,5"}, {"Tempo", "97,3"}, {"StartPoint", " 4"}}};
    for (const SettingsList &asked : odd)
        for (double tempo : {30.0, 99.86, 123.45, 299.99})
            for (double start : {-0.3, 0.0, 1.0 / 3, 7.123456789012345}) {
                FollowedBeats beats{tempo, 3, 3, false, start, start + 10.1};
                rendered(asked, mapped, &beats);
            }
}

TEST(EngineSettings, TheCheckFindsAValueTheTextDoesNotCarry) {
    ScratchDir dir;
    RenderedSettings r = rendered({{"Tempo", "66"}}, Paths, nullptr);
    writeText(dir.path + "settings.txt", r.text);
    EXPECT_EQ(settingsFileProblem(dir.path + "settings.txt", r.list, r.engine).kind, SettingsProblemKind::None);
    r.engine.Tempo = 66.5;  // a value handed on that the file does not say
    EXPECT_EQ(settingsFileProblem(dir.path + "settings.txt", r.list, r.engine).kind,
              SettingsProblemKind::NotReadBack);
}
