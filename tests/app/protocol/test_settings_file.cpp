// The settings file as the starter reads and writes it.
#include <gtest/gtest.h>

#include "app/starter/protocol/settings_check.h"
#include "app/starter/protocol/settings_file.h"
#include "tests/app/support.h"

TEST(SettingsFile, KnowsTheFortyFourKeysInTheEngineOrder) {
    ASSERT_EQ(settingsKeys().size(), 44u);
    EXPECT_EQ(settingsKeys().front(), "ExePath");
    EXPECT_EQ(settingsKeys().back(), "Sensitivity");
    EXPECT_TRUE(isSettingsKey("TimeSignatureDenominator"));
    EXPECT_FALSE(isSettingsKey("keymin"));
    EXPECT_EQ(settingsKeyIgnoringCase("keymin"), "KeyMin");
    EXPECT_EQ(engineDefault("Resolution"), "3.0");
    EXPECT_EQ(engineDefault("KeyMin"), "unset");
}

TEST(SettingsFile, ReadsLinesTheWayTheEngineDoes) {
    SettingsList list;
    parseSettingsText("  # Tempo=90\r\nKeyMin =40\nBufferSize=1024 words\nTempo=97,5\n"
                      "junk\nTempo=100\nExePath=/\n", list);
    EXPECT_EQ(getSetting(list, "Tempo"), "100");          // last occurrence wins
    EXPECT_FALSE(hasSetting(list, "KeyMin"));              // blank before "="
    EXPECT_EQ(settingInt(list, "BufferSize", 0), 1024);
    EXPECT_FALSE(hasSetting(list, "ExePath"));             // string line of 10 characters
    SettingsList decimal;
    parseSettingsText("Tempo=97,5\n", decimal);
    EXPECT_DOUBLE_EQ(settingDecimal(decimal, "Tempo", 0), 97.5);
}

TEST(SettingsFile, SplitsLongLinesIntoPiecesOf254) {
    SettingsList list;
    std::string line = "WaveFile=" + std::string(245, 'a') + "KeyMin=36\n";
    parseSettingsText(line, list);
    EXPECT_EQ(getSetting(list, "WaveFile").size(), 245u);
    EXPECT_EQ(getSetting(list, "KeyMin"), "36");
}

TEST(SettingsFile, WritesInTheEngineOrderAndReadsBack) {
    SettingsList list;
    setSetting(list, "Tempo", "90");
    setSetting(list, "ExePath", "/data/");
    setSetting(list, "Tempo", "96");
    EXPECT_EQ(settingsText(list), "ExePath=/data/\nTempo=96\n");
    ScratchDir dir;
    ASSERT_TRUE(writeSettingsFile(dir.path + "s.txt", list));
    SettingsList back;
    ASSERT_EQ(readSettingsFile(dir.path + "s.txt", back).fault, SettingsFileFault::None);
    EXPECT_EQ(getSetting(back, "Tempo"), "96");
    EXPECT_EQ(getSetting(back, "ExePath"), "/data/");
    SettingsFileProblem missing = readSettingsFile(dir.path + "missing.txt", back);
    EXPECT_EQ(missing.fault, SettingsFileFault::Unreadable);
    EXPECT_FALSE(missing.cause.empty()) << "the system's words";
    EXPECT_EQ(readSettingsFile(dir.path, back).fault, SettingsFileFault::NotRegular);
}

TEST(SettingsFile, ConvertsNumbersLikeTheCLibrary) {
    EXPECT_EQ(leadingInt("  -12abc"), -12);
    EXPECT_EQ(leadingInt("150.5"), 150);
    EXPECT_EQ(leadingInt("x"), 0);
    EXPECT_EQ(leadingInt("99999999999999"), 2147483647);
    EXPECT_DOUBLE_EQ(leadingDecimal("2,5"), 2.5);
}

// What the engine's line reader would take differently from what was written.
TEST(SettingsFile, ReadBackFindsValuesTheEngineWouldTakeOtherwise) {
    SettingsList sound = {{"Tempo", ""}, {"ExePath", "/"}, {"KeyMin", " 36 "}, {"MidiFile", "/a b/x.mid"}};
    EXPECT_EQ(readBackProblem(settingsText(sound), sound).kind, SettingsProblemKind::None);
    const struct {
        SettingsEntry entry;
        SettingsProblemKind kind;
        const char *other;
    } cases[] = {
        {{"Transpose", "0MidiFile=x"}, SettingsProblemKind::HoldsKey, "MidiFile"},
        {{"Tempo", "1KeyMin=3"}, SettingsProblemKind::HoldsKey, "KeyMin"},
        {{"ExePath", "/" + std::string(250, 'x') + "/"}, SettingsProblemKind::TooLong, ""},
        {{"KeyMin", std::string("3\0" "6", 3)}, SettingsProblemKind::HoldsBreak, ""},
        {{"KeyMin", "36\r"}, SettingsProblemKind::HoldsBreak, ""},
    };
    for (const auto &c : cases) {
        SettingsList list = sound;
        list.push_back(c.entry);
        SettingsProblem problem = readBackProblem(settingsText(list), list);
        EXPECT_EQ(problem.kind, c.kind) << c.entry.key;
        EXPECT_EQ(problem.key, c.entry.key);
        EXPECT_EQ(problem.detail, c.other);
    }
}
