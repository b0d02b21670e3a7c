// Settings files as the starter reads them (--settings): the entries it takes
// from any text, the cut-line check, the text it writes back and its read-back
// check, and the run plan's reading of the entries. Entries taken from text
// with no cut line, written back without a problem, give the engine the
// settings that text gives it (the starter refuses those it cannot write).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/starter/cli/run_plan.h"
#include "app/starter/protocol/settings_check.h"
#include "app/starter/protocol/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    SettingsList list;
    parseSettingsText(text, list);
    for (const SettingsEntry &e : list)
        if (!isSettingsKey(e.key) || e.value.empty()) std::abort();
    const std::string cut = cutSettingsKey(text);
    if (!cut.empty() && !isSettingsKey(cut)) std::abort();
    const std::string written = settingsText(list);
    SettingsProblem problem = readBackProblem(written, list);
    if (problem.kind == SettingsProblemKind::Unreadable) std::abort();
    bool eachTaken = true;  // each entry's own line is one the engine takes (a path of three
    for (const SettingsEntry &e : list)  // characters or more, say)
        eachTaken = eachTaken && engineTakes(e);
    if (cut.empty() && eachTaken && problem.kind == SettingsProblemKind::None &&
        !sameSettings(engineReading(written), engineReading(text)))
        std::abort();
    for (const SettingsEntry &e : list) lineKey(e.key + "=" + e.value);
    RunPlan plan;
    readPlanSettings(list, plan);
    return 0;
}
