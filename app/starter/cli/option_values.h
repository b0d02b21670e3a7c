// What the value of each option becomes: fields of StarterOptions, or settings
// keys in command-line order. Each handler returns false with a sentence in error.
#pragma once

#include <string>

#include "app/starter/cli/options.h"

/** Stores key=value among the assignments unless the engine would ignore the value (an empty one). */
void assignSetting(StarterOptions &o, const std::string &key, const std::string &value);
/** --tempo: beats per minute, SlowestTempo to FastestTempo, into Tempo. */
bool onTempo(const std::string &v, StarterOptions &o, std::string &error);
/** --time-signature: "N/D" into TimeSignatureNumerator and TimeSignatureDenominator. */
bool onTimeSignature(const std::string &v, StarterOptions &o, std::string &error);
/** --grid: a note value word into Resolution. */
bool onGrid(const std::string &v, StarterOptions &o, std::string &error);
/** --key: auto, none or a key name into KeySignature, MajorMinor and AutoDetectKey. */
bool onKey(const std::string &v, StarterOptions &o, std::string &error);
/** --instrument: the record of an instrument name in dataDir, into Filter. */
bool onInstrument(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error);
/** --filter: a record number of dataDir (or -1) into Filter. */
bool onFilter(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error);
/** --start and --end: seconds from the start of the recording into key, and EntireWave=0. */
bool onSeconds(const char *option, const char *key, const std::string &v, StarterOptions &o, std::string &error);
/** A whole number lo..hi into key; `what` names it in the sentence. */
bool onRange(const char *option, const char *key, int lo, int hi, const char *what, const std::string &v,
             StarterOptions &o, std::string &error);
/** --tempo-map: a readable regular file, into TempoFile as an absolute path. */
bool onTempoMap(const std::string &v, StarterOptions &o, std::string &error);
/** --set: KEY=VALUE for a settings key, suggesting the spelling of a misspelt one. */
bool onSet(const std::string &v, StarterOptions &o, std::string &error);
/** --lowest-note and --highest-note: a note name or key number into key (KeyMin or KeyMax). */
bool onNote(const char *option, const char *key, const std::string &v, StarterOptions &o, std::string &error);
/** --shortest-note: milliseconds, ShortestNoteMs to LongestShortestNoteMs, turned into MinimumLength per file. */
bool onShortestNote(const std::string &v, StarterOptions &o, std::string &error);
/** --sensitivity: 1..10, turned into OutputThreshold where it was given and into the refinement's thresholds. */
bool onSensitivity(const std::string &v, StarterOptions &o, std::string &error);
/** --format: midi, musicxml or both. */
bool onFormat(const std::string &v, StarterOptions &o, std::string &error);
/** -j: files at once, 1 to 1024. */
bool onJobs(const std::string &v, StarterOptions &o, std::string &error);
/** --report: a file that can be appended to (it need not exist; its folder must). */
bool onReport(const std::string &v, StarterOptions &o, std::string &error);
/** --keep-engine-files: a writable folder. */
bool onKeepDir(const std::string &v, StarterOptions &o, std::string &error);
