// The detection settings by name: note names, the shortest note, the
// sensitivity, and the engine keys each of them sets.
#include <gtest/gtest.h>

#include <filesystem>

#include <sndfile.h>

#include "app/starter/cli/names.h"
#include "app/starter/cli/options.h"
#include "app/starter/protocol/engine_settings.h"
#include "app/starter/refine/thresholds.h"
#include "tests/app/support.h"

namespace {

// Settings composed from a command line; fails the test when it does not parse.
SettingsList composed(const std::vector<std::string> &args) {
    StarterOptions options;
    std::string error;
    EXPECT_TRUE(parseCommandLine(args, "/nonexistent/", options, error)) << error;
    SettingsList settings;
    EXPECT_TRUE(composeSettings(options, settings, error)) << error;
    return settings;
}

// The sentence for a command line that must be refused, "" when it is taken.
std::string refused(const std::vector<std::string> &args) {
    StarterOptions options;
    std::string error;
    SettingsList settings;
    if (parseCommandLine(args, "/nonexistent/", options, error) && composeSettings(options, settings, error))
        return "";
    return error;
}

// A settings file's entries without the paths of its run (they name each run's own temporary files).
SettingsList withoutPaths(const std::string &text) {
    SettingsList list;
    parseSettingsText(text, list);
    for (const char *key : {"WaveFile", "MidiFile", "ExePath", "TempoFile"})
        removeSetting(list, key);
    return list;
}

}  // namespace

TEST(Detection, ReadsNoteNames) {
    struct Case { const char *name; int key; };
    for (Case c : std::vector<Case>{{"A0", 21},  {"C4", 60},  {"c4", 60},   {"C#3", 49}, {"Db3", 49},
                                    {"Bb2", 46}, {"bb2", 46}, {"B#3", 60},  {"Cb4", 59}, {"C-1", 0},
                                    {"G9", 127}, {"E#4", 65}, {"F##2", 43}, {"0", 0},    {"127", 127},
                                    {"60", 60},  {"A4", 69},  {"C8", 108}}) {
        int key = -1;
        EXPECT_TRUE(parseNoteName(c.name, key)) << c.name;
        EXPECT_EQ(key, c.key) << c.name;
    }
    int key;
    for (const char *bad : {"", "H2", "C", "C10", "G#9", "Cb-1", "128", "-1", "C4.5", "C 4", "C0x1", "4C", "C+4"})
        EXPECT_FALSE(parseNoteName(bad, key)) << bad;
}

TEST(Detection, NamedOptionsSetTheirKeys) {
    SettingsList s = composed({"--lowest-note", "A0", "--highest-note", "C#6", "x.wav"});
    EXPECT_EQ(getSetting(s, "KeyMin"), "21");
    EXPECT_EQ(getSetting(s, "KeyMax"), "85");
    EXPECT_EQ(getSetting(composed({"--sensitivity", "5", "x.wav"}), "OutputThreshold"), "6");
    EXPECT_EQ(getSetting(composed({"--sensitivity", "1", "x.wav"}), "OutputThreshold"), "24");
    EXPECT_EQ(getSetting(composed({"--sensitivity", "10", "x.wav"}), "OutputThreshold"), "1");
    // With an instrument's templates the engine's own threshold is 3, whatever the order.
    EXPECT_EQ(getSetting(composed({"--sensitivity", "3", "--set", "Filter=2", "x.wav"}), "OutputThreshold"), "6");
    // A later OutputThreshold wins, an earlier one is replaced.
    EXPECT_EQ(getSetting(composed({"--sensitivity", "3", "--set", "OutputThreshold=9", "x.wav"}), "OutputThreshold"),
              "9");
    EXPECT_EQ(getSetting(composed({"--set", "OutputThreshold=9", "--sensitivity", "3", "x.wav"}), "OutputThreshold"),
              "12");
    // Not given: nothing is set, so the default run's settings stay as they were.
    EXPECT_FALSE(hasSetting(composed({"x.wav"}), "OutputThreshold"));
}

TEST(Detection, RefusesBadValues) {
    for (auto args : std::vector<std::vector<std::string>>{{"--lowest-note", "H2", "x"},
                                                           {"--highest-note", "200", "x"},
                                                           {"--sensitivity", "0", "x"},
                                                           {"--sensitivity", "11", "x"},
                                                           {"--sensitivity", "5.5", "x"},
                                                           {"--shortest-note", "0", "x"},
                                                           {"--shortest-note", "fast", "x"},
                                                           {"--shortest-note", "20000", "x"}})
        EXPECT_EQ(refused(args).find(args[0] + " takes"), 0u) << args[0] << " " << args[1] << ": " << refused(args);
    EXPECT_NE(refused({"--lowest-note", "C5", "--highest-note", "C4", "x"}).find("lies above"), std::string::npos);
    // One bound alone against the engine's other one (C1 to C7), but not against an instrument's.
    EXPECT_EQ(refused({"--lowest-note", "C8", "x"}),
              "The lowest note (108) lies above the highest the engine analyses (96, C7); give --highest-note too.");
    EXPECT_EQ(refused({"--set", "KeyMax=21", "x"}),
              "The highest note (21) lies below the lowest the engine analyses (24, C1); give --lowest-note too.");
    EXPECT_EQ(refused({"--lowest-note", "C8", "--highest-note", "C9", "x"}), "");
    EXPECT_EQ(refused({"--lowest-note", "C7", "x"}), "");
    StarterOptions options;
    std::string error;
    SettingsList settings;
    ASSERT_TRUE(parseCommandLine({"--instrument", "piano", "--lowest-note", "C8", "x"}, SOURCE_DIR "/data/", options,
                                 error));
    EXPECT_TRUE(composeSettings(options, settings, error)) << error;
}

TEST(Detection, ShortestNoteBecomesWholeFrames) {
    // Tempo 120 on a 16th-note grid: 8 frames a beat, 62.5 ms a frame.
    struct Case { double tempo; double ms; int frames; };
    for (Case c : std::vector<Case>{{120, 125, 2}, {120, 126, 3}, {120, 10, 1}, {120, 62.5, 1}, {60, 250, 2},
                                    {60, 1000, 8}}) {
        SettingsList asked = {{"VirtualSR", "11025"}, {"Resolution", "4"}, {"Tempo", numberText(c.tempo)}};
        RenderedSettings r = renderSettings(asked, engineSettings(asked), {"in.wav", "out.mid", "/d/", ""}, nullptr);
        holdShortestNote(r, c.ms);
        EXPECT_EQ(r.engine.MinimumLength, c.frames) << c.tempo << " " << c.ms;
        EXPECT_NE(r.text.find("MinimumLength=" + std::to_string(c.frames) + "\n"), std::string::npos) << r.text;
    }
}

TEST(Detection, SensitivityMovesTheRefinementTogether) {
    RefineThresholds base;
    RefineThresholds same = moreSensitive(base, 0);
    for (const ThresholdField &f : thresholdFields())
        EXPECT_EQ(same.*f.field, base.*f.field) << f.name;
    RefineThresholds more = moreSensitive(base, 4), fewer = moreSensitive(base, -4);
    EXPECT_DOUBLE_EQ(more.splitStrength, base.splitStrength / 2);
    EXPECT_DOUBLE_EQ(fewer.dropStrength, base.dropStrength * 2);
    EXPECT_DOUBLE_EQ(more.dropLevel, base.dropLevel - 12);
    EXPECT_DOUBLE_EQ(more.splitLevel, base.splitLevel - 12);
    EXPECT_DOUBLE_EQ(fewer.restrikeLevel, base.restrikeLevel + 12);
    EXPECT_EQ(more.attackLatency, base.attackLatency);  // timing is not a note threshold
}

// Each named option reaches the engine exactly as the --set of the key it maps to.
TEST(DetectionRuns, NamedOptionsRunAsTheirKeys) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "tune.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 4.5));
    std::filesystem::create_directory(dir.path + "named");
    std::filesystem::create_directory(dir.path + "keys");
    // Tempo 120 on the 16th grid: 130 ms is 3 frames of 62.5 ms; sensitivity 7 is a threshold of 3.
    CommandResult named = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "--lowest-note", "C3",
                                      "--highest-note", "C6", "--sensitivity", "7", "--shortest-note", "130", "--raw",
                                      "--keep-engine-files", "named", "-o", "named.mid", "tune.wav"},
                                     dir.path, {"TMPDIR=" + dir.path});
    CommandResult keys = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "--set", "KeyMin=48", "--set",
                                     "KeyMax=84", "--set", "OutputThreshold=3", "--set", "MinimumLength=3", "--raw",
                                     "--keep-engine-files", "keys", "-o", "keys.mid", "tune.wav"},
                                    dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(named.code, 0) << named.err;
    ASSERT_EQ(keys.code, 0) << keys.err;
    SettingsList a = withoutPaths(fileText(dir.path + "named/tune.settings.txt"));
    SettingsList b = withoutPaths(fileText(dir.path + "keys/tune.settings.txt"));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(settingsText(a), settingsText(b));
    EXPECT_EQ(fileText(dir.path + "named.mid"), fileText(dir.path + "keys.mid"));
    EXPECT_NE(fileText(dir.path + "named.mid"), "");
}

// The default sensitivity is today's thresholds: the refined output does not change.
TEST(DetectionRuns, DefaultSensitivityChangesNothing) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "tune.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 4.5));
    CommandResult plain = runStarter({"--engine", ENGINE_PATH, "-o", "plain.mid", "tune.wav"}, dir.path,
                                     {"TMPDIR=" + dir.path});
    CommandResult five = runStarter({"--engine", ENGINE_PATH, "--sensitivity", "5", "-o", "five.mid", "tune.wav"},
                                    dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(plain.code, 0) << plain.err;
    ASSERT_EQ(five.code, 0) << five.err;
    EXPECT_EQ(fileText(dir.path + "plain.mid"), fileText(dir.path + "five.mid"));
}
