// The sonoscriptor command end to end, with a stand-in engine.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include <sndfile.h>
#include <unistd.h>

#include "app/starter/protocol/settings_file.h"
#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// The starter's rig: runs with the stand-in engine, what the engine received.
struct StarterFixture : StarterRig {};

// Lines of text, without the last newline.
size_t lineCount(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

TEST_F(StarterFixture, WritesTheSettingsAndRunsTheEngine) {
    CommandResult r = run({"song.wav", "--tempo", "90", "--key", "Bb", "--set", "KeyMin=36"},
                          {"FAKE_RECORD=" + dir.path + "record.txt", "FAKE_ARGS=" + dir.path + "args.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    SettingsList s = recorded();
    EXPECT_EQ(getSetting(s, "WaveFile"), song);
    EXPECT_EQ(getSetting(s, "MidiFile").rfind(tmp, 0), 0u) << getSetting(s, "MidiFile");
    EXPECT_EQ(getSetting(s, "ExePath").back(), '/');
    EXPECT_EQ(getSetting(s, "Tempo"), "90");
    EXPECT_EQ(getSetting(s, "KeySignature"), "-2");
    EXPECT_EQ(getSetting(s, "KeyMin"), "36");
    EXPECT_EQ(getSetting(s, "VirtualSR"), "11025");
    EXPECT_EQ(getSetting(s, "Resolution"), "4");
    std::string args = fileText(dir.path + "args.txt");
    EXPECT_EQ(lineCount(args), 3u);
    EXPECT_NE(args.find("\n+\n"), std::string::npos) << args;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_NE(r.out.find("song.wav -> song.mid: 2 notes written, from Db4 to Bb4"),
              std::string::npos) << r.out;
    EXPECT_TRUE(leftNothingBehind());
    EXPECT_EQ(r.err, "");  // no progress bar when standard error is no terminal
}

TEST_F(StarterFixture, ConvertsWhatTheEngineCannotReadAndSaysSo) {
    ASSERT_TRUE(writeTones(dir.path + "hi.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, testMelody(), 1.0));
    CommandResult r = run({"hi.flac"}, {"FAKE_RECORD=" + dir.path + "record.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "WaveFile").rfind(tmp, 0), 0u);
    EXPECT_NE(r.out.find("48000 Hz 24-bit stereo FLAC"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("converted to 44100 Hz 16-bit"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(dir.path + "hi.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

// "-" reads the recording from standard input (the output is named stdin.mid unless -o names it);
// the summary says what the conversion did: channels mixed to mono, non-finite samples silenced.
TEST_F(StarterFixture, ReadsStandardInputAndSaysWhatTheConversionDid) {
    ASSERT_TRUE(writeTones(dir.path + "six.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 6, testMelody(), 1.0));
    SF_INFO info{};
    SNDFILE *f = sf_open((dir.path + "six.wav").c_str(), SFM_RDWR, &info);
    ASSERT_NE(f, nullptr);
    const float inf[6] = {INFINITY, 0, 0, 0, 0, 0};
    sf_seek(f, 100, SEEK_SET);
    sf_writef_float(f, inf, 1);
    sf_close(f);
    const std::string starter = std::string(STARTER_PATH) + " --engine " + engine;
    for (const std::string &tail : {std::string(" - -o piped.mid < six.wav"), std::string(" - < six.wav")}) {
        CommandResult r = waitCommandFor(spawnCommand({"/bin/sh", "-c", starter + tail}, {"TMPDIR=" + tmp}, dir.path), 60);
        ASSERT_EQ(r.code, 0) << tail << ": " << r.err;
        const std::string output = tail.find("piped") != std::string::npos ? "piped.mid" : "stdin.mid";
        EXPECT_NE(r.out.find("- -> " + output), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("its 6 channels mixed to mono."), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" 1 sample was infinite or not a number and counted as silence."), std::string::npos)
            << r.out;
        EXPECT_TRUE(fs::exists(dir.path + output)) << tail;
        EXPECT_TRUE(leftNothingBehind()) << tail;
    }
}

// The MP3 decoder's notes on a damaged file reach standard error through the starter, and
// --quiet silences them.
TEST_F(StarterFixture, DecoderNotesGoThroughTheStarterAndQuietSilencesThem) {
    const std::string mp3 = dir.path + "damaged.mp3";
    if (!writeTones(mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, testMelody(), 3.0))
        GTEST_SKIP() << "this libsndfile writes no MP3";
    std::string bytes = fileText(mp3);
    size_t frame = bytes.find("\xff\xfb", 6000);
    ASSERT_NE(frame, std::string::npos);
    writeText(mp3, bytes.insert(frame, std::string(300, '\0')));  // the decoder skips them with a note
    CommandResult loud = run({"damaged.mp3", "--force"});
    ASSERT_EQ(loud.code, 0) << loud.err;
    EXPECT_NE(loud.err.find("sonoscriptor: the audio decoder says: Note: Skipped 300 bytes in input."),
              std::string::npos) << loud.err;
    CommandResult quiet = run({"damaged.mp3", "--force", "-q"});
    ASSERT_EQ(quiet.code, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
}

TEST_F(StarterFixture, HandlesBlanksInNames) {
    fs::create_directory(dir.path + "my songs");
    fs::copy_file(song, dir.path + "my songs/a b.wav");
    CommandResult r = run({"my songs/a b.wav"}, {"FAKE_RECORD=" + dir.path + "record.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(getSetting(recorded(), "WaveFile"), dir.path + "my songs/a b.wav");
    EXPECT_TRUE(fs::exists(dir.path + "my songs/a b.mid"));
}

TEST_F(StarterFixture, AsksForForceBeforeReplacingAnOutput) {
    writeText(dir.path + "song.mid", "old");
    CommandResult r = run({"song.wav"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(fileText(dir.path + "song.mid"), "old");
    r = run({"song.wav", "--force"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(fileText(dir.path + "song.mid"), "old");
}

TEST_F(StarterFixture, NeverOverwritesAnInput) {
    std::string before = fileText(song);
    CommandResult r = run({"song.wav", "-o", "song.wav", "--force"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
    EXPECT_EQ(fileText(song), before);
}

TEST_F(StarterFixture, BadInputsGetOneClearSentence) {
    fs::create_directory(dir.path + "folder");
    writeText(dir.path + "notes.txt", std::string(6000, 'x'));
    struct Case { std::vector<std::string> args; int code; const char *words; };
    for (const Case &c : std::vector<Case>{
             {{"missing.wav"}, 3, "does not exist"},
             {{"folder"}, 3, "is a folder"},
             {{"notes.txt"}, 4, "not audio"},
             {{"song.wav", "-o", "nowhere/x.mid"}, 3, "does not exist"},
             {{"song.wav", "-o", "/proc/x.mid"}, 3, "not writable"},
             {{"song.wav", "-o", "out.pdf", "--force"}, 3, "writes no .pdf file; name the output .mid or .midi"},
             {{"song.wav", "--start", "100"}, 9, "The start 100 s lies beyond the end of the recording"},
             {{"song.wav", "-o", "folder"}, 0, ""}}) {
        CommandResult r = run(c.args);
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args.back() : "");
        EXPECT_EQ(r.code, c.code) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.words), std::string::npos) << what << ": " << r.err;
        if (c.code != 0) {
            EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        }
        EXPECT_TRUE(leftNothingBehind()) << what;
    }
    EXPECT_TRUE(fs::exists(dir.path + "folder/song.mid"));  // -o FOLDER writes into it
    EXPECT_FALSE(fs::exists(dir.path + "missing.mid"));
    EXPECT_FALSE(fs::exists(dir.path + "notes.mid"));
    EXPECT_FALSE(fs::exists(dir.path + "out.pdf"));
}

TEST_F(StarterFixture, EngineFailuresBecomeSentencesAndTheExitCode) {
    struct Case { int code; int detail; const char *words; };
    for (Case c : std::vector<Case>{{2, 21, "part-way"}, {3, 15, "could not open the audio"},
                                    {4, 10, "11025, 22050 or 44100"}, {5, 22, "disk"},
                                    {6, 30, "memory"}, {7, 25, "32767"}, {4, 77, "16-bit PCM"}}) {
        CommandResult r = run({"song.wav", "--force"}, {"FAKE_STEPS=0", "FAKE_EXIT=" + std::to_string(c.code),
                                                         "FAKE_DETAIL=" + std::to_string(c.detail)});
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.err.find(c.words), std::string::npos) << c.code << "." << c.detail << ": " << r.err;
        EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
        EXPECT_TRUE(leftNothingBehind());
    }
}

// An engine that ends as cancelled when no cancel was asked (its status file was removed by another
// program) wrote a part of the file nobody asked for: it is a failure, and nothing is kept.
TEST_F(StarterFixture, AnEngineCancelledUnaskedIsAFailure) {
    CommandResult r = run({"song.wav"}, {"FAKE_STEPS=0", "FAKE_EXIT=1"});
    EXPECT_EQ(r.code, 8) << r.err;
    EXPECT_NE(r.err.find("no cancel was asked"), std::string::npos) << r.err;
    EXPECT_EQ(lineCount(r.err), 1u) << r.err;
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(StarterFixture, SaysWhenTheEngineDidNotRun) {
    CommandResult r = run({"song.wav", "--engine", "/bin/true"});
    EXPECT_EQ(r.code, 8);
    EXPECT_NE(r.err.find("launch token"), std::string::npos) << r.err;
    r = run({"song.wav", "--engine", dir.path + "no-engine"});
    EXPECT_EQ(r.code, 8);
    EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(StarterFixture, BatchGoesOnAfterAFailureAndGivesTheWorstCode) {
    fs::copy_file(song, dir.path + "b-fails-5-22.wav");
    fs::copy_file(song, dir.path + "c.wav");
    CommandResult r = run({"song.wav", "b-fails-5-22.wav", "missing.wav", "c.wav", "-j", "2"});
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(fs::exists(dir.path + "c.mid"));
    EXPECT_FALSE(fs::exists(dir.path + "b-fails-5-22.mid"));
    EXPECT_EQ(lineCount(r.out), 2u) << r.out;
    EXPECT_EQ(lineCount(r.err), 2u) << r.err;
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(StarterFixture, SeveralInputsNeedAnOutputFolder) {
    fs::copy_file(song, dir.path + "b.wav");
    fs::create_directory(dir.path + "out");
    EXPECT_EQ(run({"song.wav", "b.wav", "-o", "x.mid"}).code, 9);
    fs::copy_file(song, dir.path + "song.flac");
    EXPECT_EQ(run({"song.wav", "song.flac"}).code, 9);  // both would be song.mid
    CommandResult r = run({"song.wav", "b.wav", "-o", "out"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(folderEntries(dir.path + "out"), (std::vector<std::string>{"b.mid", "song.mid"}));
}

TEST_F(StarterFixture, StartsFromASettingsFile) {
    writeText(dir.path + "job.txt", "WaveFile=" + song + "\nMidiFile=" + dir.path + "named.mid\nTempo=70\n");
    CommandResult r = run({"--settings", "job.txt"}, {"FAKE_RECORD=" + dir.path + "record.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir.path + "named.mid"));
    EXPECT_EQ(getSetting(recorded(), "Tempo"), "70");
}

TEST_F(StarterFixture, CtrlCCancelsAndKeepsThePartialTranscription) {
    Spawned s = start({"song.wav"}, {"FAKE_STEPS=200", "FAKE_DELAY=0.05"});
    EXPECT_TRUE(waitForProgress(tmp, 30));
    kill(-s.pid, SIGINT);  // the whole group, as a terminal does
    CommandResult r = waitCommand(s);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("cancelling"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("cancelled after"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(StarterFixture, ASecondCtrlCEndsAtOnce) {
    Spawned s = start({"song.wav"}, {"FAKE_STEPS=20", "FAKE_DELAY=2"});
    EXPECT_TRUE(waitForProgress(tmp, 30));
    kill(-s.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(-s.pid, SIGINT);
    auto start = std::chrono::steady_clock::now();
    CommandResult r = waitCommand(s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("stopped at once"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(StarterFixture, ShowsAProgressBarOnATerminalUnlessQuiet) {
    for (bool quiet : {false, true}) {
        Launch launch;
        launch.args = {STARTER_PATH, "--engine", engine, "--force", "song.wav", quiet ? "--quiet" : "--force"};
        launch.env = {"TMPDIR=" + tmp, "FAKE_STEPS=12"};
        launch.dir = dir.path;
        launch.terminal = true;
        CommandResult r = waitCommand(spawnProcess(launch));
        const std::string &screen = r.out;
        EXPECT_EQ(r.code, 0) << screen;
        EXPECT_EQ(screen.find("[#") != std::string::npos, !quiet) << screen;
        EXPECT_NE(screen.find("2 notes written"), std::string::npos) << screen;
    }
}

// One share for the whole file: it never goes back (no stage starts again at 0 %) and it moves on
// while a stage is slower than its own reports.
TEST_F(StarterFixture, TheProgressShareCoversTheWholeFileAndNeverGoesBack) {
    ASSERT_TRUE(writeTones(dir.path + "long.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, testMelody(), 20.0));
    Launch launch;
    launch.args = {STARTER_PATH, "--engine", engine, "--force", "long.flac"};
    launch.env = {"TMPDIR=" + tmp, "FAKE_STEPS=3", "FAKE_DELAY=0.6"};  // an engine that reports rarely
    launch.dir = dir.path;
    launch.terminal = true;
    CommandResult r = waitCommand(spawnProcess(launch));
    ASSERT_EQ(r.code, 0) << r.out;
    std::vector<int> shares;
    std::regex share("\\] +([0-9]+)%  ([a-z]+)");
    std::set<int> whileTranscribing;
    for (auto m = std::sregex_iterator(r.out.begin(), r.out.end(), share); m != std::sregex_iterator(); ++m) {
        shares.push_back(std::stoi((*m)[1]));
        if ((*m)[2] == "transcribing")
            whileTranscribing.insert(shares.back());
    }
    ASSERT_GE(shares.size(), 10u) << r.out;
    for (size_t i = 1; i < shares.size(); ++i)
        ASSERT_GE(shares[i], shares[i - 1]) << "line " << i << " of " << r.out;
    ASSERT_GT(whileTranscribing.size(), 3u) << "it moves between the engine's reports";
    // The line is painted every 50 ms: on a loaded machine the quick conversion may pass unseen,
    // but the beat finding, a third of the file's share, is shown before the engine runs.
    EXPECT_LT(shares.front(), *whileTranscribing.begin()) << r.out;
    EXPECT_GT(*whileTranscribing.begin(), 30) << "the conversion and the beat finding count; no new start at 0 %";
}

TEST_F(StarterFixture, HelpAndVersion) {
    CommandResult help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--time-signature"), std::string::npos);
    CommandResult version = run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("sonoscriptor ", 0), 0u);
    CommandResult none = run({});
    EXPECT_EQ(none.code, 9);
    EXPECT_NE(none.err.find("--help"), std::string::npos);
}
