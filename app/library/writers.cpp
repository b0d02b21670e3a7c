// Writing a transcription: its MIDI file as the command writes it, and its score
// made from that file as the command makes it.
#include <fstream>

#include "app/library/library.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/score/score_file.h"

namespace {

// The error of an output that could not be written, in the command's words.
sonoscriptor::Error notWritten(FailureKind kind, const std::string &path, const std::string &cause) {
    Outcome outcome = outcomeOf(failureOf(kind, path, cause));
    return sonoscriptor::Error(sonoscriptor::ErrorKind::WriteFailed, outcome.message, "sonoscriptor: " + outcome.message);
}

}  // namespace

namespace sonoscriptor {

void write_midi(const Transcription &transcription, const std::string &path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(transcription.midi_file.data()),
              static_cast<std::streamsize>(transcription.midi_file.size()));
    out.close();
    if (!out)
        throw notWritten(FailureKind::OutputNotWritten, path, "");
}

void write_musicxml(const Transcription &transcription, const std::string &path) {
    MidiContent midi;
    std::string error;
    if (!parseMidi(transcription.midi_file, midi, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
    ScoreRequest request{transcription.title, transcription.grid, isCompressedScoreName(path)};
    if (!writeScoreFile(midi, request, path, error))
        throw notWritten(FailureKind::ScoreNotWritten, path, error);
}

}  // namespace sonoscriptor
