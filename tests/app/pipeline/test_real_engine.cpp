// The starter with the real engine: conversions that keep the notes, and a
// cancel that keeps the partial transcription.
#include <gtest/gtest.h>

#include <cmath>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <sndfile.h>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/protocol/settings_file.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// Notes of a MIDI file the starter wrote; fails the test when it cannot be read.
MidiContent notesOf(const std::string &path) {
    MidiContent m;
    std::string error;
    EXPECT_TRUE(readMidiFile(path, m, error)) << path << ": " << error;
    return m;
}

// Notes of b without a partner in a: same key, onset within one grid step (tick tolerance).
int unmatched(const MidiContent &a, const MidiContent &b, int64_t tolerance) {
    std::vector<bool> used(a.notes.size(), false);
    int missing = 0;
    for (const MidiNote &n : b.notes) {
        bool found = false;
        for (size_t i = 0; i < a.notes.size() && !found; ++i) {
            if (!used[i] && a.notes[i].key == n.key && std::llabs(a.notes[i].onTick - n.onTick) <= tolerance)
                used[i] = found = true;
        }
        missing += !found;
    }
    return missing;
}

// The test melody repeated for about the given number of seconds.
std::vector<ToneNote> repeatedMelody(double seconds) {
    std::vector<ToneNote> notes;
    for (double t = 0; t + 4.5 <= seconds; t += 4.5)
        for (ToneNote n : testMelody())
            notes.push_back({n.key, n.start + t, n.length});
    return notes;
}

}  // namespace

TEST(RealEngine, ConvertedRecordingsGiveTheSameNotes) {
    ScratchDir dir;
    auto melody = testMelody();
    ASSERT_TRUE(writeTones(dir.path + "ref.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, melody, 4.5));
    ASSERT_TRUE(writeTones(dir.path + "hi24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 1, melody, 4.5));
    ASSERT_TRUE(writeTones(dir.path + "float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, melody, 4.5));
    ASSERT_TRUE(writeTones(dir.path + "hifloat.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2, melody, 4.5));
    // A constant tempo: the grid must not depend on beats found anew in each file.
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "ref.wav", "hi24.wav", "float.wav",
                                  "hifloat.wav"},
                                 dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    MidiContent ref = notesOf(dir.path + "ref.mid");
    ASSERT_GE(ref.notes.size(), 5u) << r.out;
    int64_t step = ref.division / 4;  // one 16th note, the starter's default grid
    for (const char *name : {"hi24.mid", "float.mid", "hifloat.mid"}) {
        MidiContent other = notesOf(dir.path + name);
        EXPECT_EQ(other.notes.size(), ref.notes.size()) << name;
        EXPECT_EQ(unmatched(ref, other, step), 0) << name;
        EXPECT_EQ(unmatched(other, ref, step), 0) << name;
    }
    EXPECT_NE(r.out.find("48000 Hz 24-bit mono WAV"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("44100 Hz 32-bit float mono WAV"), std::string::npos) << r.out;
}

TEST(RealEngine, CtrlCKeepsThePartialTranscription) {
    ScratchDir dir;
    fs::create_directory(dir.path + "tmp");
    // An hour: long enough that the engine, at hundreds of times real time, is still running.
    const int seconds = 3600;
    ASSERT_TRUE(writeTones(dir.path + "long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 11025, 1,
                           repeatedMelody(seconds), seconds));
    // A given tempo skips beat finding, so the engine starts at once even in a sanitizer build.
    Spawned s = spawnCommand({STARTER_PATH, "--engine", ENGINE_PATH, "--tempo", "120", "long.wav"},
                             {"TMPDIR=" + dir.path + "tmp/"}, dir.path);
    EXPECT_TRUE(waitForProgress(dir.path + "tmp/", 120));  // the engine writes progress once a second
    kill(-s.pid, SIGINT);
    CommandResult r = waitCommand(s);
    ASSERT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("cancelled after"), std::string::npos) << r.out;
    MidiContent partial = notesOf(dir.path + "long.mid");
    EXPECT_LT(partial.notes.size(), seconds / 4.5 * 7);
    for (const MidiNote &n : partial.notes)
        EXPECT_GE(n.offTick, n.onTick) << "every note is closed";
    EXPECT_TRUE(folderEntries(dir.path + "tmp").empty());
}

TEST(RealEngine, AFirstBeatBeforeTheAudioStillGivesTheWholeRecording) {
    // A pickup at the very start, then a note on every beat from 0.3 s at 100 a minute:
    // the grid starts a beat before the audio.
    ScratchDir dir;
    std::vector<ToneNote> notes{{67, 0.0, 0.25}};
    for (int i = 0; i < 20; ++i)
        notes.push_back({i % 2 ? 60 : 64, 0.3 + 0.6 * i, 0.5});
    ASSERT_TRUE(writeTones(dir.path + "pickup.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, notes, 12.6));
    std::string fake = writeFakeEngine(dir.path);
    CommandResult r = runStarter({"--engine", fake, "-o", "fake.mid", "pickup.wav"}, dir.path,
                                 {"TMPDIR=" + dir.path, "FAKE_RECORD=" + dir.path + "record.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    SettingsList s;
    parseSettingsText(fileText(dir.path + "record.txt"), s);
    // The grid starts on a downbeat before the audio, at most a bar of four beats before the
    // first beat (the beats alike, the bar's phase is a guess).
    double start = settingDecimal(s, "StartPoint", 0);
    EXPECT_LT(start, 0);
    EXPECT_GT(start, 0.3 - 4 * 0.6 - 0.03);
    EXPECT_NEAR(std::remainder(start - 0.3, 0.6), 0, 0.03);
    EXPECT_NEAR(settingDecimal(s, "EndPoint", 0), 12.6, 1e-6);
    r = runStarter({"--engine", ENGINE_PATH, "-o", "real.mid", "pickup.wav"}, dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    MidiContent m = notesOf(dir.path + "real.mid");
    EXPECT_GE(m.notes.size(), 18u) << r.out;
}

namespace {

// C4 to C5 and back, a key every half second for 8 s.
constexpr int ScaleKeys[] = {60, 62, 64, 65, 67, 69, 71, 72};

bool writeScale(const std::string &path) {
    std::vector<ToneNote> notes;
    for (int i = 0; i < 16; ++i)
        notes.push_back({ScaleKeys[i % 8], 0.5 * i, 0.45});
    return writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, notes, 8);
}

}  // namespace

TEST(RealEngine, StartAndEndKeepTheNotesOfTheRegionAlone) {
    // The part from 2 s to 5 s of the scale is transcribed.
    ScratchDir dir;
    ASSERT_TRUE(writeScale(dir.path + "scale.wav"));
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "--start", "2", "--end", "5", "--notes",
                                  "part.csv", "-o", "part.mid", "scale.wav"},
                                 dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream csv(fileText(dir.path + "part.csv"));
    std::string line;
    std::getline(csv, line);  // the header
    int count = 0;
    while (std::getline(csv, line)) {
        double on = 0, off = 0;
        int key = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%d", &on, &off, &key), 3) << line;
        // Tick 0 is 2 s into the recording: G4 sounds there, then a key every half second to 5 s.
        int played = static_cast<int>(std::lround(on / 0.5)) + 4;
        EXPECT_LT(on, 3.0) << line;
        EXPECT_GT(off - on, 0.1) << line;
        EXPECT_EQ(key, ScaleKeys[played % 8]) << line;
        ++count;
    }
    EXPECT_GE(count, 5) << fileText(dir.path + "part.csv");
    EXPECT_LE(count, 6) << fileText(dir.path + "part.csv");
    // With its beats found, the engine starts on a bar line before the start: its notes there are
    // none of the part's, and the summary counts the part's seconds.
    r = runStarter({"--engine", ENGINE_PATH, "--start", "2", "-o", "tracked.mid", "scale.wav"}, dir.path,
                   {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(" 6.0 s of audio transcribed"), std::string::npos) << r.out;
    MidiContent tracked = notesOf(dir.path + "tracked.mid");
    ASSERT_FALSE(tracked.notes.empty()) << r.out;
    EXPECT_EQ(tracked.notes.front().key, 67) << "G4 sounds at the start";
    for (const MidiNote &n : tracked.notes)
        EXPECT_GT(n.offTick - n.onTick, tracked.division / 8) << n.key << " at tick " << n.onTick;
}

TEST(RealEngine, TheKeyRangeGivenHoldsForTheNotesTheAttacksAdd) {
    // Notes of the keys left out must not come back through the attack evidence.
    ScratchDir dir;
    ASSERT_TRUE(writeScale(dir.path + "scale.wav"));
    struct Case { std::vector<std::string> range; int lowest, highest; };
    for (const Case &c : std::vector<Case>{{{"--highest-note", "E4"}, 0, 64},
                                           {{"--lowest-note", "G4"}, 67, 127},
                                           {{"--set", "KeyMin=64", "--set", "KeyMax=69", "--transpose", "12"}, 76, 81}}) {
        std::vector<std::string> args{"--engine", ENGINE_PATH, "--force", "-o", "part.mid", "scale.wav"};
        args.insert(args.end(), c.range.begin(), c.range.end());
        CommandResult r = runStarter(args, dir.path, {"TMPDIR=" + dir.path});
        ASSERT_EQ(r.code, 0) << r.err;
        MidiContent m = notesOf(dir.path + "part.mid");
        EXPECT_GE(m.notes.size(), 4u) << c.range[1] << ": " << r.out;
        for (const MidiNote &n : m.notes) {
            EXPECT_GE(n.key, c.lowest) << c.range[1];
            EXPECT_LE(n.key, c.highest) << c.range[1];
        }
    }
}

TEST(RealEngine, AFileCutShortSaysSoAndCountsWhatItHolds) {
    // A FLAC file whose header announces 8 s, cut off after about half of its bytes.
    ScratchDir dir;
    std::vector<ToneNote> notes;
    for (int i = 0; i < 16; ++i)
        notes.push_back({i % 2 ? 64 : 60, 0.5 * i, 0.45});
    ASSERT_TRUE(writeTones(dir.path + "whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, notes, 8));
    std::string bytes = fileText(dir.path + "whole.flac");
    writeText(dir.path + "cut.flac", bytes.substr(0, bytes.size() / 2));
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "cut.flac"}, dir.path,
                                 {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("The file ends early (damaged or cut short?): "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" of the 8.0 s its header announces could be read."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("8.0 s of audio transcribed"), std::string::npos) << r.out;
    r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "whole.flac"}, dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("ends early"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("8.0 s of audio transcribed"), std::string::npos) << r.out;
}

TEST(RealEngine, ASilentLeadInCountsInTheSecondsTranscribed) {
    // 5 s of silence, then a note on every beat at 100 a minute to 15 s: the engine starts at the
    // first downbeat found, while the refined notes, and the summary, cover the whole recording.
    ScratchDir dir;
    std::vector<ToneNote> notes;
    for (int i = 0; i < 16; ++i)
        notes.push_back({i % 2 ? 60 : 64, 5.0 + 0.6 * i, 0.5});
    ASSERT_TRUE(writeTones(dir.path + "late.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, notes, 15));
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "late.wav"}, dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_NE(r.out.find("beats found in the recording"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 15 s of audio transcribed"), std::string::npos) << r.out;
    MidiContent m = notesOf(dir.path + "late.mid");
    ASSERT_FALSE(m.notes.empty()) << r.out;
    EXPECT_NEAR(secondsAt(midiClockOf(m), double(m.notes.front().onTick)), 5.0, 0.05) << "tick 0 is the file's start";
}

// Started with SIGCHLD ignored (inherited from a parent that ignores it), the command cannot wait
// for the engine, which the system reaps at once: the engine's final line says how it ended, and
// the file is the one written otherwise.
TEST(RealEngine, SigchldIgnoredStillGivesTheFile) {
    ScratchDir dir;
    ASSERT_TRUE(writeScale(dir.path + "scale.wav"));
    CommandResult plain = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "-o", "plain.mid", "scale.wav"},
                                     dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(plain.code, 0) << plain.err;
    CommandResult ignoring = runCommand({"/bin/sh", "-c", "trap '' CHLD; exec \"$0\" \"$@\"", STARTER_PATH, "--engine",
                                         ENGINE_PATH, "--tempo", "120", "-o", "ignoring.mid", "scale.wav"},
                                        {"TMPDIR=" + dir.path}, dir.path);
    ASSERT_EQ(ignoring.code, 0) << ignoring.err;
    EXPECT_EQ(fileText(dir.path + "ignoring.mid"), fileText(dir.path + "plain.mid"));
}
