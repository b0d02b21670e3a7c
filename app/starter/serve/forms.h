// What an upload asks for: the option fields of a form turned into the run plan
// of one recording, by the command line's own parser. Only the options that
// shape the music are taken; none names a file, so nothing a client sends
// becomes a path.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/starter/plan/run_plan.h"

// A form field: its name (an option's long name without "--") and its value.
using FormField = std::pair<std::string, std::string>;

// Where one transcription's files lie: all in its private folder, named by the server.
struct JobPaths {
    std::string input;      // the upload
    std::string midi;       // result.mid
    std::string score;      // result.musicxml
    std::string notes;      // notes.json
};

/** The files of a transcription in folder dir (with a trailing '/'); the upload keeps the
 *  extension of the uploaded name when it is a known audio one. */
JobPaths jobPaths(const std::string &dir, const std::string &uploadName);
/** The name of an upload as shown (never a path): its last part, printable characters only. */
std::string displayName(const std::string &uploadName);
/** The run plan of one upload from the form's option fields, as the command makes it from the
 *  same options; false with a sentence in error for a field that is not such an option or a
 *  value the command refuses. */
bool planFromForm(const std::vector<FormField> &fields, const JobPaths &paths, const std::string &title,
                  const std::string &dataDir, const std::string &enginePath, RunPlan &plan, std::string &error);
