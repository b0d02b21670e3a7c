// Which files a run writes: the MIDI file, the score, or both.
//
// -o FILE ending in .musicxml, .xml or .mxl writes only the score (with
// --format both, the MIDI file beside it too); --musicxml FILE adds a score to
// the MIDI file of one input; --format chooses for names made from the inputs.
#include "app/starter/pipeline/pipeline.h"

#include <filesystem>

#include "app/starter/score/score_file.h"

namespace fs = std::filesystem;

namespace {

std::string withExtension(const std::string &path, const char *ext) {
    return fs::path(path).replace_extension(ext).string();
}

bool sameName(const std::string &a, const std::string &b) {
    return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
}

// The outputs of one job whose output was named with -o.
bool planNamed(Job &job, const ScoreChoice &choice, std::string &error) {
    if (isScoreFileName(job.output)) {
        if (choice.format == "midi" || !choice.musicxml.empty()) {
            error = "-o " + job.output + " names a MusicXML file; drop --format midi and --musicxml, or name a "
                    ".mid file with -o.";
            return false;
        }
        job.scoreOutput = job.output;
        job.keepMidi = choice.format == "both";
        if (job.keepMidi)
            job.output = withExtension(job.output, ".mid");
        return true;
    }
    if (choice.format == "musicxml") {
        error = "-o " + job.output + " names a MIDI file, but --format musicxml asks for a score only; name a "
                ".musicxml file with -o.";
        return false;
    }
    if (choice.format == "both" && job.output == "-") {
        error = "-o - writes one file to standard output, but --format both asks for two; name a file with -o, "
                "or add the score with --musicxml FILE.";
        return false;
    }
    job.scoreOutput = !choice.musicxml.empty() ? choice.musicxml
                      : choice.format == "both" ? withExtension(job.output, ".musicxml")
                                                : "";
    return true;
}

// The outputs of one job whose output name is made from its input.
void planDefault(Job &job, const ScoreChoice &choice) {
    if (!choice.musicxml.empty())
        job.scoreOutput = choice.musicxml;
    else if (choice.format == "musicxml" || choice.format == "both")
        job.scoreOutput = withExtension(job.output, ".musicxml");
    if (choice.format == "musicxml") {
        job.output = job.scoreOutput;
        job.keepMidi = false;
    }
}

}  // namespace

bool planScoreOutputs(std::vector<Job> &jobs, const std::string &output, const ScoreChoice &choice,
                      std::string &error) {
    if (!choice.musicxml.empty() && !choice.format.empty()) {
        error = "Give either --musicxml FILE or --format, not both.";
        return false;
    }
    if (!choice.musicxml.empty() && jobs.size() > 1) {
        error = "--musicxml names the score of one input; with several inputs use --format musicxml or both.";
        return false;
    }
    std::error_code ec;
    bool named = !output.empty() && !fs::is_directory(output, ec) && output.back() != '/';
    for (Job &job : jobs) {
        if (named && !planNamed(job, choice, error))
            return false;
        if (!named)
            planDefault(job, choice);
        if (job.keepMidi && !job.scoreOutput.empty() && sameName(job.output, job.scoreOutput)) {
            error = "The score and the MIDI file would both be written to " + job.output + "; give the score "
                    "another name.";
            return false;
        }
    }
    return true;
}
