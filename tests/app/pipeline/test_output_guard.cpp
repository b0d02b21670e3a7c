// Where the result goes: moved into place across file systems without a
// trace, and never over the tempo map or the settings file it was made from.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "tests/app/starter_rig.h"

namespace fs = std::filesystem;

namespace {

struct OutputGuard : StarterRig {};

// Whether two existing paths lie on the same file system.
bool sameFileSystem(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

}  // namespace

// The engine writes into the private folder under TMPDIR; an output folder on
// another file system cannot be reached by a rename, so the result is copied.
TEST_F(OutputGuard, MovesTheResultAcrossFileSystems) {
    TempDir other("/dev/shm");
    if (other.path.empty() || sameFileSystem(tmp, other.path))
        GTEST_SKIP() << "no second file system: /dev/shm is missing or on the same one as " << tmp;
    CommandResult local = run({"song.wav", "-o", "local.mid"});
    ASSERT_EQ(local.code, 0) << local.err;
    const std::string expected = fileText(dir.path + "local.mid");
    ASSERT_FALSE(expected.empty());
    for (bool replace : {false, true}) {
        if (replace)
            writeText(other.file("song.mid"), "an older transcription");
        std::vector<std::string> args = {"song.wav", "-o", other.path};
        if (replace)
            args.push_back("--force");
        CommandResult r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(fileText(other.file("song.mid")), expected) << "replace " << replace;
        EXPECT_EQ(folderEntries(other.path), std::vector<std::string>{"song.mid"}) << "no partial copy";
        EXPECT_TRUE(leftNothingBehind());
    }
}

// --force replaces an older output, but never a file the run reads, however it is named (a tempo
// map also when --set or the settings file gives it).
TEST_F(OutputGuard, NeverOverwritesTheTempoMapOrTheSettingsFile) {
    writeText(dir.path + "map.bin", pcm16({600, 600, 600, 600, 65535}));
    writeText(dir.path + "job.txt", "Tempo=90\n");
    writeText(dir.path + "mapjob.txt", "TempoFile=" + dir.path + "map.bin\n");
    struct Case {
        std::vector<std::string> args;
        std::string file;
    };
    for (const Case &c : std::vector<Case>{
             {{"song.wav", "--tempo-map", "map.bin", "-o", "map.bin", "--force"}, "map.bin"},
             {{"song.wav", "--tempo-map", "map.bin", "-o", "./map.bin", "--force"}, "map.bin"},
             {{"song.wav", "--set", "TempoFile=map.bin", "-o", "map.bin", "--force"}, "map.bin"},
             {{"song.wav", "--settings", "mapjob.txt", "-o", "map.bin", "--force"}, "map.bin"},
             {{"song.wav", "--settings", "job.txt", "-o", "job.txt", "--force"}, "job.txt"},
             {{"song.wav", "--settings", "job.txt", "-o", dir.path + "job.txt", "--force"}, "job.txt"}}) {
        std::remove((dir.path + "args.txt").c_str());
        const std::string before = fileText(dir.path + c.file);
        const std::string what = c.args[1] + " " + c.args[4];
        CommandResult r = run(c.args, {"FAKE_ARGS=" + dir.path + "args.txt"});
        EXPECT_EQ(r.code, 3) << what << ": " << r.err;
        EXPECT_NE(r.err.find("is one of the inputs; choose another name with -o."), std::string::npos)
            << what << ": " << r.err;
        EXPECT_EQ(fileText(dir.path + c.file), before) << what;
        EXPECT_FALSE(fs::exists(dir.path + "args.txt")) << what << ": the engine was started";
        EXPECT_TRUE(leftNothingBehind()) << what;
    }
}

// A note list that exists is refused like any output, and the sentence names --notes, which
// named it, not -o.
TEST_F(OutputGuard, AnExistingNoteListIsRefusedNamingItsOption) {
    writeText(dir.path + "song.csv", "an older list");
    CommandResult r = run({"song.wav", "--notes", "song.csv"}, {"FAKE_ARGS=" + dir.path + "args.txt"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("song.csv already exists; add --force to replace it, or choose another name with --notes."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fileText(dir.path + "song.csv"), "an older list");
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
}
