// The conversion: audio the engine cannot read as it is becomes a 44100 Hz
// 16-bit PCM WAV in the private folder.
#include "app/starter/pipeline/pipeline.h"

#include "app/starter/cli/exit_code.h"

bool stageConvert(Job &job) {
    job.audio.wave = job.workspace.source;
    if (job.workspace.audio.readableAsIs)
        return true;
    job.audio.wave = job.workspace.tempDir + "audio.wav";
    std::string error;
    if (convertForEngine(job.workspace.source, job.audio.wave, &stopRequested, error, &job.audio.nonFiniteSamples)) {
        job.audio.converted = true;
        return true;
    }
    if (stopRequested)
        failInterrupted(job);
    else
        failJob(job, exitStatus(ExitCode::Unsupported), "The file " + error + "; export it as a WAV, FLAC or Ogg file.");
    return false;
}
