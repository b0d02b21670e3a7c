// The sentence and the exit code of every way the work on a file can end
// without its outputs: the one place where a Failure becomes words.
#pragma once

#include <string>

#include "app/starter/audio/audio.h"
#include "app/starter/beats/beats.h"
#include "app/starter/plan/failure.h"
#include "app/starter/protocol/settings_check.h"

/** The failure of an input that is no audio the starter can read (kind None when it is). */
Failure audioFailure(const std::string &input, const AudioInfo &info, const std::string &cause);
/** The failure of beats that could not be tracked in the audio file wave. */
Failure beatFailure(const std::string &wave, BeatFailure failure, const std::string &cause);
/** The sentence for a settings file given with --settings that cannot be read ("" when it can). */
std::string settingsFileSentence(const std::string &path, const SettingsFileProblem &problem);
/** The failure of settings that would not reach the engine as written (kind None when they would). */
Failure settingsFailure(const SettingsProblem &problem);
/** The sentence that refuses a MIDI output (asked: "-o x.mid", "--format both") for a MIDI input. */
std::string midiOutputSentence(const std::string &input, const std::string &asked);
/** The sentence that refuses an option shaping a transcription (option: "--tempo") with a MIDI input. */
std::string midiOptionSentence(const std::string &input, const std::string &option);
/** The exit code of a failure. */
int failureCode(const Failure &failure);
/** The sentence for a failure, as printed after "sonoscriptor: INPUT: ". */
std::string failureSentence(const Failure &failure);
