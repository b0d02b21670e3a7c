// Skipping inputs whose outputs are in place, and the JSON lines of --report.
#include "app/starter/pipeline/report.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/starter/cli/messages.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/notes/note_list.h"
#include "app/starter/score/score_file.h"

namespace {

// True when one output is a regular file in place that reads back whole: a MIDI file cut between
// two events parses, so its chunks must also reach their stated length and its tracks their end.
bool outputWhole(const std::string &path) {
    if (classifyOutput(path) != OutputTarget::File)
        return false;
    if (isScoreFileName(path))
        return scoreFileWhole(path);
    if (isNoteListName(path))
        return noteListWhole(path);
    MidiContent midi;
    std::string error;
    return readMidiFile(path, midi, error) && !midi.cutShort;
}

// A number for JSON: null when unknown (negative).
nlohmann::ordered_json known(double value) {
    return value < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(value);
}

}  // namespace

std::vector<std::string> plannedOutputs(const FilePlan &file) {
    std::vector<std::string> outputs;
    if (file.keepMidi)
        outputs.push_back(file.output);
    if (!file.scoreOutput.empty())
        outputs.push_back(file.scoreOutput);
    if (!file.notesOutput.empty())
        outputs.push_back(file.notesOutput);
    return outputs;
}

bool outputsComplete(const FilePlan &file) {
    for (const std::string &output : plannedOutputs(file))
        if (!outputWhole(output))
            return false;
    return true;
}

Outcome skippedOutcome(const FilePlan &file) {
    Outcome out{0, skippedSentence(file.input, plannedOutputs(file)), OutcomeKind::Summary, false};
    out.skipped = true;
    return out;
}

bool openReport(ReportFile &report, const std::string &path, std::string &error) {
    report.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (report.fd < 0)
        error = std::strerror(errno);
    return report.fd >= 0;
}

std::string reportLine(const Job &job) {
    const Outcome &out = job.outcome;
    bool written = !out.skipped && out.kind == OutcomeKind::Summary && out.code <= 1;
    nlohmann::ordered_json line = {
        {"input", job.file.input},
        {"outputs", written || out.skipped ? plannedOutputs(job.file) : std::vector<std::string>{}},
        {"exit_code", out.code},
        {"exit_kind", out.skipped ? "skipped" : exitKindWord(out.code)},
        {"sentence", out.message},
        {"notes", out.notes < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(out.notes)},
        {"audio_seconds", known(out.audioSeconds)},
        {"seconds", job.seconds},
    };
    // A name's bytes that are not UTF-8 become the replacement character.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void appendReport(ReportFile &report, const Job &job) {
    if (report.fd < 0)
        return;
    std::string line = reportLine(job);
    std::lock_guard<std::mutex> guard(report.lock);
    // One write of the whole line; after a short write (a full disk) the rest is tried once, and a
    // failure is kept, so that the run can say its report is not whole.
    ssize_t n = write(report.fd, line.data(), line.size());
    if (n >= 0 && static_cast<size_t>(n) < line.size())
        n = write(report.fd, line.data() + n, line.size() - static_cast<size_t>(n));
    if (n < 0 && report.failure.empty())
        report.failure = std::strerror(errno);
}

void closeReport(ReportFile &report) {
    if (report.fd >= 0)
        close(report.fd);
    report.fd = -1;
}
