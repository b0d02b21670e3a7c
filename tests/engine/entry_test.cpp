// Engine entry: banner, launch token and the path arguments.
#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"

namespace {

TEST(EngineEntry, QuestionMarksStandForBlanksAndPathsAreCut) {
    EXPECT_EQ(copyArgument("my?settings?.txt", true), "my settings .txt");
    const std::string longText(300, 'a');
    EXPECT_EQ(copyArgument(longText.c_str(), true), std::string(255, 'a'));
    EXPECT_EQ(copyArgument(longText.c_str(), false), longText);
    EXPECT_EQ(copyArgument("?", false), " ");
}

// A run that must not touch anything: banner on standard output, exit 0.
void expectUntouched(const std::vector<std::string> &extra) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    std::vector<std::string> args{dir.settingsPath(), dir.statusPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    EngineRun result = runEngineArgs(args, dir.statusPath());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.stdoutText.find("\n\nDO NOT RUN THIS PROGRAM DIRECTLY!"), std::string::npos) << result.stdoutText;
    EXPECT_EQ(result.status, "0");
    EXPECT_FALSE(fileExists(dir.midiPath()));
}

TEST(EngineEntry, FewerThanThreeArgumentsOnlyPrintTheBanner) {
    expectUntouched({});
    EngineRun result = runEngineArgs({}, "/nonexistent/status");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.stdoutText.find("DO NOT RUN THIS PROGRAM DIRECTLY!"), std::string::npos);
}

TEST(EngineEntry, WrongLaunchTokenOnlyPrintsTheBanner) {
    for (const char *token : {"-", "++", "?", " +", ""}) expectUntouched({token});
}

TEST(EngineEntry, ArgumentsAfterTheTokenAreIgnored) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    EngineRun result = runEngineArgs({dir.settingsPath(), dir.statusPath(), "+", "extra"}, dir.statusPath());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
}

TEST(EngineEntry, BlankPathsGivenWithQuestionMarks) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    writeFile(dir.file("my settings.txt"), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.midiPath() + "\n");
    writeFile(dir.file("my status.txt"), "0");
    EngineRun result = runEngineArgs({dir.file("my?settings.txt"), dir.file("my?status.txt"), "+"},
                                     dir.file("my status.txt"));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
    EXPECT_TRUE(fileExists(dir.midiPath()));
}

TEST(EngineEntry, StatusPathIsCutTo255Characters) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    std::string statusPath = dir.path + "/";
    statusPath += std::string(255 - statusPath.size(), 's');
    ASSERT_EQ(statusPath.size(), 255u);
    writeFile(statusPath, "0");
    EngineRun result = runEngineArgs({dir.settingsPath(), statusPath + "-cut-off", "+"}, statusPath);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
}

}  // namespace

namespace {

TEST(EngineEntry, InputShorterThanOneFrameReadsNoFrame) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 0.1, 0, 0.1);  // the first frame would reach past the end
    dir.prepare("", "-1");                      // no frame, so no poll either
    EXPECT_EQ(dir.runEngine(), 0);
    EXPECT_EQ(readFile(dir.midiPath()).size(), 102u);
    EXPECT_EQ(dir.status(), "100,128,-1,0,0");
}

}  // namespace
