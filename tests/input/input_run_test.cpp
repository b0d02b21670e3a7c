// Settings and input through the engine binary: exit codes, the final status
// line, what is left on disk, and a few end-to-end settings cases.
#include <chrono>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/input/input_rig.h"

namespace {

using input_rig::WavLayout;
using input_rig::wavBytes;

class InputRunTest : public ::testing::Test {
protected:
    TempDir dir;

    std::string sine(const std::string &name = "in.wav") {
        writeWav16(dir.file(name), 11025, 1, sineWave(11025, 440.0, 2.0, 8000));
        return dir.file(name);
    }

    EngineOutcome runWith(const std::string &wav, const std::string &lines) {
        return runEngineWith(dir, "WaveFile=" + wav + "\nMidiFile=" + dir.file("out.mid") + "\n" + lines);
    }
};

TEST_F(InputRunTest, UnsupportedWaveFilesEndWithTheirCodeAndLeaveNoOutput) {
    const struct {
        WavLayout layout;
        size_t dataBytes;
        int exitCode;
        const char *status;
    } cases[] = {
        {[] { WavLayout w; w.rate = 8000; return w; }(), 8000, 4, "-4.010,128,-1,8,0"},
        {[] { WavLayout w; w.channels = 3; return w; }(), 8000, 4, "-4.009,128,-1,8,0"},
        {[] { WavLayout w; w.bits = 24; return w; }(), 8000, 4, "-4.011,128,-1,8,0"},
        {[] { WavLayout w; w.formatTag = 3; return w; }(), 8000, 4, "-4.017,128,-1,8,0"},
        {[] { WavLayout w; w.extraChunk = std::string(4100, 'j'); return w; }(), 100, 4, "-4.018,128,-1,8,0"},
        {WavLayout{}, 4000, 2, "-2.016,128,-1,8,0"},
    };
    for (const auto &c : cases) {
        writeFile(dir.file("in.wav"), wavBytes(c.layout, std::string(c.dataBytes, '\0')));
        writeFile(dir.file("out.mid"), "left by an earlier run");
        EngineOutcome r = runWith(dir.file("in.wav"), "");
        EXPECT_EQ(r.exitCode, c.exitCode) << c.status;
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(fileExists(dir.file("out.mid"))) << c.status;
    }
    // The final line carries the KeySignature setting as read.
    writeFile(dir.file("in.wav"), wavBytes(cases[0].layout, std::string(8000, '\0')));
    EXPECT_EQ(runWith(dir.file("in.wav"), "KeySignature=3\n").status, "-4.010,128,-1,3,0");
}

TEST_F(InputRunTest, MissingFilesEndWithCode3) {
    EngineOutcome r = runEngineArgs({dir.file("absent.txt"), dir.file("status.txt"), "+"}, dir.file("status.txt"));
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.status, "-3.008,128,-1,8,0");
    r = runEngineWith(dir, "MidiFile=" + dir.file("out.mid") + "\nWaveFile=\n");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.status, "-3.023,128,-1,8,0");
    r = runWith(dir.file("absent.wav"), "");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.status, "-3.015,128,-1,8,0");
}

// A FIFO, a socket or a device as WaveFile is never opened: the run ends with
// 3/15 before the output is opened and the FIFO stays. A directory opens and
// fails the first read (2/16).
TEST_F(InputRunTest, WaveFileNamingAFifoSocketOrDeviceEndsWithCode3) {
    const std::string fifo = dir.file("in.fifo"), socketPath = dir.file("in.sock"), folder = dir.file("in.dir");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const struct {
        std::string wave;
        int exitCode;
        const char *status;
    } cases[] = {{fifo, 3, "-3.015,128,-1,8,0"},
                 {socketPath, 3, "-3.015,128,-1,8,0"},
                 {"/dev/zero", 3, "-3.015,128,-1,8,0"},
                 {folder, 2, "-2.016,128,-1,8,0"}};
    for (const auto &c : cases) {
        writeFile(dir.file("settings.txt"), "WaveFile=" + c.wave + "\nMidiFile=" + dir.file("out.mid") + "\n");
        writeFile(dir.file("status.txt"), "0");
        Launch launch;
        launch.args = {ENGINE_PATH, dir.file("settings.txt"), dir.file("status.txt"), "+"};
        CommandResult r = waitCommandFor(spawnProcess(launch), 20);  // an engine that opens the FIFO waits forever
        EXPECT_EQ(r.code, c.exitCode) << c.wave;
        EXPECT_EQ(readFile(dir.file("status.txt")), c.status) << c.wave;
        EXPECT_FALSE(fileExists(dir.file("out.mid"))) << c.wave;
    }
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    close(sock);
}

TEST_F(InputRunTest, TimeBaseOutsideTheMidiHeaderEndsWithCode7) {
    const std::string wav = sine();
    EngineOutcome r = runWith(wav, "Speed=999\nSensitivity=7\nResolution=8\n");
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.status, "-7.025,128,-1,8,0");
    r = runWith(wav, "Sensitivity=0\nResolution=0\n");
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.status, "-7.024,128,-1,8,0");
    EXPECT_FALSE(fileExists(dir.file("out.mid")));
}

TEST_F(InputRunTest, OutputNamingTheInputIsRefusedAndTheInputKept) {
    const std::string wav = sine();
    const std::string original = readFile(wav);
    ASSERT_EQ(link(wav.c_str(), dir.file("alias.wav").c_str()), 0);
    for (const std::string &name : {wav, dir.path + "/./in.wav", dir.file("alias.wav")}) {
        EngineOutcome r = runEngineWith(dir, "WaveFile=" + wav + "\nMidiFile=" + name + "\n");
        EXPECT_EQ(r.exitCode, 3) << name;
        EXPECT_EQ(r.status, "-3.006,128,-1,8,0") << name;
        EXPECT_EQ(readFile(wav), original) << name;
    }
}

// A text key on a line longer than one piece would name the file its first piece names.
TEST_F(InputRunTest, PathLongerThanOnePieceEndsBeforeAnyFileIsOpened) {
    const std::string wav = sine(), out = "MidiFile=" + dir.file("out.mid") + "\n";
    for (const std::string key : {"MidiFile=", "WaveFile=", "TempoFile=", "ExePath="}) {
        std::string decoy = dir.file("");
        decoy += std::string(254 - key.size() - decoy.size(), 'd');  // what the first piece names
        writeFile(decoy, "precious");
        std::string lines = key + decoy + "-and-more\n";
        EngineOutcome r = key == "WaveFile=" ? runEngineWith(dir, out + lines) : runWith(wav, lines);
        EXPECT_EQ(r.exitCode, 3) << key;
        EXPECT_EQ(r.status, "-3.036,128,-1,8,0") << key;
        EXPECT_EQ(readFile(decoy), "precious") << key;
        EXPECT_FALSE(fileExists(dir.file("out.mid"))) << key;
    }
    // A text line of exactly one piece, newline included, is read whole.
    std::string whole = dir.file("");
    whole += std::string(254 - 10 - whole.size(), 'o');
    EXPECT_EQ(runEngineWith(dir, "WaveFile=" + wav + "\nMidiFile=" + whole + "\n").exitCode, 0);
    EXPECT_TRUE(fileExists(whole));
}

// The output may be neither the status file nor the settings file, by name or as the same file.
TEST_F(InputRunTest, OutputNamingTheStatusOrSettingsFileIsRefusedAndBothKept) {
    const std::string wav = sine();
    writeFile(dir.file("status.txt"), "0");
    ASSERT_EQ(link(dir.file("status.txt").c_str(), dir.file("status-link").c_str()), 0);
    for (const std::string &out : {dir.file("status.txt"), dir.file("settings.txt"), dir.file("status-link")}) {
        std::string text = "WaveFile=" + wav + "\nMidiFile=" + out + "\n";
        EngineOutcome run = runEngineWith(dir, text);
        EXPECT_EQ(run.exitCode, 3) << out;
        EXPECT_EQ(run.status, "-3.006,128,-1,8,0") << out;
        EXPECT_EQ(readFile(dir.file("settings.txt")), text) << out;
    }
}

TEST_F(InputRunTest, EmptyMidiFileWritesBesideTheInput) {
    const std::string wav = sine();
    const std::string original = readFile(wav);
    EngineOutcome r = runEngineWith(dir, "WaveFile=" + wav + "\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(wav), original);
    EXPECT_FALSE(readMidiNotes(dir.file("in.mid")).empty());

    const std::string named = sine("take.mid");
    r = runEngineWith(dir, "WaveFile=" + named + "\nMidiFile=\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(named), original);
    EXPECT_TRUE(fileExists(dir.file("take.mid.mid")));
}

TEST_F(InputRunTest, EmptyKeyRangeRunsWithoutNotes) {
    const std::string wav = sine();
    for (const char *lines : {"KeyMax=-99999999999\n", "KeyMin=120\n", "KeyMin=99999999999\n"}) {
        auto begin = std::chrono::steady_clock::now();
        EngineOutcome r = runWith(wav, lines);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_EQ(r.exitCode, 0) << lines;
        EXPECT_EQ(r.status.rfind("100,128,-1,", 0), 0u) << lines << r.status;
        EXPECT_EQ(readFile(dir.file("out.mid")).size(), 102u) << lines;
        // A guard against a loop over the empty range, not a speed target: a key range far below the
        // keys makes the engine allocate long buffers, which the sanitizers fill (a gigabyte, 17 s
        // alone, four minutes on a loaded machine; 4 MB and 0.01 s in a release build).
        EXPECT_LT(seconds, 600.0) << lines;
    }
}

TEST_F(InputRunTest, CrLfSettingsFileGivesTheSameOutputAsLf) {
    const std::string wav = sine();
    const std::string lines = "WaveFile=" + wav + "\nMidiFile=" + dir.file("out.mid") + "\nTempo=97,5\nKeyMin=48\n";
    EngineOutcome r = runEngineWith(dir, lines);
    ASSERT_EQ(r.exitCode, 0);
    const std::string lf = readFile(dir.file("out.mid"));
    std::vector<TrackEvent> notes = readMidiNotes(dir.file("out.mid"));
    ASSERT_FALSE(notes.empty());
    for (const TrackEvent &n : notes) EXPECT_EQ(n.note, 69);

    std::string crlf;
    for (char ch : lines) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    r = runEngineWith(dir, crlf);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(dir.file("out.mid")), lf);

    // Lines without a key, binary junk and an overlong line change nothing.
    std::string junk = "\xff\xfe junk\n" + std::string(1000, '=') + "\n[section]\nkeymin=100\nKeyMin =100\n\n";
    r = runEngineWith(dir, junk + lines + junk);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(dir.file("out.mid")), lf);
}

TEST_F(InputRunTest, StartFarBeforeTheAudioFallsBackToTheStart) {
    const std::string wav = sine();
    runWith(wav, "");
    const std::string plain = readFile(dir.file("out.mid"));
    for (const char *start : {"StartPoint=-1e9\n", "StartPoint=-1e300\n", "StartPoint=-3\n"}) {
        EngineOutcome r = runWith(wav, start);
        EXPECT_EQ(r.exitCode, 0) << start;
        EXPECT_EQ(readFile(dir.file("out.mid")), plain) << start;
    }
    runWith(wav, "StartPoint=-1.5\n");  // within the audio's length: kept as lead-in
    EXPECT_NE(readFile(dir.file("out.mid")), plain);
}

}  // namespace
