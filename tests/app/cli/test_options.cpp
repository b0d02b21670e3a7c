// Options in musicians' words and the settings keys they become.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/starter/beats/beats.h"
#include "app/starter/cli/names.h"
#include "app/starter/cli/options.h"
#include "tests/app/support.h"

namespace {

// Settings composed from a command line; fails the test when it does not parse.
SettingsList settingsOf(const std::vector<std::string> &args, const std::string &dataDir = "/nonexistent/") {
    StarterOptions options;
    std::string error;
    EXPECT_TRUE(parseCommandLine(args, dataDir, options, error)) << error;
    SettingsList settings;
    EXPECT_TRUE(composeSettings(options, settings, error)) << error;
    return settings;
}

// The sentence for a command line that must be refused.
std::string refusal(const std::vector<std::string> &args, const std::string &dataDir = "/nonexistent/") {
    StarterOptions options;
    std::string error;
    SettingsList settings;
    if (parseCommandLine(args, dataDir, options, error) && composeSettings(options, settings, error))
        return "";
    return error;
}

}  // namespace

TEST(Options, StarterDefaultsComeFirst) {
    SettingsList s = settingsOf({"song.wav"});
    EXPECT_EQ(getSetting(s, "VirtualSR"), "11025");
    EXPECT_EQ(getSetting(s, "Resolution"), "4");
    EXPECT_EQ(s.size(), 2u);
}

TEST(Options, MapsMusicalOptionsOntoSettingsKeys) {
    SettingsList s = settingsOf({"--tempo", "96.5", "--time-signature=6/8", "--grid", "32nd",
                                 "--start", "1.5", "--end", "20", "--transpose", "-12",
                                 "--channel", "10", "--program", "40", "song.wav"});
    EXPECT_EQ(getSetting(s, "Tempo"), "96.5");
    EXPECT_EQ(getSetting(s, "TimeSignatureNumerator"), "6");
    EXPECT_EQ(getSetting(s, "TimeSignatureDenominator"), "3");
    EXPECT_EQ(getSetting(s, "Resolution"), "5");
    EXPECT_EQ(getSetting(s, "StartPoint"), "1.5");
    EXPECT_EQ(getSetting(s, "EndPoint"), "20");
    EXPECT_EQ(getSetting(s, "EntireWave"), "0");
    EXPECT_EQ(getSetting(s, "Transpose"), "-12");
    EXPECT_EQ(getSetting(s, "Channel"), "10");
    EXPECT_EQ(getSetting(s, "Patch"), "40");
}

TEST(Options, MapsKeysAndTheScale) {
    SettingsList s = settingsOf({"--key", "Eb", "--scale-only", "x.wav"});
    EXPECT_EQ(getSetting(s, "KeySignature"), "-3");
    EXPECT_EQ(getSetting(s, "MajorMinor"), "0");
    EXPECT_EQ(getSetting(s, "AutoDetectKey"), "0");
    EXPECT_EQ(getSetting(s, "Constrain"), "1");
    SettingsList minor = settingsOf({"--key", "F#m", "x.wav"});
    EXPECT_EQ(getSetting(minor, "KeySignature"), "3");
    EXPECT_EQ(getSetting(minor, "MajorMinor"), "1");
    SettingsList automatic = settingsOf({"--key", "auto", "x.wav"});
    EXPECT_EQ(getSetting(automatic, "AutoDetectKey"), "1");
    EXPECT_EQ(getSetting(automatic, "KeySignature"), "8");
    EXPECT_EQ(getSetting(settingsOf({"--key", "none", "x.wav"}), "KeySignature"), "8");
}

TEST(Options, NamesEveryKey) {
    struct Case { const char *name; int sig; int minor; };
    for (Case c : std::vector<Case>{{"C", 0, 0},    {"G", 1, 0},     {"B", 5, 0},   {"F#", 6, 0},
                                    {"Gb", -6, 0},  {"C#", 7, 0},    {"Db", -5, 0}, {"Cb", -7, 0},
                                    {"F", -1, 0},   {"Bb", -2, 0},   {"Am", 0, 1},  {"Em", 1, 1},
                                    {"D#m", 6, 1},  {"Ebm", -6, 1},  {"A#m", 7, 1}, {"Bbm", -5, 1},
                                    {"Abm", -7, 1}, {"G#m", 5, 1},   {"dm", -1, 1}, {"Bb minor", -5, 1},
                                    {"D major", 2, 0}, {"D#", -3, 0}}) {
        int sig = 99, minor = 99;
        ASSERT_TRUE(parseKeyName(c.name, sig, minor)) << c.name;
        EXPECT_EQ(sig, c.sig) << c.name;
        EXPECT_EQ(minor, c.minor) << c.name;
    }
    int sig, minor;
    EXPECT_FALSE(parseKeyName("H", sig, minor));
    EXPECT_FALSE(parseKeyName("Cx", sig, minor));
    EXPECT_FALSE(parseKeyName("", sig, minor));
}

TEST(Options, ReadsTimeSignaturesAndGrids) {
    int n, d;
    EXPECT_TRUE(parseTimeSignature("3/4", n, d));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(d, 2);
    EXPECT_TRUE(parseTimeSignature("12/8", n, d));
    EXPECT_EQ(d, 3);
    EXPECT_FALSE(parseTimeSignature("3/5", n, d));
    EXPECT_FALSE(parseTimeSignature("0/4", n, d));
    EXPECT_FALSE(parseTimeSignature("34", n, d));
    EXPECT_EQ(gridResolution("8th"), 3);
    EXPECT_EQ(gridResolution("16TH"), 4);
    EXPECT_EQ(gridResolution("32nd"), 5);
    EXPECT_EQ(gridResolution("10th"), -1);
}

TEST(Options, SetAndSettingsFileLayerInOrder) {
    ScratchDir dir;
    writeText(dir.path + "base.txt", "Tempo=80\nKeyMin=30\nResolution=3\nGain=150\n");
    SettingsList s = settingsOf({"--settings", dir.path + "base.txt", "--set", "KeyMin=36",
                                 "--tempo", "100", "--set", "Tempo=110", "x.wav"});
    EXPECT_EQ(getSetting(s, "Tempo"), "110");       // the later option wins
    EXPECT_EQ(getSetting(s, "KeyMin"), "36");
    EXPECT_EQ(getSetting(s, "Resolution"), "3");    // the file beats the starter's default
    EXPECT_EQ(getSetting(s, "Gain"), "150");
    EXPECT_EQ(getSetting(s, "VirtualSR"), "11025");
}

TEST(Options, AnEmptyValueLeavesTheSettingAsTheEngineDoes) {
    ScratchDir dir;
    writeText(dir.path + "base.txt", "Tempo=\nKeyMin=30\n");
    SettingsList s = settingsOf({"--settings", dir.path + "base.txt", "--set", "Tempo=", "x.wav"});
    EXPECT_FALSE(hasSetting(s, "Tempo"));   // so the beats are followed
    s = settingsOf({"--tempo", "90", "--set", "Tempo=", "--set", "KeyMin=", "x.wav"});
    EXPECT_EQ(getSetting(s, "Tempo"), "90");
    EXPECT_FALSE(hasSetting(s, "KeyMin"));
}

TEST(Options, RefusesWhatCannotWork) {
    EXPECT_NE(refusal({"--tempo", "0", "x"}).find("--tempo"), std::string::npos);
    EXPECT_NE(refusal({"--tempo", "fast", "x"}).find("--tempo"), std::string::npos);
    EXPECT_NE(refusal({"--grid", "7th", "x"}).find("--grid"), std::string::npos);
    EXPECT_NE(refusal({"--key", "Q", "x"}).find("--key"), std::string::npos);
    EXPECT_NE(refusal({"--scale-only", "x"}).find("--key"), std::string::npos);
    EXPECT_NE(refusal({"--channel", "17", "x"}).find("1 to 16"), std::string::npos);
    EXPECT_NE(refusal({"--transpose", "2.5", "x"}).find("semitones"), std::string::npos);
    EXPECT_NE(refusal({"--set", "Keymin=3", "x"}).find("KeyMin"), std::string::npos);
    EXPECT_NE(refusal({"--set", "Tempo", "x"}).find("KEY=VALUE"), std::string::npos);
    EXPECT_NE(refusal({"--bogus", "x"}).find("--bogus"), std::string::npos);
    EXPECT_NE(refusal({"x", "--tempo"}).find("needs a value"), std::string::npos);
    EXPECT_NE(refusal({"--force=yes", "x"}).find("no value"), std::string::npos);
    EXPECT_NE(refusal({"--start", "5", "--end", "2", "x"}).find("--end"), std::string::npos);
    EXPECT_NE(refusal({"--tempo-map", "/nonexistent", "x"}).find("tempo map"), std::string::npos);
    // An empty name says so rather than naming nothing.
    EXPECT_EQ(refusal({"--tempo-map", "", "x"}), "--tempo-map takes the name of a tempo file, not nothing.");
    EXPECT_EQ(refusal({"--report", "", "x"}), "--report takes a file to append a line to for each input (its folder "
                                              "must exist and be writable); an empty name names none.");
    EXPECT_NE(refusal({"--settings", "/nonexistent", "x"}).find("settings file"), std::string::npos);
    EXPECT_NE(refusal({"--set", "Tempo=-5", "x"}).find("tempo"), std::string::npos);
    EXPECT_NE(refusal({"--raw", "--quantize", "x"}).find("--raw"), std::string::npos);
    EXPECT_NE(refusal({"--keep-engine-files", "/nonexistent", "x"}).find("--keep-engine-files"), std::string::npos);
}

// The written file counts quarter notes, and a MIDI file holds none slower than 3.6 a minute: the
// slowest tempo of a beat of eighths is 7.2, of 16ths 14.4; halves and wholes keep 3.6.
TEST(Options, ATempoTooSlowForTheMetresNoteValueIsRefused) {
    EXPECT_DOUBLE_EQ(slowestTempoIn(2), 3.6);
    EXPECT_DOUBLE_EQ(slowestTempoIn(0), 3.6);
    EXPECT_DOUBLE_EQ(slowestTempoIn(3), 7.2);
    EXPECT_DOUBLE_EQ(slowestTempoIn(6), 57.6);
    EXPECT_EQ(refusal({"--tempo", "5", "--time-signature", "3/8", "x"}),
              "In 3/8 time the tempo must be at least 7.2 beats per minute (3.6 quarter notes: a MIDI file "
              "holds no slower tempo); give a faster one with --tempo.");
    EXPECT_NE(refusal({"--set", "Tempo=20", "--time-signature", "32/32", "x"}).find("at least 28.8"),
              std::string::npos);
    EXPECT_EQ(getSetting(settingsOf({"--tempo", "7.2", "--time-signature", "6/8", "x"}), "Tempo"), "7.2");
    EXPECT_EQ(getSetting(settingsOf({"--tempo", "3.6", "--time-signature", "3/2", "x"}), "Tempo"), "3.6");
    EXPECT_EQ(getSetting(settingsOf({"--time-signature", "9/16", "x"}), "Tempo"), "") << "tracked: no tempo given";
}

// A tempo map's beat may last no longer than a beat of that slowest tempo.
TEST(Options, ATempoMapWithABeatTooSlowIsRefused) {
    ScratchDir dir;
    std::string map = dir.path + "slow.map";
    ASSERT_TRUE(writeTempoMap(map, {500, 500, 20000, 500, TempoMapEnd}));
    EXPECT_EQ(refusal({"--tempo-map", map, "x"}), "Beat 3 of the tempo map " + map +
                                                      " lasts 20000 ms; in 4/4 time a beat may last at most 16666 ms "
                                                      "(a MIDI file holds no slower tempo).");
    EXPECT_EQ(refusal({"--tempo-map", map, "--tempo", "100", "x"}).rfind("Beat 3", 0), 0u) << "with a tempo too";
    ASSERT_TRUE(writeTempoMap(map, {500, 9000, TempoMapEnd}));
    EXPECT_EQ(refusal({"--tempo-map", map, "x"}), "");
    EXPECT_NE(refusal({"--tempo-map", map, "--time-signature", "6/8", "x"}).find("at most 8333 ms"), std::string::npos);
}

TEST(Options, LaterOptionsWinWhateverTheirKind) {
    EXPECT_EQ(getSetting(settingsOf({"--set", "Tempo=110", "--tempo", "100", "x.wav"}), "Tempo"), "100");
    EXPECT_EQ(getSetting(settingsOf({"--tempo", "100", "--set", "Tempo=110", "x.wav"}), "Tempo"), "110");
    SettingsList s = settingsOf({"--grid", "8th", "--set", "Resolution=6", "--grid=32nd", "--set", "KeyMin=30",
                                 "--set", "KeyMin=40", "x.wav"});
    EXPECT_EQ(getSetting(s, "Resolution"), "5");
    EXPECT_EQ(getSetting(s, "KeyMin"), "40");
    EXPECT_EQ(settingsText(s).find("KeyMin"), settingsText(s).rfind("KeyMin")) << "one line per key";
}

TEST(Options, TakesValuesInEveryDocumentedSpelling) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-j4", "x"}, {"-j", "4", "x"}, {"--jobs=4", "x"},
                                          {"--jobs", "4", "x"}}) {
        StarterOptions o;
        std::string error;
        ASSERT_TRUE(parseCommandLine(args, "/x/", o, error)) << args[0] << ": " << error;
        EXPECT_EQ(o.jobs, 4) << args[0];
        EXPECT_EQ(o.inputs, std::vector<std::string>{"x"}) << args[0];
    }
    EXPECT_EQ(getSetting(settingsOf({"--tempo=96", "x"}), "Tempo"), "96");
    EXPECT_EQ(getSetting(settingsOf({"--transpose", "-12", "x"}), "Transpose"), "-12");
    EXPECT_EQ(getSetting(settingsOf({"--set", "Transpose=-3", "x"}), "Transpose"), "-3");
    StarterOptions o;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--output=", "x", "-", "--", "--tempo", "-j4", "--"}, "/x/", o, error)) << error;
    EXPECT_EQ(o.output, "") << "an empty value after = stays empty";
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"x", "-", "--tempo", "-j4", "--"}));
    EXPECT_FALSE(hasSetting(o.assignments, "Tempo"));
}

TEST(Options, NamesTheArgumentItCannotTake) {
    EXPECT_EQ(refusal({"x", "-j"}), "The option -j needs a value.");
    EXPECT_EQ(refusal({"--set"}), "The option --set needs a value.");
    EXPECT_EQ(refusal({"--quiet=1", "x"}), "The option --quiet takes no value.");
    EXPECT_EQ(refusal({"-b.wav"}),
              "There is no option -b.wav; to transcribe a file of that name, give it after --: sonoscriptor -- -b.wav.");
    EXPECT_EQ(refusal({"-b"}), "There is no option -b.");
    EXPECT_EQ(refusal({"x", "--Tempo", "96"}), "There is no option --Tempo; did you mean --tempo?");
    EXPECT_EQ(refusal({"x", "--tmepo=90"}), "There is no option --tmepo; did you mean --tempo?");
    EXPECT_EQ(refusal({"x", "--keep-engine-file", "d"}),
              "There is no option --keep-engine-file; did you mean --keep-engine-files?");
    EXPECT_EQ(refusal({"x", "--colour"}), "There is no option --colour.");
    EXPECT_EQ(refusal({"--set", "KeyMn=3", "x"}), "There is no settings key KeyMn; did you mean KeyMin?");
    EXPECT_EQ(refusal({"-5", "x"}), "There is no option -5.");
    EXPECT_EQ(refusal({"x", "---x", "--", "-y"}), "There is no option ---x.");
    EXPECT_EQ(refusal({"--tempo=", "x"}).rfind("--tempo takes", 0), 0u);
    EXPECT_EQ(refusal({"--set", "--tempo", "x"}).rfind("--set takes KEY=VALUE", 0), 0u);
    EXPECT_EQ(refusal({"--jobs=0", "x"}).rfind("-j takes", 0), 0u);
}

TEST(Options, CollectsFilesAndSwitches) {
    StarterOptions o;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"a.wav", "-o", "out.mid", "--force", "-q", "-j3", "--", "-b.wav"},
                                 "/x/", o, error));
    EXPECT_EQ(o.inputs, (std::vector<std::string>{"a.wav", "-b.wav"}));
    EXPECT_EQ(o.output, "out.mid");
    EXPECT_TRUE(o.force);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.jobs, 3);
    EXPECT_FALSE(o.raw || o.quantize) << "the notes are refined, not quantized, by default";
    ASSERT_TRUE(parseCommandLine({"--raw", "--keep-engine-files", "/tmp", "a.wav"}, "/x/", o, error));
    EXPECT_TRUE(o.raw);
    EXPECT_EQ(o.keepDir, "/tmp");
}

TEST(Options, HelpListsEveryOptionWithItsDefault) {
    std::string help = helpText("/usr/share/sonoscriptor/", 4);
    for (const char *option : {"--output", "--force", "--jobs", "--quiet", "--tempo ", "--time-signature",
                               "--grid", "--key", "--scale-only", "--instrument", "--filter", "--start",
                               "--end", "--transpose", "--channel", "--program", "--tempo-map", "--set",
                               "--settings", "--engine", "--help", "--version", "--beats"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    for (const char *def : {"default: the beats are found", "a constant 120", "default 4/4", "default 16th", "default auto", "default: 4",
                            "VirtualSR=11025"})
        EXPECT_NE(help.find(def), std::string::npos) << def;
    EXPECT_EQ(help, fileText(std::string(SOURCE_DIR) + "/tests/app/cli/golden/help.txt"));
}

TEST(Options, TheUserGuideDescribesEveryOptionOfTheHelp) {
    std::string guide = fileText(std::string(SOURCE_DIR) + "/docs/user-guide.md");
    std::vector<std::string> options =
        helpOptions(helpText("/usr/share/sonoscriptor/", 4), "^  (?:-\\w, |    )(--[a-z-]+)");
    EXPECT_GT(options.size(), 30u) << "the help's option lines were not found";
    for (const std::string &name : options)
        EXPECT_NE(guide.find("`" + name), std::string::npos) << name << " is not in docs/user-guide.md";
}
