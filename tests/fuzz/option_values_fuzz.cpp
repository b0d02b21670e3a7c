// Option values and whole command lines. The first byte picks a value reader
// (note names, key names, time signatures, grid words, numbers, --set) and the
// rest is its value; or, from 0xF0 on, the rest is a command line of the
// command or of serve, its arguments parted by NUL bytes, and the command's
// settings composed from it. Whatever a reader takes lands in range, and a
// refusal always says why.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/cli/names.h"
#include "app/starter/cli/option_values.h"
#include "app/starter/cli/options.h"
#include "app/starter/serve/options.h"

namespace {

// The data folder of the source tree (its filter.txt and filter.dat).
const std::string DataDir = SONOSCRIPTOR_FUZZ_DATA_DIR;

// Each setting an option stores stays on one line, as the settings file needs.
void checkAssignments(const StarterOptions &o) {
    for (const SettingsEntry &e : o.assignments)
        if (!isSettingsKey(e.key) || e.value.find_first_of("\r\n") != std::string::npos) std::abort();
}

void checkNames(const std::string &v) {
    int key = -1, signature = 99, minor = -1, numerator = 0, power = -1;
    if (parseNoteName(v, key) && (key < 0 || key > 127)) std::abort();
    if (parseKeyName(v, signature, minor) && (signature < -7 || signature > 7 || (minor != 0 && minor != 1)))
        std::abort();
    if (parseTimeSignature(v, numerator, power) && (numerator < 1 || numerator > 99 || power < 0 || power > 6))
        std::abort();
    int grid = gridResolution(v);
    if (grid != -1 && (grid < 2 || grid > 6)) std::abort();
    closestName(v, settingsKeys());
}

// One option's value through its reader; false when refused.
bool readValue(uint8_t pick, const std::string &v, StarterOptions &o, std::string &error) {
    switch (pick % 14) {
    case 0: return onTempo(v, o, error);
    case 1: return onTimeSignature(v, o, error);
    case 2: return onGrid(v, o, error);
    case 3: return onKey(v, o, error);
    case 4: return onInstrument(DataDir, v, o, error);
    case 5: return onFilter(DataDir, v, o, error);
    case 6: return onSeconds("--start", "StartPoint", v, o, error);
    case 7: return onRange("--transpose", "Transpose", -127, 127, "semitones", v, o, error);
    case 8: return onSet(v, o, error);
    case 9: return onNote("--lowest-note", "KeyMin", v, o, error);
    case 10: return onShortestNote(v, o, error);
    case 11: return onSensitivity(v, o, error);
    case 12: return onFormat(v, o, error);
    default: return onJobs(v, o, error);
    }
}

std::vector<std::string> arguments(const std::string &text) {
    std::vector<std::string> args;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

void commandLine(bool serve, const std::string &text) {
    std::string error;
    if (serve) {
        ServeOptions options;
        if (!parseServeOptions(arguments(text), options, error) && error.empty()) std::abort();
        return;
    }
    StarterOptions options;
    if (!parseCommandLine(arguments(text), DataDir, options, error)) {
        if (error.empty()) std::abort();
        return;
    }
    checkAssignments(options);
    SettingsList settings;
    if (!composeSettings(options, settings, error) && error.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::string value(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] >= 0xF0) {
        commandLine(data[0] >= 0xF8, value);
        return 0;
    }
    checkNames(value);
    StarterOptions options;
    std::string error;
    if (!readValue(data[0], value, options, error) && error.empty()) std::abort();
    checkAssignments(options);
    return 0;
}
