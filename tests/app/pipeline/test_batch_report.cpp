// Batches at scale: --skip-existing takes only outputs that are in place and
// whole, and --report appends one JSON line per input as it ends (and says so
// when a line cannot be written).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "app/starter/pipeline/report.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// The JSON lines of a report, each parsed (a line that is not JSON fails the test).
std::vector<nlohmann::json> reportLines(const std::string &path) {
    std::istringstream text(fileText(path));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(text, line);) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        lines.push_back(j);
    }
    return lines;
}

// The line of an input in a report, null when there is none.
nlohmann::json lineOf(const std::vector<nlohmann::json> &lines, const std::string &input) {
    for (const nlohmann::json &j : lines)
        if (j.value("input", "") == input)
            return j;
    return nullptr;
}

// A file plan writing output and, when given, score for input.
FilePlan planOf(const std::string &output, const std::string &score = "") {
    FilePlan f;
    f.input = "in.wav";
    f.output = output;
    f.scoreOutput = score;
    return f;
}

}  // namespace

// Whole outputs are those the starter placed; cut ones (a copy that failed, another program's
// file) and anything not a regular file are not.
TEST(BatchSkip, CompleteOutputsOnly) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "tune.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 4.5));
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "--format", "both", "tune.wav"},
                                 dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "--musicxml", "tune.mxl", "-o", "t2.mid", "tune.wav"},
                   dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string midi = fileText(dir.path + "tune.mid"), xml = fileText(dir.path + "tune.musicxml"),
                mxl = fileText(dir.path + "tune.mxl");
    EXPECT_TRUE(outputsComplete(planOf(dir.path + "tune.mid", dir.path + "tune.musicxml")));
    EXPECT_TRUE(outputsComplete(planOf(dir.path + "t2.mid", dir.path + "tune.mxl")));
    writeText(dir.path + "cut.mid", midi.substr(0, midi.size() - 10));
    writeText(dir.path + "cut.musicxml", xml.substr(0, xml.size() / 2));
    writeText(dir.path + "cut.mxl", mxl.substr(0, mxl.size() - 30));
    EXPECT_FALSE(outputsComplete(planOf(dir.path + "cut.mid")));
    EXPECT_FALSE(outputsComplete(planOf(dir.path + "tune.mid", dir.path + "cut.musicxml")));
    EXPECT_FALSE(outputsComplete(planOf(dir.path + "tune.mid", dir.path + "cut.mxl")));
    EXPECT_FALSE(outputsComplete(planOf(dir.path + "tune.mid", dir.path + "missing.musicxml")));
    // A note list is an output too: missing or cut, the input is not skipped.
    r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "-o", "t3.mid", "--notes", "t3.csv", "tune.wav"},
                   dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    r = runStarter({"--engine", ENGINE_PATH, "--tempo", "120", "-o", "t4.mid", "--notes", "t4.json", "tune.wav"},
                   dir.path, {"TMPDIR=" + dir.path});
    ASSERT_EQ(r.code, 0) << r.err;
    FilePlan listed = planOf(dir.path + "t3.mid");
    listed.notesOutput = dir.path + "t3.csv";
    EXPECT_TRUE(outputsComplete(listed));
    EXPECT_EQ(plannedOutputs(listed), (std::vector<std::string>{dir.path + "t3.mid", dir.path + "t3.csv"}));
    listed.notesOutput = dir.path + "t4.json";
    EXPECT_TRUE(outputsComplete(listed));
    const std::string csv = fileText(dir.path + "t3.csv"), json = fileText(dir.path + "t4.json");
    writeText(dir.path + "cut.csv", csv.substr(0, csv.size() - 7));
    writeText(dir.path + "cut.json", json.substr(0, json.size() / 2));
    for (const char *name : {"missing.csv", "cut.csv", "cut.json"}) {
        listed.notesOutput = dir.path + name;
        EXPECT_FALSE(outputsComplete(listed)) << name;
    }
    fs::create_symlink(dir.path + "tune.mid", dir.path + "link.mid");
    EXPECT_FALSE(outputsComplete(planOf(dir.path + "link.mid")));
    EXPECT_FALSE(outputsComplete(planOf("-")));
}

// A second run skips what the first wrote and says so; a cut output is not skipped (and, as ever,
// not replaced without --force); every input that ended has its line, the bad one with its kind.
TEST(BatchSkip, SkipsAndReports) {
    ScratchDir dir;
    for (const char *name : {"a.wav", "b.wav"})
        ASSERT_TRUE(writeTones(dir.path + name, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 4.5));
    writeText(dir.path + "bad.wav", "not audio");
    std::vector<std::string> run = {"--engine", ENGINE_PATH, "--tempo", "120", "-q", "--report", "r.jsonl"};
    std::vector<std::string> first = run;
    first.insert(first.end(), {"a.wav", "bad.wav"});
    CommandResult r = runStarter(first, dir.path, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.code, 4) << r.err;
    std::vector<nlohmann::json> lines = reportLines(dir.path + "r.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    nlohmann::json a = lineOf(lines, "a.wav"), bad = lineOf(lines, "bad.wav");
    EXPECT_EQ(a["exit_kind"], "done");
    EXPECT_EQ(a["outputs"], nlohmann::json::array({"a.mid"}));
    EXPECT_GT(a["notes"].get<int>(), 0);
    EXPECT_NEAR(a["audio_seconds"].get<double>(), 4.5, 0.1);
    EXPECT_GT(a["seconds"].get<double>(), 0);
    EXPECT_NE(a["sentence"].get<std::string>().find("a.wav -> a.mid"), std::string::npos);
    EXPECT_EQ(bad["exit_code"], 4);
    EXPECT_EQ(bad["exit_kind"], "unsupported");
    EXPECT_TRUE(bad["notes"].is_null());
    EXPECT_EQ(bad["outputs"], nlohmann::json::array());
    EXPECT_FALSE(bad["sentence"].get<std::string>().empty());

    std::string written = fileText(dir.path + "a.mid");
    writeText(dir.path + "b.mid", written.substr(0, written.size() / 2));
    std::vector<std::string> second = run;
    second.insert(second.end(), {"--skip-existing", "a.wav", "b.wav"});
    r = runStarter(second, dir.path, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.code, 3) << r.err;  // b.mid is cut: not skipped, and not replaced without --force
    EXPECT_NE(r.out.find("a.wav: skipped; a.mid is already in place"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("b.mid exists, but the input's outputs are not all in place and whole"), std::string::npos)
        << r.err;
    lines = reportLines(dir.path + "r.jsonl");
    ASSERT_EQ(lines.size(), 4u);  // appended, each input's line as it ends
    std::vector<nlohmann::json> appended(lines.begin() + 2, lines.end());
    EXPECT_EQ(lineOf(appended, "a.wav")["exit_kind"], "skipped");
    EXPECT_EQ(lineOf(appended, "b.wav")["exit_kind"], "cannot-open");
    // --beats writes nothing: an existing MIDI file is no reason to skip it.
    r = runStarter({"--engine", ENGINE_PATH, "--beats", "--skip-existing", "a.wav"}, dir.path, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.out.find("skipped"), std::string::npos) << r.out;
    second.insert(second.begin(), "--force");
    r = runStarter(second, dir.path, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(fileText(dir.path + "b.mid"), written);
}

TEST(BatchSkip, RefusesAReportItCannotWrite) {
    ScratchDir dir;
    CommandResult r = runStarter({"--report", "/nonexistent/r.jsonl", "x.wav"}, dir.path);
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("--report takes"), std::string::npos) << r.err;
}

// A line that cannot be written (a full device) is kept as the report's failure, not lost unsaid.
TEST(BatchReport, ALineThatCannotBeWrittenIsKept) {
    ReportFile report;
    std::string error;
    ASSERT_TRUE(openReport(report, "/dev/full", error)) << error;
    Job job{planOf("in.mid"), "", {}, {}, 0};
    appendReport(report, job);
    closeReport(report);
    EXPECT_EQ(report.failure, std::strerror(ENOSPC));
}

// Past a file-size limit the report loses lines: the run says so at the end, and its exit code
// is that of a failed write although every file was transcribed.
TEST(BatchReport, LinesLostToAFileSizeLimitFailTheRun) {
    ScratchDir dir;
    std::vector<std::string> args = {STARTER_PATH, "--engine", ENGINE_PATH, "--tempo", "120", "-q", "--report",
                                      "r.jsonl"};
    for (const char *name : {"a.wav", "b.wav", "c.wav", "d.wav"}) {
        ASSERT_TRUE(writeTones(dir.path + name, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 2.0));
        args.push_back(name);
    }
    Launch launch;
    launch.args = args;
    launch.env = {"TMPDIR=" + dir.path};
    launch.dir = dir.path;
    launch.fileSizeLimit = 1024;  // the MIDI files fit, the report's lines do not all
    CommandResult r = waitCommandFor(spawnProcess(launch), 120);
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("The report r.jsonl could not be written whole"), std::string::npos) << r.err;
    for (const char *name : {"a.mid", "b.mid", "c.mid", "d.mid"})
        EXPECT_TRUE(fs::exists(dir.path + name)) << name;
}
