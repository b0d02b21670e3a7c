// Finish routine: completed, cancelled and failed runs, what becomes of the
// MIDI output in each, and write failures at the end of a run.
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sys/sysmacros.h>
#include <thread>

#include "analysis/analysis.h"
#include "tests/engine/engine_fixture.h"
#include "tests/midi/midi_fixture.h"

namespace {

std::string defaultNoteFreeFile() {
    std::string d = "MThd" + bytesOf({0, 0, 0, 6, 0, 0, 0, 1, 0x00, 0x60}) + "MTrk" + bytesOf({0, 0, 0, 0x50});
    d += bytesOf({0x00, 0xFF, 0x58, 0x04, 4, 2, 0x18, 0x08, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
    d += bytesOf({0x00, 0xFF, 0x59, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x30});
    d += "Created by Sonoscriptor Music Recognition System";
    d += bytesOf({0x00, 0xC0, 0x00, 0x00, 0xFF, 0x2F, 0x00});
    return d;
}

// --- Runs of the engine binary --------------------------------------------

TEST(FinishRun, NoteFreeRunGivesTheMinimalFile) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    EXPECT_EQ(dir.runEngine(), 0);
    EXPECT_EQ(hexBytes(readFile(dir.midiPath())), hexBytes(defaultNoteFreeFile()));
    EXPECT_EQ(dir.status(), "100,128,-1,0,0") << "all-zero totals are detected as C major";
}

TEST(FinishRun, WithoutKeyDetectionTheSettingsKeyIsWrittenAndReported) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare("AutoDetectKey=0\nKeySignature=-3\nMajorMinor=1\n");
    EXPECT_EQ(dir.runEngine(), 0);
    std::string midi = readFile(dir.midiPath());
    ASSERT_EQ(midi.size(), 102u);
    EXPECT_EQ(hexBytes(midi.substr(41, 2)), hexBytes(bytesOf({0xFD, 0x01})));
    EXPECT_EQ(dir.status(), "100,128,-1,-3,0");
}

TEST(FinishRun, FormatErrorDeletesAnOutputLeftByAnEarlierRun) {
    EngineDir dir;
    writeWav16(dir.wavPath(), 8000, 1, std::vector<int16_t>(8000, 0));
    writeFile(dir.midiPath(), "output of an earlier run");
    dir.prepare();
    EXPECT_EQ(dir.runEngine(), 4);
    EXPECT_FALSE(fileExists(dir.midiPath()));
    EXPECT_EQ(dir.status(), "-4.010,128,-1,8,0") << "no note was written before the failure";
}

TEST(FinishRun, NotesSoundingAtTheEndAreClosedBeforeTheEndOfTrack) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 2.05, 0.5, 2.05);  // 16 frames: the last block is exactly full
    dir.prepare();
    EXPECT_EQ(dir.runEngine(), 0);
    expectCompleteMidi(dir.midiPath());
    std::vector<TrackEvent> notes = readMidiNotes(dir.midiPath());
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(unclosedNotes(notes), "");
    EXPECT_EQ(notes.back().type, 0x80);
}

TEST(FinishRun, PartialLastBlockIsTranscribed) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 3.0, 2.1, 3.0);  // 24 frames: the tone lies only in the second, partial block
    dir.prepare();
    EXPECT_EQ(dir.runEngine(), 0);
    expectCompleteMidi(dir.midiPath());
    std::vector<TrackEvent> notes = readMidiNotes(dir.midiPath());
    ASSERT_FALSE(notes.empty()) << "the rows of the partial block were not processed";
    EXPECT_EQ(unclosedNotes(notes), "");
    std::string status = dir.status();
    EXPECT_EQ(status.substr(0, 4), "100,");
    EXPECT_NE(status.substr(0, 8), "100,128,");
}

TEST(FinishRun, CancelAtTheFirstPollKeepsACompleteFile) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare("", "-1");
    EXPECT_EQ(dir.runEngine(), 1);
    EXPECT_EQ(hexBytes(readFile(dir.midiPath())), hexBytes(defaultNoteFreeFile()));
    EXPECT_EQ(dir.status(), "-1.000,128,-1,0,0");
}

// Cancels a long run once it is under way, by `cancel`.
void cancelLongRun(const std::function<void(const EngineDir &)> &cancel) {
    EngineDir dir;
    writeLongToneWav(dir.wavPath(), 300);
    dir.prepare("Tempo=480\nResolution=6\n");  // a fine grid keeps even a fast engine busy for seconds
    Spawned engine = startEngine({dir.settingsPath(), dir.statusPath(), "+"});  // 300 s at 8 beats per second
    // Cancelled once the status shows progress, so that some notes were written: on a loaded
    // machine (or under the sanitizers) a fixed wait may end before the engine has begun.
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::atof(firstField(dir.status()).c_str()) <= 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cancel(dir);
    EXPECT_EQ(waitEngine(engine), 1);
    expectCompleteMidi(dir.midiPath());
    std::vector<TrackEvent> notes = readMidiNotes(dir.midiPath());
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(unclosedNotes(notes), "");
    EXPECT_LT(notes.back().tick, 300 * 8 * 768 / 2) << "the run went on to the end of the input";  // 768 ticks a beat
    EXPECT_EQ(firstField(dir.status()), "-1.000");
}

TEST(FinishRun, CancelWhileRunningKeepsWhatWasTranscribed) {
    cancelLongRun([](const EngineDir &dir) { writeFile(dir.statusPath(), "-1"); });
}

TEST(FinishRun, DeletedStatusFileCancelsTheRun) {
    cancelLongRun([](const EngineDir &dir) { unlink(dir.statusPath().c_str()); });
}

// A file-size limit makes a write fail (the signal it raises does not kill the engine).
TEST(FinishRun, FullDiskAtTheFirstFlushLeavesNoOutput) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    EngineLimits limits;
    limits.fileSizeLimit = 50;
    EXPECT_EQ(dir.runEngine(limits), 5);
    EXPECT_FALSE(fileExists(dir.midiPath()));
    EXPECT_EQ(firstField(dir.status()), "-5.022");
}

TEST(FinishRun, FullDiskWithinTheEventsLeavesNoOutput) {
    EngineDir dir;
    std::vector<int16_t> samples = sineWave(44100, 440, 1.0, 12000);
    mixInto(samples, sineWave(44100, 660, 1.0, 12000), 44100);
    writeWav16(dir.wavPath(), 44100, 1, samples);
    dir.prepare();
    ASSERT_EQ(dir.runEngine(), 0);
    const size_t fullSize = readFile(dir.midiPath()).size();
    ASSERT_GT(fullSize, 112u) << "the input should yield notes";
    EngineLimits limits;
    limits.fileSizeLimit = 110;  // the header area and a part of the events fit
    EXPECT_EQ(dir.runEngine(limits), 5);
    EXPECT_FALSE(fileExists(dir.midiPath()));
    EXPECT_EQ(firstField(dir.status()), "-5.022");
}

TEST(FinishRun, DeviceOutputFailsAndIsNotDeleted) {
    struct stat before;
    ASSERT_EQ(stat("/dev/full", &before), 0);
    ASSERT_TRUE(S_ISCHR(before.st_mode));
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    writeFile(dir.settingsPath(), "WaveFile=" + dir.wavPath() + "\nMidiFile=/dev/full\n");
    writeFile(dir.statusPath(), "0");
    dir.openToAll();
    EngineLimits limits;
    limits.unprivileged = true;  // even a faulty engine could not remove the device
    EXPECT_EQ(dir.runEngine(limits), 5);
    EXPECT_EQ(firstField(dir.status()), "-5.022");
    struct stat after;
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);
}

TEST(FinishRun, DirectoryAsOutputIsAnOpenFailureAndStays) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare();
    ASSERT_EQ(mkdir(dir.midiPath().c_str(), 0755), 0);
    EXPECT_EQ(dir.runEngine(), 3);
    EXPECT_EQ(dir.status(), "-3.006,128,-1,8,0");
    struct stat out;
    ASSERT_EQ(stat(dir.midiPath().c_str(), &out), 0);
    EXPECT_TRUE(S_ISDIR(out.st_mode));
}

TEST(FinishRun, InputIsNeverReplacedOrDeletedAsOutput) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0.2, 0.8);
    const std::string wav = readFile(dir.wavPath());
    for (const std::string &output : {dir.wavPath(), dir.path + "/./in.wav", dir.file("link.wav")}) {
        if (output == dir.file("link.wav")) {
            ASSERT_EQ(link(dir.wavPath().c_str(), output.c_str()), 0);
        }
        writeFile(dir.settingsPath(), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + output + "\n");
        writeFile(dir.statusPath(), "0");
        EXPECT_EQ(dir.runEngine(), 3) << output;
        EXPECT_EQ(dir.status(), "-3.006,128,-1,8,0") << output;
        EXPECT_TRUE(readFile(dir.wavPath()) == wav) << "the input was changed through " << output;
        EXPECT_TRUE(fileExists(output)) << output;
    }
}

TEST(FinishRun, TempoFileAndFilterRecordsAreNeverReplacedAsOutput) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0.2, 0.8);
    writeFile(dir.file("tempo.bin"), std::string("\xF4\x01\xF4\x01\xFF\xFF", 6));
    const std::string data = SOURCE_DIR "/data/";
    writeFile(dir.file("filter.txt"), readFile(data + "filter.txt"));
    writeFile(dir.file("filter.dat"), readFile(data + "filter.dat"));
    const std::string read = "TempoFile=" + dir.file("tempo.bin") + "\nExePath=" + dir.path + "/\nFilter=0\n";
    for (const char *name : {"tempo.bin", "filter.txt", "filter.dat"}) {
        const std::string before = readFile(dir.file(name));
        writeFile(dir.settingsPath(), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.file(name) + "\n" + read);
        writeFile(dir.statusPath(), "0");
        EXPECT_EQ(dir.runEngine(), 3) << name;
        EXPECT_EQ(dir.status(), "-3.006,128,-1,8,0") << name;
        EXPECT_TRUE(readFile(dir.file(name)) == before) << name << " was replaced by the output";
    }
    // On the resonator path the filter files are not read, and the tempo file is still refused.
    writeFile(dir.settingsPath(), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.file("tempo.bin") +
                                      "\nTempoFile=" + dir.file("tempo.bin") + "\n");
    writeFile(dir.statusPath(), "0");
    EXPECT_EQ(dir.runEngine(), 3);
    EXPECT_EQ(readFile(dir.file("tempo.bin")), std::string("\xF4\x01\xF4\x01\xFF\xFF", 6));
}

TEST(FinishRun, FailedRunKeepsATempoFileNamedAsOutput) {
    EngineDir dir;
    writeFile(dir.wavPath(), std::string(5000, 'x'));  // no WAV header: code 4
    writeFile(dir.file("tempo.bin"), std::string("\xF4\x01\xFF\xFF", 4));
    writeFile(dir.settingsPath(), "WaveFile=" + dir.wavPath() + "\nMidiFile=" + dir.file("tempo.bin") +
                                      "\nTempoFile=" + dir.file("tempo.bin") + "\n");
    writeFile(dir.statusPath(), "0");
    EXPECT_GE(dir.runEngine(), 2);
    EXPECT_TRUE(fileExists(dir.file("tempo.bin")));
}

// --- The finish routine in this process -----------------------------------

class FinishTest : public MidiOutputTest {
protected:
    void SetUp() override {
        MidiOutputTest::SetUp();
        settings.KeyMin = 60;
        settings.KeyMax = 72;
        derived.keyColumns = 73;
        settings.Filter = -1;
        std::strcpy(analysis.chordName, "C");
        for (int64_t &total : analysis.PitchClassTotals) total = 0;
        tracker.keys = static_cast<KeyState *>(std::calloc(derived.keyColumns, sizeof(KeyState)));
        std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
        resetWriter();
        resetTracker();
        run.CurrentRow = -1;
    }

    // Frames of one sounding key, tracked as the analysis hands them on.
    void sound(int key, int frames) {
        std::vector<int32_t> strengths(derived.keyColumns, 0);
        strengths[key] = 40;
        for (int i = 0; i < frames; ++i) trackNotes(strengths.data(), i, analysis.chordName);
        run.CurrentRow = -1;
    }
};

TEST_F(FinishTest, CompletedRunClosesNotesAndWritesTheHeader) {
    settings.AutoDetectKey = 1;
    analysis.PitchClassTotals[9] = 100;
    sound(69, 5);
    EXPECT_EXIT(finish(0, 0), ::testing::ExitedWithCode(0), "");
    std::string midi = readFile(path);
    expectCompleteMidi(path);
    std::vector<BodyEvent> events = parseBody(midi.substr(98, midi.size() - 102));
    EXPECT_EQ(describeEvents(noteEvents(events)), "on 69 @0 v40, off 69 @144 v40");
    EXPECT_EQ(readFile(run.statusPath), "100,69,69,0,1") << "A minor: 100 on A only";
    EXPECT_EQ(hexBytes(midi.substr(41, 2)), hexBytes(bytesOf({0x00, 0x01})));
}

TEST_F(FinishTest, CancelledRunIsCompletedToo) {
    settings.AutoDetectKey = 0;
    settings.KeySignature = 2;
    sound(64, 3);
    EXPECT_EXIT(finish(1, 0), ::testing::ExitedWithCode(1), "");
    expectCompleteMidi(path);
    EXPECT_EQ(readFile(run.statusPath), "-1.000,64,64,2,0");
}

TEST_F(FinishTest, FailedRunIsNotCompletedAndLosesItsOutput) {
    sound(64, 3);
    EXPECT_EXIT(finish(2, 21), ::testing::ExitedWithCode(2), "");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(readFile(run.statusPath), "-2.021,64,64,8,0");
}

TEST_F(FinishTest, FailureWhileTheHeaderIsWrittenIsTheReportedResult) {
    std::fclose(writer.midi);
    writeFile(path, "partial output");
    FailingSink sink{MidiHeaderSize + 4};  // the end of the track fits, "MThd" does not
    writer.midi = openFailingStream(sink, false);
    std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
    resetWriter();
    EXPECT_EXIT(finish(0, 0), ::testing::ExitedWithCode(5), "");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(readFile(run.statusPath), "-5.019,128,-1,0,0");
}

TEST_F(FinishTest, FailureWhileClosingNotesIsTheReportedResult) {
    sound(64, 3);
    std::fclose(writer.midi);
    writeFile(path, "partial output");
    FailingSink sink{MidiHeaderSize + 6};  // the note-off of the tail does not fit
    writer.midi = openFailingStream(sink, false);
    std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
    resetWriter();
    EXPECT_EXIT(finish(0, 0), ::testing::ExitedWithCode(5), "");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(firstField(readFile(run.statusPath)), "-5.022");
}

TEST_F(FinishTest, FailedCloseOfTheOutputIsAWriteFailure) {
    std::fclose(writer.midi);
    writeFile(path, "partial output");
    FailingSink sink{1000000};
    sink.closeFails = true;
    writer.midi = openFailingStream(sink, true);
    std::fwrite(std::string(MidiHeaderSize, ' ').data(), 1, MidiHeaderSize, writer.midi);
    resetWriter();
    EXPECT_EXIT(finish(0, 0), ::testing::ExitedWithCode(5), "");
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(firstField(readFile(run.statusPath)), "-5.022");
}

TEST_F(FinishTest, OnlyARegularFileOtherThanTheInputIsDeleted) {
    std::fclose(writer.midi);
    writer.midi = nullptr;
    const std::string input = dir.file("in.wav");
    writeFile(input, "input");
    settings.WaveFile = input;

    settings.MidiFile = input;
    deleteOutput();
    EXPECT_TRUE(fileExists(input));
    settings.MidiFile = dir.path + "/./in.wav";
    deleteOutput();
    EXPECT_TRUE(fileExists(input));
    ASSERT_EQ(symlink(input.c_str(), dir.file("symlink.wav").c_str()), 0);
    settings.MidiFile = dir.file("symlink.wav");
    deleteOutput();
    EXPECT_TRUE(fileExists(input));
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    settings.MidiFile = dir.file("folder");
    deleteOutput();
    EXPECT_TRUE(fileExists(dir.file("folder")));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    settings.MidiFile = dir.file("fifo");
    deleteOutput();
    EXPECT_TRUE(fileExists(dir.file("fifo")));
    if (mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {  // a device node of our own
        settings.MidiFile = dir.file("full");
        deleteOutput();
        EXPECT_TRUE(fileExists(dir.file("full")));
    }
    settings.MidiFile = dir.file("missing.mid");
    deleteOutput();
    settings.MidiFile = path;
    deleteOutput();
    EXPECT_FALSE(fileExists(path));
}

}  // namespace
