// The conversion: audio the engine cannot read as it is becomes a 44100 Hz
// 16-bit PCM WAV in the private folder.
#include "app/starter/pipeline/stages.h"

namespace {

// Seconds of audio in the converted WAV file (its header is written after the last sample).
double decodedSeconds(const std::string &wave) {
    WaveHeader h = readWaveFileHeader(wave);
    int64_t frameBytes = static_cast<int64_t>(h.channels) * (h.bits / 8);
    return h.rate > 0 && frameBytes > 0 ? static_cast<double>(h.chunkDataSize) / frameBytes / h.rate : 0;
}

}  // namespace

Staged<EngineAudio> stageConvert(const Workspace &workspace) {
    Staged<EngineAudio> r;
    EngineAudio &audio = r.value;
    audio.wave = workspace.source;
    if (workspace.audio.readableAsIs)
        return r;
    audio.wave = workspace.tempDir + "audio.wav";
    std::string cause;
    switch (convertForEngine(workspace.source, audio.wave, stopFlag(), cause, &audio.nonFiniteSamples)) {
    case Conversion::Done: audio.converted = true; audio.decodedSeconds = decodedSeconds(audio.wave); break;
    case Conversion::Stopped: r.failure = interrupted(); break;
    case Conversion::WriteFailed: r.failure = failureOf(FailureKind::ConversionNotWritten); break;
    case Conversion::Undecodable: r.failure = failureOf(FailureKind::Undecodable, workspace.source, cause); break;
    case Conversion::Unresampled: r.failure = failureOf(FailureKind::Unresampled, workspace.source, cause); break;
    }
    return r;
}
