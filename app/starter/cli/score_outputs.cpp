// Which files a run writes: the MIDI file, the score, or both.
//
// -o FILE ending in .musicxml, .xml or .mxl writes only the score (with
// --format both, the MIDI file beside it too); --musicxml FILE adds a score to
// the MIDI file of one input; --format chooses for names made from the inputs.
// A MIDI input has one output, its score: named with -o or --musicxml, or made
// from its name.
#include "app/starter/cli/run_plan.h"

#include "app/starter/cli/failures.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string withExtension(const std::string &path, const char *ext) {
    return fs::path(path).replace_extension(ext).string();
}

bool sameName(const std::string &a, const std::string &b) {
    return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
}

// The outputs of one input whose output was named with -o.
bool planNamed(FilePlan &file, const ScoreChoice &choice, std::string &error) {
    if (isScoreFileName(file.output)) {
        if (choice.format == "midi" || !choice.musicxml.empty()) {
            error = "-o " + file.output + " names a MusicXML file; drop --format midi and --musicxml, or name a "
                    ".mid file with -o.";
            return false;
        }
        file.scoreOutput = file.output;
        file.keepMidi = choice.format == "both";
        if (file.keepMidi)
            file.output = withExtension(file.output, ".mid");
        return true;
    }
    if (choice.format == "musicxml") {
        error = "-o " + file.output + " names a MIDI file, but --format musicxml asks for a score only; name a "
                ".musicxml file with -o.";
        return false;
    }
    if (choice.format == "both" && file.output == "-") {
        error = "-o - writes one file to standard output, but --format both asks for two; name a file with -o, "
                "or add the score with --musicxml FILE.";
        return false;
    }
    file.scoreOutput = !choice.musicxml.empty() ? choice.musicxml
                       : choice.format == "both" ? withExtension(file.output, ".musicxml")
                                                 : "";
    return true;
}

// The outputs of one input whose output name is made from its input.
void planDefault(FilePlan &file, const ScoreChoice &choice) {
    if (!choice.musicxml.empty())
        file.scoreOutput = choice.musicxml;
    else if (choice.format == "musicxml" || choice.format == "both")
        file.scoreOutput = withExtension(file.output, ".musicxml");
    if (choice.format == "musicxml") {
        file.output = file.scoreOutput;
        file.keepMidi = false;
    }
}

// The output of a MIDI input: its score alone. A MIDI file or a score beside one is refused, as
// there is nothing to transcribe.
bool planMidiScore(FilePlan &file, bool named, const ScoreChoice &choice, std::string &error) {
    if (choice.format == "midi" || choice.format == "both") {
        error = midiOutputSentence(file.input, "--format " + choice.format);
        return false;
    }
    if (named && isMidiFileName(file.output)) {
        error = midiOutputSentence(file.input, "-o " + file.output);
        return false;
    }
    if (named && !choice.musicxml.empty()) {
        error = "-o and --musicxml both name the score of " + file.input + "; give one of them.";
        return false;
    }
    if (!choice.musicxml.empty())
        file.output = choice.musicxml;
    file.scoreOutput = file.output;
    file.keepMidi = false;
    return true;
}

}  // namespace

bool planScoreOutputs(std::vector<FilePlan> &files, const std::string &output, const ScoreChoice &choice,
                      std::string &error) {
    if (!choice.musicxml.empty() && !choice.format.empty()) {
        error = "Give either --musicxml FILE or --format, not both.";
        return false;
    }
    if (!choice.musicxml.empty() && files.size() > 1) {
        error = "--musicxml names the score of one input; with several inputs use --format musicxml or both.";
        return false;
    }
    std::error_code ec;
    bool named = !output.empty() && !fs::is_directory(output, ec) && output.back() != '/';
    for (FilePlan &file : files) {
        if (file.midiInput) {
            if (!planMidiScore(file, named, choice, error))
                return false;
            continue;
        }
        if (named && !planNamed(file, choice, error))
            return false;
        if (!named)
            planDefault(file, choice);
        if (file.keepMidi && !file.scoreOutput.empty() && sameName(file.output, file.scoreOutput)) {
            error = "The score and the MIDI file would both be written to " + file.output + "; give the score "
                    "another name.";
            return false;
        }
    }
    return true;
}
