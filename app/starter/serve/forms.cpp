// Form fields into a run plan, through parseCommandLine and buildRunPlan.
#include "app/starter/serve/forms.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "app/starter/cli/options.h"
#include "app/starter/cli/run_plan.h"

namespace {

// The options an upload may give: those of the music and the detection. Files, folders,
// settings files, raw engine keys and the shape of the run are the server's.
const std::set<std::string> ValueOptions = {"tempo", "time-signature", "grid", "key", "instrument", "filter",
                                            "start", "end", "transpose", "tuning", "channel", "program", "shortest-note",
                                            "lowest-note", "highest-note", "sensitivity"};
const std::set<std::string> Switches = {"scale-only", "raw", "quantize"};

// Audio extensions kept on the upload's name (libsndfile reads by content; the name only helps).
const std::set<std::string> AudioExtensions = {".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3",
                                               ".aif", ".aiff", ".aifc", ".au", ".caf", ".w64", ".rf64"};

std::string lowercase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The arguments of one field; false with a sentence when it is not an option an upload may give.
bool fieldArguments(const FormField &field, std::vector<std::string> &args, std::string &error) {
    const auto &[name, value] = field;
    if (ValueOptions.count(name)) {
        // One argument: a value is never read as an option of its own ("--", "-o").
        if (!value.empty())  // an empty field leaves the default, as a form's empty box means
            args.push_back("--" + name + "=" + value);
        return true;
    }
    if (Switches.count(name)) {
        // Empty, as every empty field, leaves the default: off.
        std::string v = lowercase(value);
        if (v == "1" || v == "on" || v == "true" || v == "yes")
            args.push_back("--" + name);
        else if (v != "" && v != "0" && v != "off" && v != "false" && v != "no") {
            error = "The field " + name + " takes on or off, not " + value + ".";
            return false;
        }
        return true;
    }
    error = "The field " + name + " is not an option the server takes; it takes the recording in the field "
            "audio and these options: ";
    for (const std::string &o : ValueOptions)
        error += o + ", ";
    for (const std::string &o : Switches)
        error += o + (o == *Switches.rbegin() ? "." : ", ");
    return false;
}

}  // namespace

JobPaths jobPaths(const std::string &dir, const std::string &uploadName) {
    std::string name = displayName(uploadName);
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : lowercase(name.substr(dot));
    if (!AudioExtensions.count(ext))
        ext = "";
    return JobPaths{dir + "recording" + ext, dir + "result.mid", dir + "result.musicxml", dir + "notes.json"};
}

std::string displayName(const std::string &uploadName) {
    std::string name = uploadName.substr(uploadName.find_last_of("/\\") == std::string::npos
                                             ? 0 : uploadName.find_last_of("/\\") + 1);
    std::string shown;
    for (unsigned char c : name)
        if (c >= 0x20 && c != 0x7f)
            shown += static_cast<char>(c);
    constexpr size_t LongestName = 200;
    if (shown.size() > LongestName)
        shown.resize(LongestName);
    return shown.empty() || shown == "." || shown == ".." ? "recording" : shown;
}

bool planFromForm(const std::vector<FormField> &fields, const JobPaths &paths, const std::string &title,
                  const std::string &dataDir, const std::string &enginePath, RunPlan &plan, std::string &error) {
    std::vector<std::string> args;
    for (const FormField &field : fields)
        if (!fieldArguments(field, args, error))
            return false;
    args.insert(args.end(), {"--quiet", "-o", paths.midi, "--musicxml", paths.score, "--notes", paths.notes,
                             "--", paths.input});
    StarterOptions options;
    if (!parseCommandLine(args, dataDir, options, error))
        return false;
    options.enginePath = enginePath;
    options.jobs = 1;
    if (!buildRunPlan(options, dataDir, plan, error))
        return false;
    plan.files.front().title = title;
    return true;
}
