// What each kind of failure says, and the exit code it ends with.
#include "app/starter/cli/failures.h"

#include "app/starter/audio/audio.h"
#include "app/starter/cli/messages.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/protocol/settings_check.h"
#include "app/starter/score/score_file.h"

namespace {

const std::string CheckEngine = "; check that --engine names sonoscriptor-engine.";
const std::string GiveAudio = "; give a WAV, FLAC or Ogg recording.";
const std::string ExportAudio = "; export it as a WAV, FLAC or Ogg file.";
const std::string OurFault = "; this is a fault of sonoscriptor, not of the file: please report it with the recording";

// The sentences of a file that cannot be read or written before any work is done.
std::string fileSentence(const Failure &f) {
    const std::string &s = f.subject, &o = f.option;
    switch (f.kind) {
    case FailureKind::NoSuchInput: return "The file does not exist; check its name.";
    case FailureKind::InputUnreachable: return "The file cannot be reached (" + f.cause + ").";
    case FailureKind::InputIsFolder: return "This is a folder, not an audio file; give the audio files inside it.";
    case FailureKind::InputUnreadable: return "The file cannot be read (" + f.cause + "); check its permissions.";
    case FailureKind::InputNotRegular:
        return "This is not a regular file (a pipe, a socket or a device); save the recording as a file first.";
    case FailureKind::StandardInputTerminal:
        return "Standard input is a terminal; pipe a recording into it, for example: cat song.flac | "
               "sonoscriptor - -o song.mid";
    case FailureKind::StandardInputUnread:
        return "Standard input could not be read into the temporary folder; make sure it is not full.";
    case FailureKind::AudioUnreadable: return "The file cannot be read" + GiveAudio;
    case FailureKind::NotAudio: return "The file is not audio that can be read (" + f.cause + ")" + GiveAudio;
    case FailureKind::NoAudio: return "The file holds no audio" + GiveAudio;
    case FailureKind::ImplausibleRate:
        return "The file claims a sample rate of " + std::to_string(f.number) + " Hz, outside the " +
               std::to_string(LowestInputRate) + " to " + std::to_string(HighestInputRate) +
               " Hz of real recordings (is its header damaged?)" + GiveAudio;
    case FailureKind::StartBeyondEnd:
        return "The start " + numberText(f.start) + " s lies beyond the end of the recording, which is " +
               durationText(f.length) + " long; give --start a time before its end.";
    case FailureKind::MidiUnreadable:
        return "The MIDI file cannot be read (" + f.cause + "); check that it is a Standard MIDI File, or export "
               "it again.";
    case FailureKind::OutputIsInput:
        return "The output " + s + " is one of the inputs; choose another name with " + o + ".";
    case FailureKind::OutputUnwritable:
        return "The output " + s + " is a socket or a block device, which is never replaced; choose a file name "
               "with " + o + ".";
    case FailureKind::OutputUnknownType:
        return "sonoscriptor writes no " + s + " file; name the output " + KnownOutputExtensions + ".";
    case FailureKind::OutputFolderMissing:
        return "The output folder " + s + " does not exist; create it or choose another with " + o + ".";
    case FailureKind::OutputIsFolder: return "The output " + s + " is a folder; choose a file name with " + o + ".";
    case FailureKind::OutputIsLink:
        return "The output " + s + " is a symbolic link; add --force to replace the link (what it leads to stays "
               "as it is), or choose another name with " + o + ".";
    case FailureKind::OutputExists:
        return "The output " + s + " already exists; add --force to replace it, or choose another name with " + o +
               ".";
    case FailureKind::OutputNotSkipped:
        return "The output " + s + " exists, but the input's outputs are not all in place and whole (one is cut "
               "short or missing), so --skip-existing does not skip it; add --force to replace it, or delete it.";
    case FailureKind::OutputFolderNotWritable:
        return "The output folder " + s + " is not writable; choose another with " + o + ".";
    default: return "";
    }
}

// The sentences of settings that would not reach the engine as written.
std::string settingsSentence(const Failure &f) {
    const std::string &key = f.subject;
    switch (f.kind) {
    case FailureKind::SettingsTooLong:
        return "The value of " + key + " is longer than the engine reads (254 characters to a line, the key "
               "included); shorten it.";
    case FailureKind::SettingsHoldKey:
        return "The value of " + key + " contains \"" + f.cause + "=\", so the engine would read it as " + f.cause +
               "; a value may not contain a settings key.";
    case FailureKind::SettingsHoldBreak:
        return "The value of " + key + " would not reach the engine as given (it holds a line break or a NUL "
               "character); give it without them.";
    case FailureKind::SettingsNotReadBack:
        return "The settings file could not be read back as it was written; make sure the temporary folder "
               "(TMPDIR) is not full.";
    case FailureKind::SettingsUnreadable:
        return "The settings file written for the engine cannot be read back (" + f.cause + "); make sure the "
               "temporary folder (TMPDIR) is writable.";
    default: return "";
    }
}

// The sentences of the work on a file: conversion, beats, the engine.
std::string workSentence(const Failure &f) {
    switch (f.kind) {
    case FailureKind::NoTempFolder:
        return "No temporary folder could be created; make sure TMPDIR (or /tmp) is writable and not full.";
    case FailureKind::ConversionNotWritten:
        return "The converted audio could not be written to the temporary folder; make sure TMPDIR (or /tmp) is "
               "not full and no file-size limit (ulimit -f) stops it.";
    case FailureKind::Undecodable: return "The file cannot be decoded (" + f.cause + ")" + ExportAudio;
    case FailureKind::Unresampled: return "The file cannot be resampled (" + f.cause + ")" + OurFault + ".";
    case FailureKind::BeatsUnreadable: return "The file cannot be read for its beats (" + f.cause + ")" + ExportAudio;
    case FailureKind::BeatsRegionUnreachable:
        return "The file cannot be read for its beats (the region cannot be reached)" + ExportAudio;
    case FailureKind::BeatTrackerSetUp:
        return "The file cannot be analysed for its beats (the beat tracker could not be set up)" + OurFault +
               ", or give the tempo with --tempo.";
    case FailureKind::BeatSpectrumSetUp:
        return "The file cannot be analysed for its beats (the spectrum could not be set up)" + OurFault +
               ", or give the tempo with --tempo.";
    case FailureKind::SettingsNotWritten:
        return "The engine's settings could not be written into the temporary folder; make sure it is not full.";
    case FailureKind::EngineNotStarted:
        return "The engine " + f.subject + " could not be started: " + f.cause + "; reinstall sonoscriptor or name "
               "the engine with --engine.";
    case FailureKind::EngineSignalled:
        return "The engine stopped unexpectedly (signal " + std::to_string(f.number) + "); this is a fault in "
               "sonoscriptor-engine, please report it with the recording.";
    case FailureKind::NoLaunchToken:
        return "The engine ended without a result: it did not accept the launch token" + CheckEngine;
    case FailureKind::NoEngineMidi: return "The engine ended without writing a MIDI file" + CheckEngine;
    case FailureKind::EngineStoppedUnasked:
        return "The engine stopped part-way as if cancelled, but no cancel was asked: its status file in the "
               "temporary folder was removed or replaced by another program; run it again, with TMPDIR set to a "
               "folder that no cleaner empties during the run.";
    case FailureKind::EngineCode: return engineFailureSentence(f.number, f.detail, f.engine);
    case FailureKind::UnknownEngineCode:
        return "The engine ended with the unknown code " + std::to_string(f.number) + CheckEngine;
    case FailureKind::Crashed:
        return "The file could not be transcribed (" + f.cause + "); please report it with the recording.";
    default: return "";
    }
}

// The sentences of outputs that could not be placed, and of stops.
std::string endSentence(const Failure &f) {
    const std::string &s = f.subject;
    switch (f.kind) {
    case FailureKind::StreamRefused:
    case FailureKind::StreamNotWritten: return "The file could not be written into " + s + " (" + f.cause + ").";
    case FailureKind::OutputAppeared:
        return "The output " + s + " appeared while this file was being transcribed (another run?) and was left as "
               "it is; add --force to replace it, or choose another name with -o.";
    case FailureKind::OutputNotWritten:
        return "The file could not be written to " + s +
               (f.cause.empty() ? "; make sure the disk is not full." : " (" + f.cause + ").");
    case FailureKind::ScoreNotWritten:
        return "The score " + s + " could not be written: " +
               (f.cause.empty() ? "the engine's MIDI file cannot be read" : f.cause) + ".";
    case FailureKind::CancelledBeforeEngine:
        return "cancelled before the transcription started; no MIDI file was written.";
    case FailureKind::StoppedAtOnce: return "stopped at once";
    case FailureKind::NotStartedCancelled: return "not started (cancelled).";
    case FailureKind::NotStartedStopped: return "not started";
    default: return "";
    }
}

}  // namespace

std::string settingsFileSentence(const std::string &path, const SettingsFileProblem &problem) {
    const std::string file = "The settings file " + path;
    switch (problem.fault) {
    case SettingsFileFault::None: return "";
    case SettingsFileFault::Unreadable: return file + " cannot be read (" + problem.cause + "); check its name.";
    case SettingsFileFault::NotRegular:
        return file + " is not a regular file (a pipe, a socket or a device); give a settings file saved on disk.";
    case SettingsFileFault::TooLarge:
        return file + " is larger than 1 MB, far more than its 44 keys need; check that it is a settings file.";
    case SettingsFileFault::LineCut:
        return file + " has a line longer than the 254 characters the engine reads, so its value of " +
               problem.cause + " would be cut; shorten that line.";
    }
    return "";
}

std::string midiOutputSentence(const std::string &input, const std::string &asked) {
    return input + " is a MIDI file already, so there is nothing to transcribe: sonoscriptor writes only its "
           "score. Drop " + asked + ", or name a .musicxml or .mxl file with -o.";
}

std::string midiOptionSentence(const std::string &input, const std::string &option) {
    return input + " is a MIDI file: its score takes the notes, tempo, metre and key written in it, and " + option +
           " shapes the transcription of a recording. Drop " + option + ", or give the MIDI file in a run of its "
           "own.";
}

Failure audioFailure(const std::string &input, const AudioInfo &info, const std::string &cause) {
    FailureKind kind = FailureKind::None;
    switch (info.fault) {
    case AudioFault::None: break;
    case AudioFault::Unreadable: kind = FailureKind::AudioUnreadable; break;
    case AudioFault::NotAudio: kind = FailureKind::NotAudio; break;
    case AudioFault::Empty: kind = FailureKind::NoAudio; break;
    case AudioFault::ImplausibleRate: kind = FailureKind::ImplausibleRate; break;
    }
    Failure f = failureOf(kind, input, cause);
    f.number = info.rate;
    return f;
}

Failure beatFailure(const std::string &wave, BeatFailure failure, const std::string &cause) {
    switch (failure) {
    case BeatFailure::Unreadable: return failureOf(FailureKind::BeatsUnreadable, wave, cause);
    case BeatFailure::RegionUnreachable: return failureOf(FailureKind::BeatsRegionUnreachable, wave);
    case BeatFailure::TrackerSetUp: return failureOf(FailureKind::BeatTrackerSetUp, wave);
    case BeatFailure::SpectrumSetUp: return failureOf(FailureKind::BeatSpectrumSetUp, wave);
    }
    return Failure{};
}

Failure settingsFailure(const SettingsProblem &problem) {
    FailureKind kind = FailureKind::None;
    switch (problem.kind) {
    case SettingsProblemKind::None: break;
    case SettingsProblemKind::TooLong: kind = FailureKind::SettingsTooLong; break;
    case SettingsProblemKind::HoldsKey: kind = FailureKind::SettingsHoldKey; break;
    case SettingsProblemKind::HoldsBreak: kind = FailureKind::SettingsHoldBreak; break;
    case SettingsProblemKind::NotReadBack: kind = FailureKind::SettingsNotReadBack; break;
    case SettingsProblemKind::Unreadable: kind = FailureKind::SettingsUnreadable; break;
    }
    return failureOf(kind, problem.key, problem.detail);
}

int failureCode(const Failure &f) {
    switch (f.kind) {
    case FailureKind::None: return exitStatus(ExitCode::Done);
    case FailureKind::CancelledBeforeEngine:
    case FailureKind::NotStartedCancelled: return exitStatus(ExitCode::Cancelled);
    case FailureKind::StandardInputTerminal:
    case FailureKind::StandardInputUnread: return exitStatus(ExitCode::ReadFailed);
    case FailureKind::AudioUnreadable:
    case FailureKind::NotAudio:
    case FailureKind::MidiUnreadable:
    case FailureKind::NoAudio:
    case FailureKind::ImplausibleRate:
    case FailureKind::Undecodable:
    case FailureKind::BeatsUnreadable:
    case FailureKind::BeatsRegionUnreachable: return exitStatus(ExitCode::Unsupported);
    case FailureKind::ConversionNotWritten:
    case FailureKind::SettingsNotWritten:  // a full temporary folder, as for the converted audio
    case FailureKind::StreamNotWritten:
    case FailureKind::OutputNotWritten:
    case FailureKind::ScoreNotWritten: return exitStatus(ExitCode::WriteFailed);
    case FailureKind::StartBeyondEnd:
    case FailureKind::SettingsTooLong:
    case FailureKind::SettingsHoldKey:
    case FailureKind::SettingsHoldBreak:
    case FailureKind::SettingsNotReadBack:
    case FailureKind::SettingsUnreadable: return exitStatus(ExitCode::BadCommandLine);
    case FailureKind::NoTempFolder:
    case FailureKind::Unresampled:
    case FailureKind::BeatTrackerSetUp:
    case FailureKind::BeatSpectrumSetUp:
    case FailureKind::EngineNotStarted:
    case FailureKind::EngineSignalled:
    case FailureKind::NoLaunchToken:
    case FailureKind::NoEngineMidi:
    case FailureKind::EngineStoppedUnasked:
    case FailureKind::UnknownEngineCode:
    case FailureKind::Crashed: return exitStatus(ExitCode::EngineFailed);
    case FailureKind::EngineCode: return f.number;
    case FailureKind::StoppedAtOnce:
    case FailureKind::NotStartedStopped: return exitStatus(ExitCode::Interrupted);
    default: return exitStatus(ExitCode::CannotOpen);  // an input or output that cannot be opened
    }
}

std::string failureSentence(const Failure &f) {
    for (auto sentenceOf : {fileSentence, settingsSentence, workSentence, endSentence}) {
        std::string sentence = sentenceOf(f);
        if (!sentence.empty())
            return sentence;
    }
    return "";
}
