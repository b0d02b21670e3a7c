// The conversion: audio the engine cannot read as it is becomes a 44100 Hz
// 16-bit PCM WAV in the private folder.
#include "app/starter/pipeline/stages.h"

Staged<EngineAudio> stageConvert(const Workspace &workspace) {
    Staged<EngineAudio> r;
    EngineAudio &audio = r.value;
    audio.wave = workspace.source;
    if (workspace.audio.readableAsIs)
        return r;
    audio.wave = workspace.tempDir + "audio.wav";
    std::string cause;
    switch (convertForEngine(workspace.source, audio.wave, stopFlag(), cause, &audio.nonFiniteSamples)) {
    case Conversion::Done:  // the conversion's header is written after its last sample
        audio.converted = true;
        audio.decodedSeconds = dataSeconds(readWaveFileHeader(audio.wave));
        break;
    case Conversion::Stopped: r.failure = interrupted(); break;
    case Conversion::WriteFailed: r.failure = failureOf(FailureKind::ConversionNotWritten); break;
    case Conversion::Undecodable: r.failure = failureOf(FailureKind::Undecodable, workspace.source, cause); break;
    case Conversion::Unresampled: r.failure = failureOf(FailureKind::Unresampled, workspace.source, cause); break;
    }
    return r;
}
