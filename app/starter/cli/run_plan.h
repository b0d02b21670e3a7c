// The run plan made from the command line: the files to read and write, the
// settings composed from the options, and the values the stages take from them.
#pragma once

#include <string>
#include <vector>

#include "app/starter/cli/options.h"
#include "app/starter/plan/run_plan.h"
#include "app/starter/score/score_file.h"

/** True when an input is a MIDI file to write the score of: it begins with a MIDI header, or its
 *  name ends in .mid or .midi (a damaged one is then refused by the MIDI reader, not taken as
 *  audio). Standard input is always a recording. */
bool isMidiInput(const std::string &input);
/** Output name for an input: its name with ".mid" in the same folder, or in folder
 *  ("stdin.mid" for standard input); a MIDI input's score, with ".musicxml". */
std::string defaultOutputName(const std::string &input, const std::string &folder);
/** One file plan per input with its output; false with a sentence when outputs collide. */
bool planFiles(const std::vector<std::string> &inputs, const std::string &output, std::vector<FilePlan> &files,
               std::string &error);
/** Sets each file's score output and whether its MIDI file is kept; false with a sentence on conflict. */
bool planScoreOutputs(std::vector<FilePlan> &files, const std::string &output, const ScoreChoice &choice,
                      std::string &error);
/** Sets each file's note list from --notes (notes: "" for none): the name given for one input;
 *  with several, each input's MIDI output with the extension of the name given (.csv or .json),
 *  beside it. False with a sentence when a list would take the name of another output. */
bool planNoteLists(std::vector<FilePlan> &files, const std::string &notes, std::string &error);
/** With a MIDI input, refuses the options that shape a transcription: the score takes its notes,
 *  tempo, metre and key from the file. False with a sentence. */
bool refuseTranscriptionOptions(const std::vector<FilePlan> &files, const std::vector<std::string> &given,
                                std::string &error);
/** Reads composed settings into the plan once, with the engine's own reader: the settings as the
 *  engine reads them, and the region, tempo, metre, grid, key and instrument the stages take. */
void readPlanSettings(const SettingsList &settings, RunPlan &plan);
/** The plan of a run from parsed options (the settings composed, the files planned, the defaults
 *  filled in: the engine beside this program, jobs as many as cores); false with a sentence. */
bool buildRunPlan(const StarterOptions &options, const std::string &dataDir, RunPlan &plan, std::string &error);
