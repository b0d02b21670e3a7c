// Outputs that are no plain files: standard output, pipes, devices, sockets,
// folders and symbolic links. Only a file or a link is ever replaced, a link
// only with --force, and the name itself is checked before any work.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/app/starter_rig.h"

namespace fs = std::filesystem;

namespace {

struct Outputs : StarterRig {
    // The MIDI file an ordinary run writes, to compare streamed bytes with.
    std::string ordinaryResult() {
        CommandResult r = run({"song.wav", "-o", "ordinary.mid"});
        EXPECT_EQ(r.code, 0) << r.err;
        return fileText(dir.path + "ordinary.mid");
    }

    // Runs the starter while collecting what it writes into the FIFO readFd is open on.
    CommandResult runReading(const std::vector<std::string> &args, int readFd, std::string &received) {
        Spawned s = start(args);
        auto ended = std::async(std::launch::async, [s] { return waitCommandFor(s, 60); });
        auto take = [&] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(readFd, buffer, sizeof buffer)) > 0)
                received.append(buffer, static_cast<size_t>(n));
        };
        while (ended.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
            take();
        take();
        return ended.get();
    }
};

// The type of the name itself (a link is a link).
mode_t typeOf(const std::string &path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

}  // namespace

// `-o -` and `-o /dev/stdout` stream the MIDI file; the summary goes to standard error instead.
TEST_F(Outputs, StandardOutputReceivesTheMidiFile) {
    const std::string expected = ordinaryResult();
    ASSERT_EQ(expected.rfind("MThd", 0), 0u);
    for (const char *name : {"-", "/dev/stdout"}) {
        CommandResult r = run({"song.wav", "-o", name});
        EXPECT_EQ(r.code, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, expected) << name;
        EXPECT_NE(r.err.find("2 notes written"), std::string::npos) << name << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir.path + "-")) << name;
        EXPECT_TRUE(leftNothingBehind()) << name;
    }
}

// `-o /dev/stderr` puts the MIDI file on standard error, past the pipe that catches the decoder's notes.
TEST_F(Outputs, StandardErrorReceivesTheMidiFile) {
    const std::string expected = ordinaryResult();
    CommandResult r = run({"song.wav", "-o", "/dev/stderr"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find(expected), std::string::npos);
    EXPECT_EQ(r.err.find("decoder says"), std::string::npos) << r.err;
    EXPECT_TRUE(leftNothingBehind());
}

// A FIFO (or a link to one) gets the bytes written into it and stays a FIFO, with --force too.
TEST_F(Outputs, APipeIsWrittenIntoAndNeverReplaced) {
    const std::string expected = ordinaryResult();
    const std::string pipe = dir.path + "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    fs::create_symlink("pipe", dir.path + "to-pipe");
    int fd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    for (const std::vector<std::string> &args : {std::vector<std::string>{"song.wav", "-o", "pipe"},
                                                 {"song.wav", "-o", "pipe", "--force"},
                                                 {"song.wav", "-o", "to-pipe", "--force"}}) {
        std::string received;
        CommandResult r = runReading(args, fd, received);
        const std::string what = args.back();
        EXPECT_EQ(r.code, 0) << what << ": " << r.err;
        EXPECT_EQ(received, expected) << what;
        EXPECT_EQ(typeOf(pipe), S_IFIFO) << what;
        EXPECT_EQ(typeOf(dir.path + "to-pipe"), S_IFLNK) << what;
        EXPECT_TRUE(leftNothingBehind()) << what;
    }
    close(fd);
}

// A character device is written into (here one like /dev/null), never replaced.
TEST_F(Outputs, ADeviceIsWrittenIntoAndNeverReplaced) {
    const std::string device = dir.path + "null";
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "no device node can be made here (needs root and a file system that allows devices)";
    for (bool force : {false, true}) {
        std::vector<std::string> args = {"song.wav", "-o", "null"};
        if (force)
            args.push_back("--force");
        CommandResult r = run(args);
        EXPECT_EQ(r.code, 0) << force << ": " << r.err;
        EXPECT_EQ(typeOf(device), S_IFCHR) << "force " << force;
        EXPECT_TRUE(leftNothingBehind());
    }
}

// A socket can be neither replaced nor written into: one sentence, before any work.
TEST_F(Outputs, ASocketIsRefusedBeforeAnyWork) {
    const std::string path = dir.path + "socket";
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    CommandResult r = run({"song.wav", "-o", "socket", "--force"}, {"FAKE_ARGS=" + dir.path + "args.txt"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("is a socket"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(typeOf(path), S_IFSOCK);
    EXPECT_FALSE(fs::exists(dir.path + "args.txt")) << "the engine was started";
    EXPECT_TRUE(leftNothingBehind());
    close(s);
}

// A link, to a file or to nothing, is refused up front without --force; with it the link
// itself is replaced, as mv -f does, and what it led to stays as it was.
TEST_F(Outputs, ASymbolicLinkIsReplacedOnlyWithForce) {
    writeText(dir.path + "target.mid", "kept");
    for (const char *target : {"target.mid", "nowhere.mid"}) {
        fs::create_symlink(target, dir.path + "link.mid");
        std::remove((dir.path + "args.txt").c_str());
        CommandResult r = run({"song.wav", "-o", "link.mid"}, {"FAKE_ARGS=" + dir.path + "args.txt"});
        EXPECT_EQ(r.code, 3) << target << ": " << r.err;
        EXPECT_NE(r.err.find("is a symbolic link; add --force"), std::string::npos) << target << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir.path + "args.txt")) << target << ": refused only after the transcription";
        EXPECT_EQ(typeOf(dir.path + "link.mid"), S_IFLNK) << target;
        r = run({"song.wav", "-o", "link.mid", "--force"});
        EXPECT_EQ(r.code, 0) << target << ": " << r.err;
        EXPECT_EQ(typeOf(dir.path + "link.mid"), S_IFREG) << target;
        EXPECT_EQ(fileText(dir.path + "link.mid").rfind("MThd", 0), 0u) << target;
        EXPECT_EQ(fileText(dir.path + "target.mid"), "kept") << target;
        EXPECT_FALSE(fs::exists(dir.path + "nowhere.mid")) << target;
        EXPECT_TRUE(leftNothingBehind()) << target;
        fs::remove(dir.path + "link.mid");
    }
}

// A file-size limit (ulimit -f) makes a write fail as a full disk does: the run ends with the
// write-failure code and one sentence, and leaves nothing behind, whether the limit is met while
// converting the audio or while writing the score.
TEST_F(Outputs, AFileSizeLimitFailsTheWriteAndLeavesNothingBehind) {
    ASSERT_TRUE(writeTones(dir.path + "long.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, testMelody(), 8.0));
    struct Case {
        std::vector<std::string> args;
        long long limit;
        const char *words;
        const char *output;
    };
    for (const Case &c : {Case{{"long.flac", "--tempo", "100"}, 200000, "converted audio", "long.mid"},
                          Case{{"song.wav", "--tempo", "100", "-o", "song.musicxml"}, 1500, "score", "song.musicxml"}}) {
        Launch launch;
        launch.args = {STARTER_PATH, "--engine", engine};
        launch.args.insert(launch.args.end(), c.args.begin(), c.args.end());
        launch.env = {"TMPDIR=" + tmp};
        launch.dir = dir.path;
        launch.fileSizeLimit = c.limit;
        CommandResult r = waitCommandFor(spawnProcess(launch), 60);
        EXPECT_EQ(r.code, 5) << c.output << ": " << r.err;
        EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir.path + c.output));
        EXPECT_TRUE(leftNothingBehind()) << c.output;
    }
}
