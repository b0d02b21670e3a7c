// The conversion: audio the engine cannot read as it is becomes a 44100 Hz
// 16-bit PCM WAV in the private folder.
#include "app/starter/pipeline/stages.h"

#include "app/starter/protocol/exit_code.h"

bool stageConvert(Job &job) {
    job.audio.wave = job.workspace.source;
    if (job.workspace.audio.readableAsIs)
        return true;
    job.audio.wave = job.workspace.tempDir + "audio.wav";
    std::string error;
    switch (convertForEngine(job.workspace.source, job.audio.wave, &stopRequested, error,
                             &job.audio.nonFiniteSamples)) {
    case Conversion::Done:
        job.audio.converted = true;
        return true;
    case Conversion::Stopped:
        failInterrupted(job);
        break;
    case Conversion::WriteFailed:
        failJob(job, exitStatus(ExitCode::WriteFailed), "The converted audio could not be written to the temporary "
                "folder; make sure TMPDIR (or /tmp) is not full and no file-size limit (ulimit -f) stops it.");
        break;
    case Conversion::Undecodable:
        failJob(job, exitStatus(ExitCode::Unsupported), "The file " + error + "; export it as a WAV, FLAC or Ogg file.");
        break;
    }
    return false;
}
