// Engine entry: banner, launch token and the path arguments.
#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"

namespace {

TEST(EngineEntry, QuestionMarksStandForBlanksAndPathsAreWhole) {
    EXPECT_EQ(copyArgument("my?settings?.txt"), "my settings .txt");
    const std::string longText(300, 'a');
    EXPECT_EQ(copyArgument(longText.c_str()), longText);
    EXPECT_EQ(copyArgument("?"), " ");
}

// A run that must not touch anything: banner on standard output, exit 0.
void expectUntouched(const std::vector<std::string> &extra) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    std::vector<std::string> args{dir.settingsPath(), dir.statusPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    EngineOutcome result = runEngineArgs(args, dir.statusPath());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.stdoutText.find("\n\nDO NOT RUN THIS PROGRAM DIRECTLY!"), std::string::npos) << result.stdoutText;
    EXPECT_EQ(result.status, "0");
    EXPECT_FALSE(fileExists(dir.midiPath()));
}

TEST(EngineEntry, FewerThanThreeArgumentsOnlyPrintTheBanner) {
    expectUntouched({});
    EngineOutcome result = runEngineArgs({}, "/nonexistent/status");
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
    EngineOutcome result = runEngineArgs({dir.settingsPath(), dir.statusPath(), "+", "extra"}, dir.statusPath());
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
}

TEST(EngineEntry, BlankPathsGivenWithQuestionMarks) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    writeFile(dir.file("my settings.txt"), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.midiPath() + "\n");
    writeFile(dir.file("my status.txt"), "0");
    EngineOutcome result = runEngineArgs({dir.file("my?settings.txt"), dir.file("my?status.txt"), "+"},
                                     dir.file("my status.txt"));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
    EXPECT_TRUE(fileExists(dir.midiPath()));
}

// Paths longer than 255 characters, whose first 255 characters name other files.
struct LongPaths {
    std::string settings, status;
    explicit LongPaths(const EngineDir &dir) {
        settings = dir.path + "/";
        settings += std::string(255 - settings.size(), 'c');
        status = dir.path + "/";
        status += std::string(255 - status.size(), 's');
    }
};

TEST(EngineEntry, LongPathArgumentsAreUsedWhole) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    LongPaths p(dir);
    writeFile(p.settings, "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.file("decoy.mid") + "\n");
    writeFile(p.status, "0");
    writeFile(p.settings + "-whole", "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.midiPath() + "\n");
    writeFile(p.status + "-whole", "0");
    EngineOutcome result = runEngineArgs({p.settings + "-whole", p.status + "-whole", "+"}, p.status + "-whole");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.status, "100,128,-1,0,0");
    EXPECT_TRUE(fileExists(dir.midiPath()));
    EXPECT_FALSE(fileExists(dir.file("decoy.mid"))) << "the cut settings path was read";
    EXPECT_EQ(readFile(p.status), "0") << "the cut status path was written";
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

// A tempo file that is not a regular file is never opened: the frames keep the
// constant spacing. Zero-length beats of a regular file keep their meaning.
TEST(EngineEntry, TempoFileThatIsNoRegularFileGivesConstantSpacing) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 2.0, 0.5, 1.5);
    dir.prepare();
    ASSERT_EQ(dir.runEngine(), 0);
    const std::string constant = readFile(dir.midiPath());
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string &tempo : {std::string("/dev/zero"), dir.file("fifo"), dir.path}) {
        dir.prepare("TempoFile=" + tempo + "\n");
        EXPECT_EQ(waitEngineFor(startEngine({dir.settingsPath(), dir.statusPath(), "+"}), 20), 0) << tempo;
        EXPECT_EQ(readFile(dir.midiPath()), constant) << tempo;
    }
    writeFile(dir.file("zeros"), std::string("\0\0\0\0\xff\xff", 6));
    dir.prepare("TempoFile=" + dir.file("zeros") + "\n");
    EXPECT_EQ(dir.runEngine(), 0);
    EXPECT_NE(readFile(dir.midiPath()), constant) << "two beats of 0 ms analyse the first frame again";
}

}  // namespace
