// Tests of libsonoscriptor: a transcription of the bundled Prelude against the
// command's own run of it (its MIDI file and score byte for byte, its notes against
// the piece's score in seconds), samples in against the file, errors against the
// command's sentences, cancel and progress, and bars and beats of made-up files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include <pthread.h>
#include <sndfile.h>
#include <sys/resource.h>

#include "app/library/library.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/notes/note_list.h"
#include "tests/support/support.h"

namespace {

const std::string Prelude = std::string(SOURCE_DIR) + "/examples/prelude.wav";
const std::string PreludeScore = std::string(SOURCE_DIR) + "/examples/prelude.mid";

// The threads of this process.
size_t threadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

std::vector<uint8_t> bytesOf(const std::string &path) {
    std::string text = readFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// One library run and one command run of the Prelude, shared by the tests that compare them.
class PreludeRuns : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir();
        command = new CommandResult(runCommand({STARTER_PATH, "--quiet", Prelude, "-o", dir->file("command.mid"),
                                                "--musicxml", dir->file("command.musicxml")},
                                               {}, dir->path));
        transcription = new sonoscriptor::Transcription(sonoscriptor::transcribe(Prelude));
    }
    static void TearDownTestSuite() {
        delete transcription;
        delete command;
        delete dir;
    }
    static TempDir *dir;
    static CommandResult *command;
    static sonoscriptor::Transcription *transcription;
};
TempDir *PreludeRuns::dir = nullptr;
CommandResult *PreludeRuns::command = nullptr;
sonoscriptor::Transcription *PreludeRuns::transcription = nullptr;

TEST_F(PreludeRuns, WritesTheCommandsMidiFileAndScore) {
    ASSERT_EQ(command->code, 0) << command->err;
    const sonoscriptor::Transcription &t = *transcription;
    EXPECT_EQ(t.midi_file, bytesOf(dir->file("command.mid")));
    sonoscriptor::write_midi(t, dir->file("library.mid"));
    EXPECT_EQ(readFile(dir->file("library.mid")), readFile(dir->file("command.mid")));
    sonoscriptor::write_musicxml(t, dir->file("library.musicxml"));
    EXPECT_EQ(readFile(dir->file("library.musicxml")), readFile(dir->file("command.musicxml")));
    MidiContent midi;
    std::string error;
    ASSERT_TRUE(readMidiFile(dir->file("command.mid"), midi, error)) << error;
    ASSERT_EQ(t.notes.size(), midi.notes.size());
}

// The notes in seconds of the recording: most fall within 50 ms of a note of the same key in the
// piece's score (66 quarter notes a minute from 0 s, every onset on the sixteenth-note grid).
TEST_F(PreludeRuns, NotesFallWhereThePieceHasThem) {
    MidiContent score;
    std::string error;
    ASSERT_TRUE(readMidiFile(PreludeScore, score, error)) << error;
    double secondsPerTick = 60.0 / 66 / score.division;
    const std::vector<sonoscriptor::Note> &notes = transcription->notes;
    ASSERT_FALSE(notes.empty());
    size_t near = 0;
    for (const sonoscriptor::Note &n : notes) {
        EXPECT_LT(n.onset, n.offset);
        EXPECT_GE(n.bar, 0);
        EXPECT_GE(n.beat, 1);
        near += std::any_of(score.notes.begin(), score.notes.end(), [&](const MidiNote &s) {
            return s.key == n.pitch && std::abs(static_cast<double>(s.onTick) * secondsPerTick - n.onset) < 0.05;
        });
    }
    EXPECT_GT(near, notes.size() * 8 / 10);
    EXPECT_TRUE(std::is_sorted(notes.begin(), notes.end(),
                               [](const auto &a, const auto &b) { return a.onset < b.onset; }));
    // The metre and the key the run found; downbeats are beats.
    EXPECT_TRUE(transcription->key.known);
    EXPECT_EQ(transcription->key.name, "C major");
    EXPECT_FALSE(transcription->tempo_map.empty());
    for (double d : transcription->downbeats)
        EXPECT_NE(std::find(transcription->beats.begin(), transcription->beats.end(), d), transcription->beats.end());
}

// Samples read from the file as floats give the file's transcription.
TEST_F(PreludeRuns, SamplesGiveTheFilesNotes) {
    SF_INFO info{};
    SNDFILE *file = sf_open(Prelude.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    ASSERT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    sonoscriptor::Transcription t = sonoscriptor::transcribe(samples, info.samplerate, info.channels);
    EXPECT_EQ(t.midi_file, transcription->midi_file);
    ASSERT_EQ(t.notes.size(), transcription->notes.size());
    for (size_t i = 0; i < t.notes.size(); ++i)
        EXPECT_EQ(t.notes[i].onset, transcription->notes[i].onset);
}

// An error carries the command's exit code and sentence.
TEST(LibraryErrors, SayWhatTheCommandSays) {
    TempDir dir;
    struct Case {
        std::vector<std::string> commandArgs;
        std::string input;
        sonoscriptor::Options options;
    };
    sonoscriptor::Options badTempo;
    badTempo.tempo = 0;
    sonoscriptor::Options badKey;
    badKey.key = "H#";
    std::vector<Case> cases = {
        {{dir.file("missing.wav")}, dir.file("missing.wav"), {}},
        {{"--tempo", "0", Prelude}, Prelude, badTempo},
        {{"--key", "H#", Prelude}, Prelude, badKey},
    };
    writeFile(dir.file("noise.wav"), "not audio at all");
    cases.push_back({{dir.file("noise.wav")}, dir.file("noise.wav"), {}});
    cases.push_back({{""}, "", {}});  // an empty name: the command's sentence, at once
    for (const Case &c : cases) {
        std::vector<std::string> args = {STARTER_PATH, "--quiet", "-o", dir.file("out.mid")};
        args.insert(args.end(), c.commandArgs.begin(), c.commandArgs.end());
        CommandResult command = runCommand(args, {}, dir.path);
        try {
            sonoscriptor::transcribe(c.input, c.options);
            ADD_FAILURE() << c.input << " was transcribed";
        } catch (const sonoscriptor::Error &e) {
            EXPECT_EQ(e.exit_code(), command.code) << e.what();
            EXPECT_NE(command.err.find(e.what()), std::string::npos) << command.err << " / " << e.what();
            EXPECT_NE(std::string(e.what()).find(e.sentence()), std::string::npos);
        }
    }
}

// Samples that cannot be a recording are refused with a sentence about the samples themselves,
// never with the name of a file the library made for them.
TEST(LibraryErrors, SamplesWithoutFramesOrChannelsSaySo) {
    struct Case {
        std::vector<float> samples;
        int channels;
        std::string sentence;
        int rate = 44100;
    };
    std::vector<Case> cases = {
        {{}, 1, "give at least one frame of samples"},
        {{}, 2, "give at least one frame of samples"},
        {{0.f, 0.f}, 0, "give samples with at least one channel and a sample rate of at least 1 Hz"},
        {{}, 0, "give samples with at least one channel and a sample rate of at least 1 Hz"},
        {{0.f, 0.f, 0.f}, 2, "give whole frames: the number of samples must be a multiple of the channels"},
        {{0.f, 0.f}, 1, "give samples at a sample rate from 1000 to 768000 Hz, as recordings have; 999 Hz is none", 999},
        {std::vector<float>(1025 * 4), 1025, "give samples in at most 1024 channels; 1025 are more than a WAV file holds"},
    };
    for (const Case &c : cases) {
        try {
            sonoscriptor::transcribe(c.samples, c.rate, c.channels);
            ADD_FAILURE() << c.samples.size() << " samples in " << c.channels << " channels were transcribed";
        } catch (const sonoscriptor::Error &e) {
            EXPECT_EQ(e.sentence(), c.sentence) << e.what();
            EXPECT_EQ(std::string(e.what()).find("samples.wav"), std::string::npos) << e.what();
        }
    }
}

// A MIDI file is no recording: it is refused in words about it, naming no file of the library's.
TEST(LibraryErrors, AMidiFileIsRefusedAsNoRecording) {
    try {
        sonoscriptor::transcribe(PreludeScore);
        ADD_FAILURE() << "a MIDI file was transcribed";
    } catch (const sonoscriptor::Error &e) {
        EXPECT_EQ(e.kind(), sonoscriptor::ErrorKind::BadOptions) << e.what();
        EXPECT_EQ(std::string(e.what()), "sonoscriptor: " + PreludeScore + ": " + e.sentence());
        EXPECT_EQ(e.sentence().rfind("This is a MIDI file already", 0), 0u) << e.what();
    }
}

// Command options that would write files of their own or make the run something other than one
// transcription are refused before any work, and write nothing (an existing file stays as it is).
TEST(LibraryErrors, CommandOptionsThatWriteFilesOrReshapeTheRunAreRefused) {
    TempDir dir;
    writeFile(dir.file("mine.mid"), "mine");
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", dir.file("mine.mid")}, "--output"},
        {{"--musicxml", dir.file("score.musicxml")}, "--musicxml"},
        {{"--notes", dir.file("notes.csv")}, "--notes"},
        {{"--report", dir.file("report.jsonl")}, "--report"},
        {{"--format", "both"}, "--format"},
        {{"--beats"}, "--beats"},
        {{"--help"}, "--help"},
        {{Prelude}, "an input"},
    };
    for (const auto &[commandOptions, named] : cases) {
        sonoscriptor::Options options;
        options.command_options = commandOptions;
        try {
            sonoscriptor::transcribe(Prelude, options);
            ADD_FAILURE() << commandOptions.front() << " was taken";
        } catch (const sonoscriptor::Error &e) {
            EXPECT_EQ(e.kind(), sonoscriptor::ErrorKind::BadOptions) << e.what();
            EXPECT_EQ(e.sentence().rfind("command_options cannot give " + named, 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(readFile(dir.file("mine.mid")), "mine");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 1);
    // The command's own options that only tune the run are still taken.
    sonoscriptor::Options tuned;
    tuned.end = 2;
    tuned.command_options = {"--tuning", "442", "--sensitivity", "6"};
    EXPECT_FALSE(sonoscriptor::transcribe(Prelude, tuned).midi_file.empty());
}

// A transcription that cannot be written says why: a folder, a folder that does not exist, no
// name, or a Transcription that holds no MIDI file; nothing is left where it was to go.
TEST(LibraryWriters, SayWhyAFileCannotBeWritten) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("folder.mid"));
    sonoscriptor::Options quick;
    quick.end = 2;
    sonoscriptor::Transcription t = sonoscriptor::transcribe(Prelude, quick), empty;
    struct Case {
        std::function<void()> write;
        std::string sentence;
    };
    std::string folder = dir.file("folder.mid"), missing = dir.file("none/out.mid"), made = dir.file("made.mid");
    std::vector<Case> cases = {
        {[&] { sonoscriptor::write_midi(t, folder); }, "The file could not be written to " + folder + " (it is a folder)."},
        {[&] { sonoscriptor::write_midi(t, missing); },
         "The file could not be written to " + missing + " (the folder " + dir.file("none") + " does not exist)."},
        {[&] { sonoscriptor::write_midi(t, ""); }, "The file could not be written to  (no file name was given)."},
        {[&] { sonoscriptor::write_midi(empty, made); },
         "The file could not be written to " + made + " (the transcription holds no MIDI file)."},
        {[&] { sonoscriptor::write_musicxml(t, folder); }, "The score " + folder + " could not be written: it is a folder."},
        {[&] { sonoscriptor::write_musicxml(t, dir.file("none/out.musicxml")); },
         "The score " + dir.file("none/out.musicxml") + " could not be written: the folder " + dir.file("none") +
             " does not exist."},
    };
    for (const Case &c : cases) {
        try {
            c.write();
            ADD_FAILURE() << c.sentence;
        } catch (const sonoscriptor::Error &e) {
            EXPECT_EQ(e.kind(), sonoscriptor::ErrorKind::WriteFailed) << e.what();
            EXPECT_EQ(e.sentence(), c.sentence);
        }
    }
    EXPECT_FALSE(fileExists(made));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

// A program that ignores SIGCHLD (the system then reaps the engine at once) still gets the
// transcription it gets otherwise.
TEST(LibraryErrors, AProgramThatIgnoresSigchldStillGetsItsTranscription) {
    sonoscriptor::Options quick;
    quick.end = 3;
    sonoscriptor::Transcription plain = sonoscriptor::transcribe(Prelude, quick);
    struct sigaction ignore{}, before{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &before);
    std::vector<uint8_t> ignoring;
    try {
        ignoring = sonoscriptor::transcribe(Prelude, quick).midi_file;
    } catch (const sonoscriptor::Error &e) {
        ADD_FAILURE() << e.what();
    }
    sigaction(SIGCHLD, &before, nullptr);
    EXPECT_EQ(ignoring, plain.midi_file);
}

// A write that fails part-way (here at a file-size limit, as at a full disk) leaves the file that was
// there as it was, and no part of the new one.
TEST(LibraryWriters, AFailedWriteLeavesTheFileThatWasThere) {
    TempDir dir;
    sonoscriptor::Options quick;
    quick.end = 2;
    sonoscriptor::Transcription t = sonoscriptor::transcribe(Prelude, quick);
    ASSERT_GT(t.midi_file.size(), 100u);
    writeFile(dir.file("kept.mid"), "kept");
    writeFile(dir.file("kept.musicxml"), "kept");
    struct sigaction ignore{}, before{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &before);
    rlimit limit{}, unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    limit = unlimited;
    limit.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_THROW(sonoscriptor::write_midi(t, dir.file("kept.mid")), sonoscriptor::Error);
    EXPECT_THROW(sonoscriptor::write_musicxml(t, dir.file("kept.musicxml")), sonoscriptor::Error);
    EXPECT_THROW(sonoscriptor::write_midi(t, dir.file("new.mid")), sonoscriptor::Error);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    sigaction(SIGXFSZ, &before, nullptr);
    EXPECT_EQ(readFile(dir.file("kept.mid")), "kept");
    EXPECT_EQ(readFile(dir.file("kept.musicxml")), "kept");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 2);
    // Whole, the new file takes the name.
    sonoscriptor::write_midi(t, dir.file("kept.mid"));
    EXPECT_EQ(bytesOf(dir.file("kept.mid")), t.midi_file);
}

// A cancel stops the engine: the call throws Cancelled, leaves no thread behind, and the next
// transcription runs as if nothing had happened.
TEST(LibraryCancel, StopsTheRunAndLeavesNothingBehind) {
    size_t threads = threadCount();
    std::atomic<bool> cancel{false};
    std::vector<sonoscriptor::Progress> seen;
    sonoscriptor::Options options;
    options.cancel = &cancel;
    options.progress = [&](const sonoscriptor::Progress &p) {
        seen.push_back(p);
        if (p.stage == "running the engine")
            cancel = true;
    };
    try {
        sonoscriptor::transcribe(Prelude, options);
        ADD_FAILURE() << "not cancelled";
    } catch (const sonoscriptor::Error &e) {
        EXPECT_EQ(e.kind(), sonoscriptor::ErrorKind::Cancelled) << e.what();
        // The cancel reaches the engine or, where the engine had just finished, the refinement.
        std::string what = e.what();
        EXPECT_EQ(what.rfind(std::string(Prelude) + ": ", 0), 0u) << what;
        EXPECT_NE(what.find("cancelled"), std::string::npos) << what;
    }
    EXPECT_EQ(threadCount(), threads);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().stage, "done");
    EXPECT_EQ(seen.back().fraction, 1.0);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_GE(seen[i].fraction, seen[i - 1].fraction - 1e-9);
    sonoscriptor::Options quick;
    quick.end = 4;
    EXPECT_FALSE(sonoscriptor::transcribe(Prelude, quick).notes.empty());
}

// A cancelled transcription of samples says so of the samples, with no name of the library's files.
TEST(LibraryCancel, ACancelOfSamplesNamesTheSamples) {
    std::vector<float> samples(44100 * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44100));
    std::atomic<bool> cancel{false};
    sonoscriptor::Options options;
    options.cancel = &cancel;
    options.progress = [&](const sonoscriptor::Progress &p) {
        if (p.stage == "running the engine")
            cancel = true;
    };
    try {
        sonoscriptor::transcribe(samples, 44100, 1, options);
        ADD_FAILURE() << "not cancelled";
    } catch (const sonoscriptor::Error &e) {
        EXPECT_EQ(e.kind(), sonoscriptor::ErrorKind::Cancelled) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("samples: ", 0), 0u) << e.what();
        EXPECT_EQ(std::string(e.what()).find(".mid"), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("samples.wav"), std::string::npos) << e.what();
    }
}

// Two transcriptions at once on two threads: a cancel of one ends that one alone, and the other
// gives what it gives by itself.
TEST(LibraryCancel, ACancelEndsOneOfTwoRunningTogether) {
    sonoscriptor::Options quick;
    quick.end = 4;
    std::vector<sonoscriptor::Note> alone = sonoscriptor::transcribe(Prelude, quick).notes;
    std::atomic<bool> cancel{false}, otherStarted{false};
    sonoscriptor::Options cancelled;
    cancelled.cancel = &cancel;
    cancelled.progress = [&](const sonoscriptor::Progress &p) {
        bool early = p.stage != "refining" && p.stage != "settling" && p.stage != "done";
        if (early && otherStarted)
            cancel = true;
    };
    bool wasCancelled = false;
    std::thread first([&] {
        try {
            sonoscriptor::transcribe(Prelude, cancelled);
        } catch (const sonoscriptor::Error &e) {
            wasCancelled = e.kind() == sonoscriptor::ErrorKind::Cancelled;
        }
    });
    quick.progress = [&](const sonoscriptor::Progress &) { otherStarted = true; };
    std::vector<sonoscriptor::Note> together = sonoscriptor::transcribe(Prelude, quick).notes;
    first.join();
    EXPECT_TRUE(wasCancelled);
    ASSERT_EQ(together.size(), alone.size());
    for (size_t i = 0; i < alone.size(); ++i) {
        EXPECT_EQ(together[i].pitch, alone[i].pitch);
        EXPECT_DOUBLE_EQ(together[i].onset, alone[i].onset);
    }
}

// A thread ended inside the callback (pthread_exit, as an interpreter that shuts down ends a thread
// that calls in) stops the work, waits for it and leaves no thread and no file behind.
TEST(LibraryCancel, AThreadEndedInTheCallbackLeavesNothingBehind) {
    TempDir dir;
    const char *tmp = std::getenv("TMPDIR");
    std::string before = tmp ? tmp : "";
    setenv("TMPDIR", dir.path.c_str(), 1);
    size_t threads = threadCount();
    bool returned = false;
    std::thread caller([&] {
        sonoscriptor::Options options;
        options.progress = [](const sonoscriptor::Progress &p) {
            if (p.stage == "running the engine")
                pthread_exit(nullptr);
        };
        sonoscriptor::transcribe(Prelude, options);
        returned = true;
    });
    caller.join();
    if (tmp)
        setenv("TMPDIR", before.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_FALSE(returned);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

// A callback that throws stops the work; its exception comes out of the call.
TEST(LibraryCancel, ACallbacksExceptionStopsTheRun) {
    sonoscriptor::Options options;
    options.progress = [](const sonoscriptor::Progress &p) {
        if (p.stage == "running the engine")
            throw std::logic_error("enough");
    };
    EXPECT_THROW(sonoscriptor::transcribe(Prelude, options), std::logic_error);
}

// A file with a pick-up of one quarter before bars of 3/4, at 60 quarter notes a minute, its tick 0
// two seconds into the recording.
MidiContent pickupFile() {
    MidiContent midi;
    midi.division = 480;
    midi.numerator = 3;
    midi.signatures = {{0, 1, 2}, {480, 3, 2}};
    midi.tempos = {{0, 1000000}};
    midi.notes = {{60, 80, 0, 480, 0}, {64, 90, 480, 960, 0}, {67, 100, 480 + 1440 + 240, 2640, 0}};
    midi.lastTick = 3360;
    return midi;
}

TEST(LibraryBars, APickupIsBarZeroAndEndsAFullBar) {
    sonoscriptor::Transcription t = transcriptionOf({}, pickupFile(), FileFindings{}, 2.0);
    ASSERT_EQ(t.notes.size(), 3u);
    EXPECT_DOUBLE_EQ(t.notes[0].onset, 2.0);
    EXPECT_DOUBLE_EQ(t.notes[0].offset, 3.0);
    EXPECT_EQ(t.notes[0].bar, 0);
    EXPECT_DOUBLE_EQ(t.notes[0].beat, 3.0);
    EXPECT_EQ(t.notes[1].bar, 1);
    EXPECT_DOUBLE_EQ(t.notes[1].beat, 1.0);
    EXPECT_DOUBLE_EQ(t.notes[2].onset, 6.5);
    EXPECT_EQ(t.notes[2].bar, 2);
    EXPECT_DOUBLE_EQ(t.notes[2].beat, 1.5);
    EXPECT_EQ(t.time_signature.numerator, 3);
    EXPECT_EQ(t.time_signature.denominator, 4);
    // Not tracked: the beats are the file's, one a second from the pick-up's beat on.
    EXPECT_EQ(t.beats, (std::vector<double>{2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(t.downbeats, (std::vector<double>{3, 6, 9}));
    EXPECT_FALSE(t.beats_tracked);
}

TEST(LibraryBars, CompoundMetresCountDottedBeatsAndTempoChangesMoveSeconds) {
    MidiContent midi;
    midi.division = 480;
    midi.numerator = 6;
    midi.denominatorPower = 3;
    midi.clocksPerClick = 36;  // the starter's 6/8: a division counts a quarter
    midi.signatures = {{0, 6, 3}};
    midi.tempos = {{0, 500000}, {960, 1000000}};
    midi.notes = {{60, 80, 720, 960, 0}, {62, 80, 1440, 1680, 0}};
    midi.lastTick = 1680;
    sonoscriptor::Transcription t = transcriptionOf({}, midi, FileFindings{}, 0);
    EXPECT_EQ(t.notes[0].bar, 1);
    EXPECT_DOUBLE_EQ(t.notes[0].beat, 2.0);
    EXPECT_EQ(t.notes[1].bar, 2);
    EXPECT_DOUBLE_EQ(t.notes[1].beat, 1.0);
    EXPECT_DOUBLE_EQ(t.notes[0].onset, 0.75);
    EXPECT_DOUBLE_EQ(t.notes[1].onset, 2.0);  // 1 s for two quarters at 120, then 1 s a quarter
    ASSERT_EQ(t.tempo_map.size(), 2u);
    EXPECT_DOUBLE_EQ(t.tempo_map[1].time, 1.0);
    EXPECT_DOUBLE_EQ(t.tempo_map[1].bpm, 60);
    EXPECT_EQ(t.time_signature.denominator, 8);
}

// The note list (--notes) counts bars and beats with code of its own: both must agree on the files
// the command writes (a pick-up, then one metre; compound metres in dotted beats).
TEST(LibraryBars, TheNoteListCountsTheSameBarsAndBeats) {
    MidiContent jig;
    jig.division = 480;
    jig.numerator = 6;
    jig.denominatorPower = 3;
    jig.clocksPerClick = 36;
    jig.signatures = {{0, 2, 3}, {480, 6, 3}};
    jig.notes = {{60, 80, 0, 240, 0}, {62, 80, 240, 480, 0}, {64, 80, 480, 1200, 0}, {65, 80, 1320, 1920, 0},
                 {67, 80, 2000, 2400, 0}};
    jig.lastTick = 2400;
    for (const MidiContent &midi : {pickupFile(), jig}) {
        sonoscriptor::Transcription t = transcriptionOf({}, midi, FileFindings{}, 0);
        NoteList list = noteListOf(midi);
        ASSERT_EQ(t.notes.size(), list.notes.size());
        for (size_t i = 0; i < t.notes.size(); ++i) {
            EXPECT_EQ(t.notes[i].bar, list.notes[i].bar) << i;
            EXPECT_NEAR(t.notes[i].beat, list.notes[i].beat, 0.0005) << i;
        }
    }
}

TEST(LibraryBars, TrackedBeatsAndTheKeyComeFromTheRun) {
    FileFindings findings;
    findings.tempo.tracked = true;
    findings.tempo.beats = {0.5, 1.0, 1.5, 2.0};
    findings.tempo.downbeats = {false, true, false, false};
    findings.status.kind = StatusKind::Success;
    findings.status.keySignature = -3;
    findings.status.mode = 1;
    MidiContent midi = pickupFile();
    midi.markers = {{480, std::string("Am\0\0", 4)}};
    midi.hasKeySignature = true;
    midi.keySignature = -3;
    midi.mode = 1;
    sonoscriptor::Transcription t = transcriptionOf({}, midi, findings, 0);
    EXPECT_TRUE(t.beats_tracked);
    EXPECT_EQ(t.beats, findings.tempo.beats);
    EXPECT_EQ(t.downbeats, (std::vector<double>{1.0}));
    EXPECT_EQ(t.key.name, "C minor");
    EXPECT_EQ(t.key.fifths, -3);
    EXPECT_TRUE(t.key.minor);
    ASSERT_EQ(t.chords.size(), 1u);
    EXPECT_EQ(t.chords[0].name, "Am");
    EXPECT_DOUBLE_EQ(t.chords[0].time, 1.0);
    // No key: the engine's final line says 8 where the MIDI file holds C major.
    findings.status.keySignature = 8;
    midi.keySignature = 0;
    midi.mode = 0;
    EXPECT_FALSE(transcriptionOf({}, midi, findings, 0).key.known);
}

}  // namespace
