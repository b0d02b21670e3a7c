// Sentences for every failure code and detail, the summary, names.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "app/starter/cli/failures.h"
#include "app/starter/cli/messages.h"

namespace {

// Every code and detail the engine can report.
const std::vector<std::pair<int, int>> &engineFailures() {
    static const std::vector<std::pair<int, int>> all = {
        {2, 16}, {2, 21}, {2, 33}, {3, 6},  {3, 8},  {3, 15}, {3, 23}, {3, 36}, {4, 9},  {4, 10},
        {4, 11}, {4, 17}, {4, 18}, {5, 7},  {5, 19}, {5, 20}, {5, 22}, {5, 29}, {5, 35},
        {6, 1},  {6, 3},  {6, 12}, {6, 13}, {6, 14}, {6, 28}, {6, 30}, {7, 24}, {7, 25},
        {7, 26}, {7, 27}};
    return all;
}

// A short run on a.wav that wrote notes from `lowest` to `highest`.
RunReport shortRun(int notes, int lowest, int highest) {
    RunReport r;
    r.input = "a.wav";
    r.output = "a.mid";
    r.notes = notes;
    r.lowest = lowest;
    r.highest = highest;
    r.audioSeconds = 5;
    r.elapsedSeconds = 1;
    return r;
}

}  // namespace

TEST(Messages, EveryFailureHasItsOwnSentence) {
    SettingsList none;
    std::set<std::string> seen;
    for (auto [code, detail] : engineFailures()) {
        std::string s = engineFailureSentence(code, detail, engineSettings(none));
        EXPECT_TRUE(seen.insert(s).second) << code << "." << detail << ": " << s;
        EXPECT_NE(s.find(';'), std::string::npos) << "says what to do: " << s;
        EXPECT_EQ(s.back(), '.') << s;
        EXPECT_EQ(s.find('\n'), std::string::npos) << s;
    }
    EXPECT_NE(engineFailureSentence(0, 0, engineSettings(none)).find("complete"), std::string::npos);
    EXPECT_NE(engineFailureSentence(1, 0, engineSettings(none)).find("cancelled"), std::string::npos);
}

TEST(Messages, SayWhatTheEngineAccepts) {
    SettingsList none;
    std::string rate = engineFailureSentence(4, 10, engineSettings(none));
    for (const char *r : {"11025", "22050", "44100"})
        EXPECT_NE(rate.find(r), std::string::npos) << rate;
    EXPECT_NE(engineFailureSentence(4, 11, engineSettings(none)).find("16-bit"), std::string::npos);
    EXPECT_NE(engineFailureSentence(4, 17, engineSettings(none)).find("PCM"), std::string::npos);
}

TEST(Messages, UnknownDetailsFallBackToTheirClass) {
    SettingsList none;
    EXPECT_NE(engineFailureSentence(5, 99, engineSettings(none)).find("disk"), std::string::npos);
    EXPECT_NE(engineFailureSentence(3, -1, engineSettings(none)).find("opened"), std::string::npos);
    EXPECT_NE(engineFailureSentence(42, 0, engineSettings(none)).find("42"), std::string::npos);
}

TEST(Messages, TimingSentencesNameTheSettingsCombination) {
    SettingsList coarse = {{"Sensitivity", "0"}, {"Resolution", "0"}, {"Speed", "100"}};
    std::string zero = engineFailureSentence(7, 24, engineSettings(coarse));
    EXPECT_NE(zero.find("Sensitivity 0"), std::string::npos) << zero;
    EXPECT_NE(zero.find("Resolution 0"), std::string::npos) << zero;
    EXPECT_NE(zero.find("0.25"), std::string::npos) << zero;
    SettingsList fine = {{"Sensitivity", "7"}, {"Resolution", "8"}, {"Speed", "999"}};
    std::string big = engineFailureSentence(7, 25, engineSettings(fine));
    EXPECT_NE(big.find("32767"), std::string::npos) << big;
    EXPECT_NE(big.find("Speed 999%"), std::string::npos) << big;
    // Ticks per beat are the frames per beat x 48 / 2^Sensitivity: 5115 frames, 122757 ticks.
    SettingsList wide = {{"Tempo", "60"}, {"Resolution", "8"}, {"Speed", "999"}, {"TimeSignatureDenominator", "0"}};
    std::string wideSentence = engineFailureSentence(7, 25, engineSettings(wide));
    EXPECT_NE(wideSentence.find("would be 122757 ticks per beat"), std::string::npos) << wideSentence;
    SettingsList slow = {{"Tempo", "2"}};
    EXPECT_NE(engineFailureSentence(7, 27, engineSettings(slow)).find("2 beats per minute"), std::string::npos);
    EXPECT_NE(engineFailureSentence(7, 26, engineSettings({{"Tempo", "1e9"}})).find("too fast"), std::string::npos);
}

TEST(Messages, NamesNotesAndKeys) {
    EXPECT_EQ(noteName(60, false), "C4");
    EXPECT_EQ(noteName(61, false), "C#4");
    EXPECT_EQ(noteName(61, true), "Db4");
    EXPECT_EQ(noteName(21, false), "A0");
    EXPECT_EQ(noteName(0, false), "C-1");
    EXPECT_EQ(keyName(0, 0), "C major");
    EXPECT_EQ(keyName(1, 1), "E minor");
    EXPECT_EQ(keyName(-3, 0), "Eb major");
    EXPECT_EQ(keyName(7, 1), "A# minor");
    EXPECT_EQ(keyName(8, 0), "");
}

TEST(Messages, AProgressLineSaysWhatTheFileIsDoing) {
    EXPECT_EQ(stageWords(Stage::Converting, "48000 Hz 24-bit stereo WAV", false),
              "converting 48000 Hz 24-bit stereo WAV to 44100 Hz 16-bit");
    EXPECT_EQ(stageWords(Stage::RunningEngine, "", false), "transcribing");
    EXPECT_EQ(stageWords(Stage::RunningEngine, "", true), "cancelling");
    EXPECT_EQ(fileFailureLine("a.wav", "The file holds no audio."), "sonoscriptor: a.wav: The file holds no audio.");
}

TEST(Messages, SummarySaysWhatWasWritten) {
    RunReport r;
    r.input = "song.wav";
    r.output = "song.mid";
    r.notes = 312;
    r.lowest = 36;
    r.highest = 93;
    r.keySignature = 1;
    r.mode = 1;
    r.keyDetected = true;
    r.audioSeconds = 192;
    r.elapsedSeconds = 8.4;
    r.conversion = "48000 Hz 24-bit stereo WAV";
    std::string s = summaryParagraph(r);
    for (const char *part : {"song.wav -> song.mid", "312 notes written", "from C2 to A6",
                             "detected key E minor", "3 min 12 s of audio", "8.4 s", "23x real time",
                             "48000 Hz 24-bit stereo WAV", "converted to 44100 Hz 16-bit"})
        EXPECT_NE(s.find(part), std::string::npos) << part << " in " << s;
    EXPECT_EQ(s.find('\n'), std::string::npos);
    EXPECT_EQ(s.find("Attack evidence"), std::string::npos) << "not refined: no clause";
    r.refined = true;
    r.moved = 1;
    r.split = 5;
    r.dropped = 7;
    r.added = 3;
    std::string refined = summaryParagraph(r);
    EXPECT_NE(refined.find("detected key E minor. Attack evidence moved 1 note, split 5, dropped 7 and added 3. 3 min 12 s"),
              std::string::npos) << refined;
}

TEST(Messages, SummarySaysWhenTheFileEndsEarly) {
    RunReport r;
    r.input = "take.flac";
    r.output = "take.mid";
    r.audioSeconds = 3.8;
    r.conversion = "48000 Hz 16-bit mono FLAC";
    r.announcedSeconds = 8;
    r.decodedSeconds = 3.8;
    EXPECT_NE(summaryParagraph(r).find(
                  "The file ends early (damaged or cut short?): 3.8 s of the 8.0 s its header announces could be read."),
              std::string::npos)
        << summaryParagraph(r);
    // An encoder's delay, a stated length of none (0) or a whole file: no such sentence.
    for (double decoded : {7.975, 8.0}) {
        r.decodedSeconds = decoded;
        EXPECT_EQ(summaryParagraph(r).find("ends early"), std::string::npos) << decoded;
    }
    r.announcedSeconds = 0;
    r.decodedSeconds = 3.8;
    EXPECT_EQ(summaryParagraph(r).find("ends early"), std::string::npos);
}

TEST(Messages, SummarySaysTheTuningOnlyWhenItWasFollowed) {
    RunReport r;
    r.input = "take.wav";
    r.output = "take.mid";
    EXPECT_EQ(summaryParagraph(r).find("tuned"), std::string::npos);
    r.tuned = true;
    r.tuningCents = -12.4;
    r.referencePitch = 437;
    EXPECT_NE(summaryParagraph(r).find(
                  " The recording is tuned 12 cents flat of A = 440 Hz: its notes were heard against A = 437 Hz."),
              std::string::npos)
        << summaryParagraph(r);
    r.tuningCents = 31;
    r.referencePitch = 445;
    EXPECT_NE(summaryParagraph(r).find("tuned 31 cents sharp of A = 440 Hz: its notes were heard against A = 445 "
                                       "Hz, the highest the engine takes."),
              std::string::npos)
        << summaryParagraph(r);
    // 445 Hz is 19.6 cents sharp: a recording 20 cents sharp is heard where it is.
    r.tuningCents = 20.4;
    EXPECT_EQ(summaryParagraph(r).find("the highest"), std::string::npos) << summaryParagraph(r);
    r.tuningCents = 4;
    r.referencePitch = 440;
    EXPECT_EQ(summaryParagraph(r).find("tuned"), std::string::npos) << "within the dead zone: nothing said";
}

TEST(Messages, SummaryOfACancelAndOfNothingFound) {
    RunReport r = shortRun(1, 60, 60);
    r.code = 1;
    r.percent = 42;
    std::string s = summaryParagraph(r);
    EXPECT_NE(s.find("cancelled after 5.0 s of the audio"), std::string::npos) << s;
    EXPECT_NE(s.find("keeps the 1 note transcribed up to then, all on C4, in the engine's time (as --raw writes "
                     "it), not the recording's"), std::string::npos) << s;
    r.refineCancelled = true;
    EXPECT_NE(summaryParagraph(r).find("the refinement was cancelled; the MIDI file holds the engine's 1 note, not "
                                       "refined, all on C4, in the engine's time (as --raw writes it), not the "
                                       "recording's"), std::string::npos) << summaryParagraph(r);
    r.refineCancelled = false;
    EXPECT_NE(s.find("no key signature"), std::string::npos) << s;
    r.output = "song.musicxml";
    EXPECT_NE(summaryParagraph(r).find("the score keeps the 1 note"), std::string::npos);
    // Both files are named, the score last; standard output by its name.
    r.output = "-";
    r.scoreOutput = "song.mxl";
    EXPECT_NE(summaryParagraph(r).find(" -> standard output and song.mxl: cancelled"), std::string::npos);
    EXPECT_NE(summaryParagraph(r).find("the score keeps the 1 note"), std::string::npos);
    r.scoreOutput = "";
    r.code = 0;
    r.notes = 0;
    r.lowest = 128;
    r.highest = -1;
    EXPECT_NE(summaryParagraph(r).find("no notes were found"), std::string::npos);
}

// A silent file: no key is claimed (the detector reports C major for no notes), --tempo is
// named only when it was given; what the conversion did to the audio is said.
TEST(Messages, SummaryOfASilentFileAndOfWhatTheConversionDid) {
    RunReport r = shortRun(0, 128, -1);
    r.keySignature = 0;
    r.keyDetected = true;
    r.tempoSource = TempoSource::Fallback;
    r.tempo = 120;
    std::string s = summaryParagraph(r);
    EXPECT_EQ(s.find("C major"), std::string::npos) << s;
    EXPECT_NE(s.find("no key was detected"), std::string::npos) << s;
    EXPECT_EQ(s.find("far from its real tempo"), std::string::npos) << s;
    r.tempoSource = TempoSource::Given;
    EXPECT_NE(summaryParagraph(r).find("is --tempo far from its real tempo?"), std::string::npos);
    // Not silent: the engine wrote notes and the attack evidence dropped every one (a drum track).
    r.refined = true;
    r.dropped = 25;
    s = summaryParagraph(r);
    EXPECT_NE(s.find("no notes were found: the attack evidence dropped every note the engine wrote"),
              std::string::npos) << s;
    EXPECT_EQ(s.find("silent"), std::string::npos) << s;
    r = shortRun(3, 60, 64);
    r.conversion = "48000 Hz 32-bit float 6-channel WAV";
    r.channels = 6;
    r.nonFiniteSamples = 2;
    s = summaryParagraph(r);
    EXPECT_NE(s.find("converted to 44100 Hz 16-bit WAV for the engine, its 6 channels mixed to mono."),
              std::string::npos) << s;
    EXPECT_NE(s.find(" 2 samples were infinite or not a number and counted as silence."), std::string::npos) << s;
    r.channels = 2;
    r.nonFiniteSamples = 0;
    s = summaryParagraph(r);
    EXPECT_EQ(s.find("mixed to mono"), std::string::npos) << s;
    EXPECT_EQ(s.find("infinite"), std::string::npos) << s;
}

TEST(Messages, TheMetreAndWhereItCameFrom) {
    EXPECT_EQ(metreWords(3, 2, false, true, false), "3/4 time, found from the accents and chord changes");
    EXPECT_EQ(metreWords(2, 2, false, true, true), "2/4 time, found from the accents and chord changes (weak evidence)");
    EXPECT_EQ(metreWords(6, 3, true, false, false), "6/8 time as given");
    EXPECT_EQ(metreWords(4, 2, false, false, false), "4/4 time (too few beats to find the bars)");
}

TEST(Messages, TheSummaryNamesTheTempoAndWhereItCameFrom) {
    RunReport r = shortRun(3, 60, 64);
    std::string plain = summaryParagraph(r);
    EXPECT_EQ(plain.find("Tempo"), std::string::npos) << plain;
    r.tempo = 96.4;
    r.beats = 58;
    r.tempoSource = TempoSource::Tracked;
    std::string s = summaryParagraph(r);
    EXPECT_EQ(s, plain + " Tempo: 96.4 beats per minute, the median of the 58 beats found in the recording; the "
                         "notes follow those beats.");
    r.metre = metreWords(6, 3, false, true, false);
    EXPECT_EQ(summaryParagraph(r), plain + " Tempo: 96.4 beats per minute, the median of the 58 beats found in the "
                                           "recording; the notes follow those beats, in 6/8 time, found from the "
                                           "accents and chord changes.");
    r.dottedBeat = true;  // in 6/8 the tempo is the dotted quarter's
    EXPECT_NE(summaryParagraph(r).find(" Tempo: 96.4 dotted-quarter beats per minute, the median"), std::string::npos);
    r.dottedPower = 3;  // in 9/16 the dotted eighth's
    EXPECT_NE(summaryParagraph(r).find(" Tempo: 96.4 dotted-eighth beats per minute, the median"), std::string::npos);
    r.dottedPower = 2;
    r.dottedBeat = false;
    r.metre.clear();
    r.tempoSource = TempoSource::Given;
    EXPECT_EQ(summaryParagraph(r), plain + " Tempo: a constant 96.4 beats per minute.");
    r.tempoSource = TempoSource::Map;
    EXPECT_EQ(summaryParagraph(r), plain + " Tempo: 96.4 beats per minute; the notes follow the beats of the tempo map.");
    r.tempoSource = TempoSource::Fallback;
    r.tempo = 120;
    r.tempoFallback = {NoBeatKind::Silent};
    EXPECT_EQ(summaryParagraph(r), plain + " The recording is silent, so the tempo is a constant 120 beats per "
                                           "minute; give the tempo with --tempo if it is another.");
    EXPECT_EQ(fallbackSentence({}, 90), "No steady beat was found, so the tempo is a constant 90 beats per minute; "
                                        "give the tempo with --tempo if it is another.");
    // Each reason the beats hand up, worded here (the words the beat finder used to send up itself).
    const std::pair<NoBeat, const char *> reasons[] = {
        {{NoBeatKind::TooShort}, "The recording is too short to find its beat (under 4 seconds)"},
        {{NoBeatKind::TooFewBeats}, "No steady beat was found in the recording"},
        {{NoBeatKind::NoClearPulse}, "No beat stands out in the recording (it has no clear pulse)"},
        {{NoBeatKind::OutsideTempos, 412.35}, "The beat found (412.4 beats per minute) is outside the tempos "
                                              "followed, 30 to 300 beats per minute"},
        {{NoBeatKind::NotWritable, 250.5}, "The tempo found (250.5 beats per minute) cannot be written into a "
                                           "MIDI file with these settings"},
    };
    for (const auto &[reason, words] : reasons)
        EXPECT_EQ(fallbackSentence(reason, 120), std::string(words) + ", so the tempo is a constant 120 beats per "
                                                                      "minute; give the tempo with --tempo if it is "
                                                                      "another.");
}

TEST(Messages, WritesDurations) {
    EXPECT_EQ(durationText(4.3), "4.3 s");
    EXPECT_EQ(durationText(42.4), "42 s");
    EXPECT_EQ(durationText(192), "3 min 12 s");
}

// An output sentence points to the option that named the output: -o, or --notes for a note list.
TEST(Messages, OutputSentencesNameTheOptionOfTheOutput) {
    for (FailureKind kind : {FailureKind::OutputIsInput, FailureKind::OutputUnwritable, FailureKind::OutputFolderMissing,
                             FailureKind::OutputIsFolder, FailureKind::OutputIsLink, FailureKind::OutputExists,
                             FailureKind::OutputFolderNotWritable}) {
        Failure f = failureOf(kind, "song.csv");
        EXPECT_NE(failureSentence(f).find(" with -o."), std::string::npos) << failureSentence(f);
        f.option = "--notes";
        EXPECT_NE(failureSentence(f).find(" with --notes."), std::string::npos) << failureSentence(f);
    }
}

// A full temporary folder fails the file with the code of a failed write, whether it met the converted
// audio or the engine's settings (a file the engine reads as it is has nothing converted).
TEST(Messages, AFullTemporaryFolderIsAFailedWrite) {
    for (FailureKind kind : {FailureKind::ConversionNotWritten, FailureKind::SettingsNotWritten}) {
        Failure f = failureOf(kind);
        EXPECT_EQ(failureCode(f), 5) << failureSentence(f);
        EXPECT_NE(failureSentence(f).find("not full"), std::string::npos) << failureSentence(f);
    }
}

TEST(Messages, SettingsThatWouldNotReachTheEngineNameTheirKey) {
    SettingsList list = {{"Transpose", "0MidiFile=x"}};
    Failure f = settingsFailure(readBackProblem(settingsText(list), list));
    EXPECT_EQ(failureCode(f), 9);
    EXPECT_EQ(failureSentence(f), "The value of Transpose contains \"MidiFile=\", so the engine would read it as "
                                  "MidiFile; a value may not contain a settings key.");
    list = {{"Tempo", "90"}};
    EXPECT_EQ(settingsFailure(readBackProblem(settingsText(list), list)).kind, FailureKind::None);
    EXPECT_EQ(failureSentence(failureOf(FailureKind::EngineNotStarted, "/x/engine", "No such file or directory")),
              "The engine /x/engine could not be started: No such file or directory; reinstall sonoscriptor or "
              "name the engine with --engine.");
}
