// Writing a transcription: its MIDI file as the command writes it, and its score
// made from that file as the command makes it; each file takes its name only once
// it is whole, as the command's outputs do.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include <unistd.h>

#include "app/library/library.h"
#include "app/starter/files/regular_file.h"
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
    if (classifyOutput(path) == OutputTarget::Unwritable)
        return "it is a socket or a block device, which is never replaced";
    if (!folder.empty() && !fs::is_directory(folder, ec))
        return "the folder " + folder.string() + " does not exist";
    return "";
}

// A name for a new file beside path, hidden, that no other write uses.
std::string partialName(const std::string &path) {
    static std::atomic<unsigned> count{0};
    fs::path target(path);
    std::string name = ".";
    name.append(target.filename().string()).append(".partial-").append(std::to_string(getpid()));
    name.append("-").append(std::to_string(count.fetch_add(1)));
    return (target.parent_path() / name).string();
}

// Writes the file at path with write(name, cause): straight into a pipe or a device; else into a
// new file beside it that then takes its name, so that a write that fails (a full disk) leaves what
// was at path as it was, and nothing else. False with the cause when it fails.
bool writeInPlace(const std::string &path, const std::function<bool(const std::string &, std::string &)> &write,
                  std::string &cause) {
    OutputTarget kind = classifyOutput(path);
    if (kind == OutputTarget::Stream || kind == OutputTarget::StandardOutput)
        return write(path, cause);
    std::string partial = partialName(path);
    bool ok = write(partial, cause);
    if (ok && !moveFile(partial, path, true)) {
        ok = false;
        cause = std::strerror(errno);
    }
    std::error_code ec;
    if (!ok)
        fs::remove(partial, ec);
    return ok;
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
    auto write = [&](const std::string &name, std::string &why) { return writeBytes(transcription.midi_file, name, why); };
    if (!cause.empty() || !writeInPlace(path, write, cause))
        throw notWritten(FailureKind::OutputNotWritten, path, cause);
}

void write_musicxml(const Transcription &transcription, const std::string &path) {
    MidiContent midi;
    std::string error = placeFault(path);
    if (!error.empty() || !parseMidi(transcription.midi_file, midi, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
    ScoreRequest request{transcription.title, transcription.grid, isCompressedScoreName(path)};
    auto write = [&](const std::string &name, std::string &why) { return writeScoreFile(midi, request, name, why); };
    if (!writeInPlace(path, write, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
}

}  // namespace sonoscriptor
