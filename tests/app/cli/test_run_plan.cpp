// The run plan a command line makes: golden command lines and the plan's values,
// the one place the stages take the region, tempo, grid, key and files from.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/starter/beats/beats.h"
#include "app/starter/cli/run_plan.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

const std::string DataDir = SOURCE_DIR "/data/";

// The plan of a command line; the test fails when it is refused.
RunPlan planOf(const std::vector<std::string> &args) {
    StarterOptions options;
    RunPlan plan;
    std::string error;
    EXPECT_TRUE(parseCommandLine(args, DataDir, options, error) && buildRunPlan(options, DataDir, plan, error))
        << error;
    return plan;
}

// The files of a plan as "input > output + score" (without "+ score" when there is none), or
// "input > score (no MIDI)" when only the score is written.
std::vector<std::string> filesOf(const RunPlan &plan) {
    std::vector<std::string> out;
    for (const FilePlan &f : plan.files)
        out.push_back(f.input + " > " + (!f.keepMidi ? f.scoreOutput + " (no MIDI)"
                                         : f.output + (f.scoreOutput.empty() ? "" : " + " + f.scoreOutput)));
    return out;
}

}  // namespace

TEST(RunPlanOf, TheDefaultsFollowTheBeatsOfTheWholeFile) {
    RunPlan p = planOf({"song.wav"});
    EXPECT_EQ(filesOf(p), (std::vector<std::string>{"song.wav > song.mid"}));
    EXPECT_EQ(p.tempoChoice, TempoChoice::Track);
    EXPECT_EQ(p.tempo, 120);
    EXPECT_EQ(p.region.start, 0);
    EXPECT_EQ(p.region.end, 0);
    EXPECT_EQ(p.grid, 4);
    EXPECT_EQ(p.key.signature, 8);
    EXPECT_TRUE(p.key.detect);
    EXPECT_FALSE(p.key.constrained);
    EXPECT_EQ(p.instrument, -1);
    EXPECT_FALSE(p.beatsOnly || p.raw || p.quantize || p.force);
    EXPECT_EQ(p.jobs, coreCount());
    EXPECT_EQ(p.dataDir, DataDir);
    EXPECT_EQ(p.protectedPaths, (std::vector<std::string>{"song.wav"}));
    EXPECT_EQ(settingsText(p.asked), "VirtualSR=11025\nResolution=4\n");
}

TEST(RunPlanOf, OptionsBecomeThePlansValues) {
    RunPlan p = planOf({"--tempo", "66", "-o", "p.mid", "--musicxml", "p.musicxml", "--key", "Em", "--scale-only",
                        "--grid", "8th", "--start", "2", "--end", "9.5", "--filter", "19", "--raw", "-j", "3",
                        "--force", "p.wav"});
    EXPECT_EQ(filesOf(p), (std::vector<std::string>{"p.wav > p.mid + p.musicxml"}));
    EXPECT_EQ(p.tempoChoice, TempoChoice::Given);
    EXPECT_EQ(p.tempo, 66);
    EXPECT_EQ(p.region.start, 2);
    EXPECT_EQ(p.region.end, 9.5);
    EXPECT_EQ(p.grid, 3);
    EXPECT_EQ(p.key.signature, 1);
    EXPECT_EQ(p.key.mode, 1);
    EXPECT_TRUE(p.key.constrained);
    EXPECT_FALSE(p.key.detect);
    EXPECT_EQ(p.instrument, 19);
    EXPECT_TRUE(p.raw && p.force);
    EXPECT_EQ(p.jobs, 3);
}

TEST(RunPlanOf, ATempoMapIsFollowedAtItsMedianTempo) {
    ScratchDir dir;
    std::string map = dir.path + "beats.map";
    ASSERT_TRUE(writeTempoMap(map, {400, 400, 500, TempoMapEnd}));
    RunPlan p = planOf({"--tempo-map", map, "--format", "musicxml", "a.wav", "b.wav"});
    EXPECT_EQ(filesOf(p), (std::vector<std::string>{"a.wav > a.musicxml (no MIDI)", "b.wav > b.musicxml (no MIDI)"}));
    EXPECT_EQ(p.tempoChoice, TempoChoice::Map);
    EXPECT_EQ(p.tempoMap, map);
    EXPECT_EQ(p.tempo, 150);
    EXPECT_EQ(p.protectedPaths, (std::vector<std::string>{"a.wav", "b.wav", map}));
}

TEST(RunPlanOf, ASettingsFileMayNameTheFilesButThePlansSettingsHoldNoPaths) {
    ScratchDir dir;
    writeText(dir.path + "run.txt", "WaveFile=take.wav\nMidiFile=take-notes.mid\nEntireWave=1\nStartPoint=4\n");
    RunPlan p = planOf({"--settings", dir.path + "run.txt", "--beats"});
    EXPECT_EQ(filesOf(p), (std::vector<std::string>{"take.wav > take-notes.mid"}));
    EXPECT_TRUE(p.beatsOnly);
    EXPECT_EQ(p.region.start, 0) << "the whole file, whatever StartPoint says";
    EXPECT_FALSE(hasSetting(p.asked, "WaveFile") || hasSetting(p.asked, "MidiFile"));

    // The stages take the engine's own reading: a value it ignores leaves its default.
    writeText(dir.path + "keys.txt", "AutoDetectKey=\nKeySignature=\nTimeSignatureDenominator=3\n");
    p = planOf({"--settings", dir.path + "keys.txt", "a.wav"});
    EXPECT_TRUE(p.key.detect);
    EXPECT_EQ(p.key.signature, 8);
    EXPECT_TRUE(p.metreGiven);
    EXPECT_EQ(p.engine.TimeSignatureDenominator, 3);
    EXPECT_EQ(p.engine.TimeSignatureNumerator, 4);

    p = planOf({"-"});
    EXPECT_EQ(filesOf(p), (std::vector<std::string>{"- > stdin.mid"}));
    EXPECT_TRUE(p.protectedPaths.empty()) << "standard input names no file";
}

TEST(RunPlanOf, ATempoMapGivenBySetOrTheSettingsFileIsNeverAnOutput) {
    ScratchDir dir;
    std::string map = dir.path + "beats.map";
    ASSERT_TRUE(writeTempoMap(map, {400, 400, TempoMapEnd}));
    writeText(dir.path + "job.txt", "TempoFile=" + map + "\n");
    RunPlan p = planOf({"--set", "TempoFile=" + map, "a.wav"});
    EXPECT_EQ(p.protectedPaths, (std::vector<std::string>{"a.wav", map}));
    p = planOf({"--settings", dir.path + "job.txt", "a.wav"});
    EXPECT_EQ(p.protectedPaths, (std::vector<std::string>{"a.wav", map, dir.path + "job.txt"}));
}

// The report is appended to: naming an input would change it, and naming an output would make
// that output fail as existing, or replace the report with --force.
TEST(RunPlanOf, TheReportNamesNoFileOfTheRun) {
    ScratchDir dir;
    const std::string d = dir.path;
    writeText(d + "a.wav", "");
    writeText(d + "job.txt", "Tempo=90\n");
    fs::create_directory(d + "out");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--report", d + "a.wav", d + "a.wav"},
             {"--report", d + "./a.wav", d + "a.wav"},
             {"--report", d + "a.mid", d + "a.wav"},
             {"--report", d + "a.csv", "--notes", d + "a.csv", d + "a.wav"},
             {"--report", d + "a.musicxml", "--format", "both", d + "a.wav"},
             {"--report", d + "job.txt", "--settings", d + "job.txt", d + "a.wav"},
             {"--report", d + "out/b.mid", "-o", d + "out", d + "a.wav", d + "b.wav"}}) {
        StarterOptions options;
        RunPlan plan;
        std::string error;
        ASSERT_TRUE(parseCommandLine(args, DataDir, options, error)) << args[1] << ": " << error;
        EXPECT_FALSE(buildRunPlan(options, DataDir, plan, error)) << args[1];
        EXPECT_NE(error.find("give the report a name of its own"), std::string::npos) << args[1] << ": " << error;
    }
    RunPlan p = planOf({"--report", d + "report.jsonl", "-o", d + "out", d + "a.wav", d + "b.wav"});
    EXPECT_EQ(p.reportPath, d + "report.jsonl");
}

// The same input twice (a shell glob and a name, two spellings) is said as such; two files that
// would be written to one output are said as that.
TEST(RunPlanOf, TwoInputsForOneOutputAreRefusedWithTheirReason) {
    ScratchDir dir;
    const std::string d = dir.path;
    writeText(d + "a.wav", "");
    writeText(d + "a.flac", "");
    struct Case {
        std::vector<std::string> args;
        std::string words;
    };
    for (const Case &c : std::vector<Case>{{{d + "a.wav", d + "a.wav"}, "a.wav is given twice"},
                                           {{d + "a.wav", d + "./a.wav"}, "are the same file"},
                                           {{d + "a.wav", d + "a.flac"}, "Two inputs would both be written to"}}) {
        StarterOptions options;
        RunPlan plan;
        std::string error;
        ASSERT_TRUE(parseCommandLine(c.args, DataDir, options, error)) << error;
        EXPECT_FALSE(buildRunPlan(options, DataDir, plan, error)) << c.words;
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
    }
}

// --beats lists the beats found; with a tempo or a tempo map none are looked for, from any layer.
TEST(RunPlanOf, BeatsWithAGivenTempoOrMapAreRefused) {
    ScratchDir dir;
    std::string map = dir.path + "beats.map";
    ASSERT_TRUE(writeTempoMap(map, {500, 500, TempoMapEnd}));
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--beats", "--tempo", "100", "a.wav"},
             {"--beats", "--tempo-map", map, "a.wav"},
             {"--beats", "--set", "Tempo=90", "a.wav"}}) {
        StarterOptions options;
        RunPlan plan;
        std::string error;
        ASSERT_TRUE(parseCommandLine(args, DataDir, options, error)) << error;
        EXPECT_FALSE(buildRunPlan(options, DataDir, plan, error)) << args[1];
        EXPECT_NE(error.find("--beats lists the beats found"), std::string::npos) << error;
    }
    RunPlan p = planOf({"--beats", "--time-signature", "3/4", "--start", "2", "a.wav"});
    EXPECT_TRUE(p.beatsOnly);
    EXPECT_EQ(p.tempoChoice, TempoChoice::Track);
}
