// Writing a transcription: its MIDI file as the command writes it, and its score
// made from that file as the command makes it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/library/library.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/score/score_file.h"

namespace fs = std::filesystem;

namespace {

// The error of an output that could not be written, in the command's words.
sonoscriptor::Error notWritten(FailureKind kind, const std::string &path, const std::string &cause) {
    Outcome outcome = outcomeOf(failureOf(kind, path, cause));
    return sonoscriptor::Error(sonoscriptor::ErrorKind::WriteFailed, outcome.message, "sonoscriptor: " + outcome.message);
}

// Why no file can be written at path, as far as its name and its folder tell: no name, a folder,
// or a folder that does not exist; "" when they tell nothing.
std::string placeFault(const std::string &path) {
    std::error_code ec;
    fs::path folder = fs::path(path).parent_path();
    if (path.empty())
        return "no file name was given";
    if (fs::is_directory(path, ec))
        return "it is a folder";
    if (!folder.empty() && !fs::is_directory(folder, ec))
        return "the folder " + folder.string() + " does not exist";
    return "";
}

// Writes bytes to path; false with the system's reason when it cannot.
bool writeBytes(const std::vector<std::uint8_t> &bytes, const std::string &path, std::string &cause) {
    FILE *out = std::fopen(path.c_str(), "wb");
    bool ok = out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    int error = errno;
    if (out && std::fclose(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok)
        cause = std::strerror(error);
    return ok;
}

}  // namespace

namespace sonoscriptor {

void write_midi(const Transcription &transcription, const std::string &path) {
    std::string cause = transcription.midi_file.empty() ? "the transcription holds no MIDI file" : placeFault(path);
    if (!cause.empty() || !writeBytes(transcription.midi_file, path, cause))
        throw notWritten(FailureKind::OutputNotWritten, path, cause);
}

void write_musicxml(const Transcription &transcription, const std::string &path) {
    MidiContent midi;
    std::string error = placeFault(path);
    if (!error.empty() || !parseMidi(transcription.midi_file, midi, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
    ScoreRequest request{transcription.title, transcription.grid, isCompressedScoreName(path)};
    if (!writeScoreFile(midi, request, path, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
}

}  // namespace sonoscriptor
