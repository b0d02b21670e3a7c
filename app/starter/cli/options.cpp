// Command-line parsing, musicians' words to settings keys, help text.
#include "app/starter/cli/options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <unistd.h>

#include "app/starter/beats/beats.h"
#include "app/starter/protocol/settings_check.h"

namespace fs = std::filesystem;

namespace {

using Handler = std::function<bool(const std::string &, StarterOptions &, const std::string &, std::string &)>;

// One option: its long name, an optional short one, whether it takes a value.
struct OptionRule {
    const char *name;
    const char *shortName;
    bool takesValue;
    Handler handle;
};

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A whole decimal number (no trailing text); false otherwise.
bool wholeNumber(const std::string &text, double &value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

// A whole integer within lo..hi; false otherwise.
bool wholeInteger(const std::string &text, int lo, int hi, int &value) {
    double v;
    if (!wholeNumber(text, v) || v != std::floor(v) || v < lo || v > hi)
        return false;
    value = static_cast<int>(v);
    return true;
}

// Text of a number for the settings file.
std::string numberText(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
}

// A value the engine would ignore (an empty one) leaves the key as it was, as in a settings file.
void assign(StarterOptions &o, const std::string &key, const std::string &value) {
    if (engineTakes({key, value}))
        setSetting(o.assignments, key, value);
}

bool onTempo(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    double bpm;
    if (!wholeNumber(v, bpm) || bpm < SlowestTempo || bpm > FastestTempo) {
        error = "--tempo takes the tempo in beats per minute, from 3.6 to 1000, for example --tempo 96.";
        return false;
    }
    assign(o, "Tempo", numberText(bpm));
    return true;
}

bool onTimeSignature(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    int n, d;
    if (!parseTimeSignature(v, n, d)) {
        error = "--time-signature takes beats per bar and a note value, for example 3/4 or 6/8 "
                "(1 to 99 beats; note value 1, 2, 4, 8, 16, 32 or 64).";
        return false;
    }
    assign(o, "TimeSignatureNumerator", std::to_string(n));
    assign(o, "TimeSignatureDenominator", std::to_string(d));
    return true;
}

bool onGrid(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    int r = gridResolution(v);
    if (r < 0) {
        error = "--grid takes the shortest note value: 4th, 8th, 16th, 32nd or 64th.";
        return false;
    }
    assign(o, "Resolution", std::to_string(r));
    return true;
}

bool onKey(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    std::string w = lower(v);
    if (w == "auto") {
        assign(o, "KeySignature", "8");
        assign(o, "MajorMinor", "0");
        assign(o, "AutoDetectKey", "1");
        return true;
    }
    int sig = 8, minor = 0;
    if (w != "none" && !parseKeyName(v, sig, minor)) {
        error = "--key takes auto, none or a key such as C, G, Eb, F#, Am, C#m or \"Bb minor\".";
        return false;
    }
    assign(o, "KeySignature", std::to_string(sig));
    assign(o, "MajorMinor", std::to_string(minor));
    assign(o, "AutoDetectKey", "0");
    return true;
}

bool onScaleOnly(const std::string &, StarterOptions &o, const std::string &, std::string &) {
    assign(o, "Constrain", "1");
    return true;
}

bool onInstrument(const std::string &v, StarterOptions &o, const std::string &dataDir, std::string &error) {
    int record;
    if (!resolveInstrument(dataDir, v, record, error))
        return false;
    assign(o, "Filter", std::to_string(record));
    return true;
}

bool onFilter(const std::string &v, StarterOptions &o, const std::string &dataDir, std::string &error) {
    int n;
    if (!wholeInteger(v, -1, 1000000, n)) {
        error = "--filter takes the number of an instrument record, or -1 for none.";
        return false;
    }
    if (n != -1 && !checkFilterRecord(dataDir, n, error))
        return false;
    assign(o, "Filter", std::to_string(n));
    return true;
}

bool onSeconds(const char *option, const char *key, const std::string &v, StarterOptions &o,
               std::string &error) {
    double s;
    if (!wholeNumber(v, s) || s < 0) {
        error = std::string(option) + " takes a time in seconds from the start of the recording, 0 or more.";
        return false;
    }
    assign(o, key, numberText(s));
    assign(o, "EntireWave", "0");
    return true;
}

bool onRange(const char *option, const char *key, int lo, int hi, const char *what,
             const std::string &v, StarterOptions &o, std::string &error) {
    int n;
    if (!wholeInteger(v, lo, hi, n)) {
        error = std::string(option) + " takes " + what + ", a whole number from " + std::to_string(lo) +
                " to " + std::to_string(hi) + ".";
        return false;
    }
    assign(o, key, std::to_string(n));
    return true;
}

bool onTempoMap(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    std::error_code ec;
    if (!fs::is_regular_file(v, ec) || access(v.c_str(), R_OK) != 0) {
        error = "The tempo map " + v + " cannot be read; check its name.";
        return false;
    }
    o.tempoMap = v;
    assign(o, "TempoFile", fs::absolute(v).lexically_normal().string());
    return true;
}

// A tempo map must be a regular file whose beats all last longer than 0 ms.
bool checkTempoMap(const std::string &map, std::string &error) {
    std::error_code ec;
    std::vector<uint16_t> values;
    if (!fs::is_regular_file(map, ec) || !readTempoMap(map, values)) {
        error = "The tempo map " + map + " cannot be read; check its name (it must be a regular file).";
        return false;
    }
    auto zero = std::find(values.begin(), values.end(), 0);
    if (zero != values.end()) {
        error = "Beat " + std::to_string(zero - values.begin() + 1) + " of the tempo map " + map +
                " lasts 0 ms; every beat of a tempo map needs its length in milliseconds.";
        return false;
    }
    return true;
}

bool onSet(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    size_t eq = v.find('=');
    std::string key = v.substr(0, eq);
    if (eq == std::string::npos || !isSettingsKey(key)) {
        std::string near = settingsKeyIgnoringCase(key);
        error = eq == std::string::npos ? "--set takes KEY=VALUE, for example --set KeyMin=36."
                : !near.empty()         ? "There is no settings key " + key + "; did you mean " + near + "?"
                                        : "There is no settings key " + key +
                                      "; the keys are listed in the settings table of the documentation.";
        return false;
    }
    std::string value = v.substr(eq + 1);
    if (value.find_first_of("\r\n") != std::string::npos) {
        error = "The value of " + key + " must stay on one line.";
        return false;
    }
    assign(o, key, value);
    return true;
}

bool onFormat(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    if (v != "midi" && v != "musicxml" && v != "both") {
        error = "--format takes midi, musicxml or both.";
        return false;
    }
    o.format = v;
    return true;
}

bool onJobs(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    if (!wholeInteger(v, 1, 1024, o.jobs)) {
        error = "-j takes the number of files to transcribe at once, 1 or more.";
        return false;
    }
    return true;
}

bool onKeepDir(const std::string &v, StarterOptions &o, const std::string &, std::string &error) {
    std::error_code ec;
    if (!fs::is_directory(v, ec) || access(v.c_str(), W_OK) != 0) {
        error = "--keep-engine-files takes a folder that exists and is writable; " + v + " is none.";
        return false;
    }
    o.keepDir = v;
    return true;
}

// Every option of the command.
const std::vector<OptionRule> &optionTable() {
    static const std::vector<OptionRule> table = {
        {"output", "o", true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &) { o.output = v; return true; }},
        {"format", nullptr, true, onFormat},
        {"musicxml", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &) { o.musicxml = v; return true; }},
        {"force", nullptr, false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.force = true; return true; }},
        {"quiet", "q", false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.quiet = true; return true; }},
        {"jobs", "j", true, onJobs},
        {"help", "h", false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.help = true; return true; }},
        {"version", nullptr, false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.version = true; return true; }},
        {"tempo", nullptr, true, onTempo},
        {"time-signature", nullptr, true, onTimeSignature},
        {"grid", nullptr, true, onGrid},
        {"key", nullptr, true, onKey},
        {"scale-only", nullptr, false, onScaleOnly},
        {"instrument", nullptr, true, onInstrument},
        {"filter", nullptr, true, onFilter},
        {"start", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &e) { return onSeconds("--start", "StartPoint", v, o, e); }},
        {"end", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &e) { return onSeconds("--end", "EndPoint", v, o, e); }},
        {"transpose", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &e) { return onRange("--transpose", "Transpose", -127, 127, "semitones", v, o, e); }},
        {"channel", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &e) { return onRange("--channel", "Channel", 1, 16, "a MIDI channel", v, o, e); }},
        {"program", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &e) { return onRange("--program", "Patch", 0, 127, "a General MIDI program", v, o, e); }},
        {"tempo-map", nullptr, true, onTempoMap},
        {"beats", nullptr, false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.beatsOnly = true; return true; }},
        {"set", nullptr, true, onSet},
        {"settings", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &) { o.settingsFile = v; return true; }},
        {"engine", nullptr, true, [](const std::string &v, StarterOptions &o, const std::string &, std::string &) { o.enginePath = v; return true; }},
        {"raw", nullptr, false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.raw = true; return true; }},
        {"quantize", nullptr, false, [](const std::string &, StarterOptions &o, const std::string &, std::string &) { o.quantize = true; return true; }},
        {"keep-engine-files", nullptr, true, onKeepDir},
    };
    return table;
}

const OptionRule *findOption(const std::string &name, bool isShort) {
    for (const OptionRule &rule : optionTable())
        if (isShort ? (rule.shortName && name == rule.shortName) : name == rule.name)
            return &rule;
    return nullptr;
}

// Splits "--name=value", "--name", "-x", "-xVALUE" into name and inline value.
bool splitOption(const std::string &arg, std::string &name, std::string &value, bool &hasValue,
                 bool &isShort) {
    isShort = arg.size() >= 2 && arg[0] == '-' && arg[1] != '-';
    size_t nameStart = isShort ? 1 : 2;
    size_t eq = isShort ? std::string::npos : arg.find('=');
    name = arg.substr(nameStart, isShort ? 1 : eq - nameStart);
    hasValue = isShort ? arg.size() > 2 : eq != std::string::npos;
    value = !hasValue ? "" : isShort ? arg.substr(2) : arg.substr(eq + 1);
    return !name.empty();
}

// Pitch class of a letter name with accidentals, or -1; rest receives what follows.
int pitchClass(const std::string &name, int &accidental, std::string &rest) {
    static const std::map<char, int> letters = {{'C', 0}, {'D', 2}, {'E', 4}, {'F', 5},
                                                {'G', 7}, {'A', 9}, {'B', 11}};
    if (name.empty() || !letters.count(static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])))))
        return -1;
    int pc = letters.at(static_cast<char>(std::toupper(static_cast<unsigned char>(name[0]))));
    size_t i = 1;
    accidental = 0;
    for (; i < name.size() && (name[i] == '#' || name[i] == 'b'); ++i)
        accidental += name[i] == '#' ? 1 : -1;
    rest = name.substr(i);
    return ((pc + accidental) % 12 + 12) % 12;
}

// The signature -7..7 of the major key on pitch class pc, spelled with accidental's sign.
int majorSignature(int pc, int accidental) {
    std::vector<int> candidates;
    for (int s = -7; s <= 7; ++s)
        if (((7 * s) % 12 + 12) % 12 == pc)
            candidates.push_back(s);
    if (candidates.size() == 1)
        return candidates[0];
    // Two spellings (for example F# and Gb): follow the name, else the fewer accidentals.
    int flat = candidates[0], sharp = candidates[1];
    if (accidental != 0)
        return accidental > 0 ? sharp : flat;
    return std::abs(flat) < std::abs(sharp) ? flat : sharp;
}

}  // namespace

bool parseKeyName(const std::string &name, int &keySignature, int &minor) {
    int accidental;
    std::string rest;
    int pc = pitchClass(name, accidental, rest);
    if (pc < 0)
        return false;
    std::string mode = lower(rest);
    mode.erase(std::remove(mode.begin(), mode.end(), ' '), mode.end());
    if (mode == "" || mode == "maj" || mode == "major")
        minor = 0;
    else if (mode == "m" || mode == "min" || mode == "minor")
        minor = 1;
    else
        return false;
    keySignature = majorSignature(minor ? (pc + 3) % 12 : pc, accidental);
    return true;
}

bool parseTimeSignature(const std::string &text, int &numerator, int &denominatorPower) {
    size_t slash = text.find('/');
    int d;
    if (slash == std::string::npos || !wholeInteger(text.substr(0, slash), 1, 99, numerator) ||
        !wholeInteger(text.substr(slash + 1), 1, 64, d) || (d & (d - 1)) != 0)
        return false;
    denominatorPower = 0;
    while ((1 << denominatorPower) < d)
        ++denominatorPower;
    return true;
}

int gridResolution(const std::string &word) {
    static const std::map<std::string, int> grids = {
        {"4th", 2}, {"quarter", 2}, {"8th", 3}, {"eighth", 3}, {"16th", 4}, {"sixteenth", 4},
        {"32nd", 5}, {"thirty-second", 5}, {"64th", 6}, {"sixty-fourth", 6}};
    auto it = grids.find(lower(word));
    return it == grids.end() ? -1 : it->second;
}

std::vector<FilterRecord> readFilterIndex(const std::string &dataDir) {
    std::vector<FilterRecord> records;
    std::ifstream in(dataDir + "filter.txt");
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        records.push_back({leadingInt(line), n, line});
    }
    return records;
}

bool checkFilterRecord(const std::string &dataDir, int n, std::string &error) {
    std::vector<FilterRecord> records = readFilterIndex(dataDir);
    std::error_code ec;
    auto datSize = fs::file_size(dataDir + "filter.dat", ec);
    if (records.empty() || ec) {
        error = "The instrument records (filter.txt and filter.dat) were not found in " + dataDir +
                "; reinstall sonoscriptor, or transcribe without --instrument and --filter.";
        return false;
    }
    auto it = std::find_if(records.begin(), records.end(), [&](const FilterRecord &r) { return r.number == n; });
    if (it == records.end()) {
        std::string numbers;
        for (const FilterRecord &r : records)
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(r.number);
        error = "There is no instrument record " + std::to_string(n) + " in " + dataDir +
                "filter.txt; the records there are " + numbers + ".";
        return false;
    }
    if (datSize < static_cast<uintmax_t>(it->line) * FilterRecordBytes) {
        error = "The instrument record " + std::to_string(n) + " is missing from " + dataDir +
                "filter.dat, which is incomplete; reinstall sonoscriptor.";
        return false;
    }
    return true;
}

bool resolveInstrument(const std::string &dataDir, const std::string &name, int &record,
                       std::string &error) {
    static const std::map<std::string, int> usual = {
        {"piano", 0}, {"guitar", 24}, {"strings", 48}, {"violin", 40}, {"flute", 73}, {"organ", 19}};
    std::string word = lower(name);
    for (const FilterRecord &r : readFilterIndex(dataDir)) {
        std::string text = lower(r.text);
        size_t at = text.find(word);
        bool wholeWord = at != std::string::npos && !word.empty() &&
                         (at == 0 || !std::isalpha(static_cast<unsigned char>(text[at - 1]))) &&
                         (at + word.size() == text.size() ||
                          !std::isalpha(static_cast<unsigned char>(text[at + word.size()])));
        if (wholeWord && std::isalpha(static_cast<unsigned char>(word[0]))) {
            record = r.number;
            return checkFilterRecord(dataDir, record, error);
        }
    }
    auto it = usual.find(word);
    if (it == usual.end()) {
        error = "There are no note templates for the instrument \"" + name +
                "\"; choose piano, guitar, strings, flute or organ, or give a record number with --filter.";
        return false;
    }
    record = it->second;
    return checkFilterRecord(dataDir, record, error);
}

int coreCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

bool parseCommandLine(const std::vector<std::string> &args, const std::string &dataDir,
                      StarterOptions &options, std::string &error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name, value;
        bool hasValue, isShort;
        splitOption(arg, name, value, hasValue, isShort);
        const OptionRule *rule = findOption(name, isShort);
        if (!rule) {
            error = "There is no option " + arg + ".";
            return false;
        }
        if (rule->takesValue && !hasValue) {
            if (i + 1 >= args.size()) {
                error = "The option " + arg + " needs a value.";
                return false;
            }
            value = args[++i];
        } else if (!rule->takesValue && hasValue) {
            error = "The option --" + name + " takes no value.";
            return false;
        }
        if (!rule->handle(value, options, dataDir, error))
            return false;
    }
    if (options.raw && options.quantize) {
        error = "--quantize places the refined notes on the grid; --raw keeps the engine's notes as they are. "
                "Give one of them.";
        return false;
    }
    return true;
}

SettingsList starterDefaults() {
    return {{"VirtualSR", "11025"}, {"Resolution", "4"}};
}

bool composeSettings(const StarterOptions &options, SettingsList &settings, std::string &error) {
    settings = starterDefaults();
    if (!options.settingsFile.empty()) {
        SettingsList fromFile;
        if (!readSettingsFile(options.settingsFile, fromFile, error))
            return false;
        for (const SettingsEntry &e : fromFile)
            setSetting(settings, e.key, e.value);
    }
    for (const SettingsEntry &e : options.assignments)
        setSetting(settings, e.key, e.value);
    if (settingInt(settings, "Constrain", 0) != 0) {
        int sig = settingInt(settings, "KeySignature", 8);
        if (sig < -7 || sig > 7) {
            error = "--scale-only needs the key of the piece: add --key, for example --key G or --key Em.";
            return false;
        }
    }
    std::string map = getSetting(settings, "TempoFile");
    std::vector<uint16_t> values;
    if (!map.empty() && !checkTempoMap(map, error))
        return false;
    if (!map.empty() && !hasSetting(settings, "Tempo") && readTempoMap(map, values)) {
        // The MIDI file plays at the performance's median tempo, so its beats keep their length.
        double tempo = std::floor(medianMapTempo(values) * 100 + 0.5) / 100;
        if (tempo > 0 && timeBaseAccepts(tempo, settings))
            setSetting(settings, "Tempo", numberText(tempo));
    }
    double tempo = settingDecimal(settings, "Tempo", 120);
    if (!(tempo >= SlowestTempo && tempo <= FastestTempo)) {
        error = "The tempo must be from 3.6 to 1000 beats per minute (a MIDI file holds no slower one, and "
                "faster ones only multiply the work); give it with --tempo.";
        return false;
    }
    double start = settingDecimal(settings, "StartPoint", 0), end = settingDecimal(settings, "EndPoint", 0);
    if (hasSetting(options.assignments, "EndPoint") && end <= start) {
        error = "--end must come after --start.";
        return false;
    }
    error = readBackProblem(settingsText(settings), settings);
    return error.empty();
}

bool tempoToBeTracked(const SettingsList &settings) {
    return !hasSetting(settings, "Tempo") && getSetting(settings, "TempoFile").empty();
}

std::string helpText(const std::string &dataDir, int cores) {
    std::string jobs = std::to_string(cores);
    return
        "Usage: sonoscriptor [OPTION]... INPUT...\n"
        "Transcribe recordings into Standard MIDI Files and MusicXML scores.\n"
        "\n"
        "Each INPUT (WAV, FLAC, Ogg or any other format libsndfile reads) becomes a MIDI\n"
        "file beside it, named like the input with \".mid\". Audio that the engine cannot\n"
        "read as it is is first converted to a temporary 44100 Hz 16-bit WAV.\n"
        "\n"
        "Output:\n"
        "  -o, --output OUT        write OUT; with several inputs OUT is a folder\n"
        "                          (default: INPUT's name with \".mid\", beside it)\n"
        "      --musicxml FILE     also write the score as MusicXML into FILE (.musicxml,\n"
        "                          .xml, or compressed .mxl); -o song.musicxml writes\n"
        "                          the score alone (default: no score)\n"
        "      --format FORMAT     midi, musicxml or both: the files written for each\n"
        "                          INPUT when -o names no file (default midi)\n"
        "      --force             replace an output file that exists (default: refuse)\n"
        "  -j, --jobs N            transcribe N files at once (default: " + jobs + ", the cores)\n"
        "  -q, --quiet             no progress bar (default: a bar when standard error\n"
        "                          is a terminal)\n"
        "\n"
        "Music:\n"
        "      --tempo BPM         a constant tempo in beats per minute, 3.6 to 1000;\n"
        "                          no beat tracking\n"
        "                          (default: the beats are found in the recording and\n"
        "                          followed; without a steady beat, a constant 120)\n"
        "      --beats             print the beat times, the downbeats, the tempo and the\n"
        "                          time signature found in each INPUT, one time in\n"
        "                          seconds per line; transcribe nothing\n"
        "      --time-signature N/D  beats per bar and note value, e.g. 3/4 (default: found\n"
        "                          with the beats; default 4/4 when they are not tracked)\n"
        "      --grid VALUE        shortest note: 4th, 8th, 16th, 32nd, 64th (default 16th)\n"
        "      --key KEY           auto, none, or a key such as C, Am, Eb, F#m\n"
        "                          (default auto: detected from the notes)\n"
        "      --scale-only        keep only the notes of the key's major scale\n"
        "                          (needs --key KEY; default off)\n"
        "      --instrument NAME   piano, guitar, strings, flute or organ: match that\n"
        "                          instrument's note templates (default: none, the\n"
        "                          general analysis)\n"
        "      --filter N          instrument record N of filter.txt, -1 for none\n"
        "                          (default -1; records in " + dataDir + ")\n"
        "      --start SECONDS     start of the part to transcribe (default 0)\n"
        "      --end SECONDS       end of the part to transcribe (default: the end)\n"
        "      --transpose N       semitones added to every note, -127..127 (default 0)\n"
        "      --channel N         MIDI channel 1..16 (default 1)\n"
        "      --program N         General MIDI program 0..127 (default: the\n"
        "                          instrument's record number, else 0, piano)\n"
        "      --raw               write the engine's notes exactly as it wrote them\n"
        "                          (default: notes moved, split or dropped where the\n"
        "                          attacks heard in the recording say so)\n"
        "      --quantize          put the refined notes back on the grid (default:\n"
        "                          each note where its attack was heard)\n"
        "      --tempo-map FILE    follow these beats instead of tracking them: 16-bit\n"
        "                          little-endian milliseconds per beat, 65535 ends\n"
        "                          (default: none; the tempo is then the map's median\n"
        "                          unless --tempo is given)\n"
        "\n"
        "Engine settings:\n"
        "      --settings FILE     start from this settings file (default: none)\n"
        "      --set KEY=VALUE     set any settings key; may be repeated, the last wins\n"
        "      --engine PATH       the engine to run (default: sonoscriptor-engine\n"
        "                          beside this program)\n"
        "      --keep-engine-files DIR  for developers: keep each input's settings\n"
        "                          file, tempo map and engine MIDI file in DIR\n"
        "\n"
        "  -h, --help              show this help\n"
        "      --version           show the version\n"
        "\n"
        "Settings are taken from the starter's defaults (VirtualSR=11025, Resolution=4),\n"
        "then from --settings, then from the options in the order given. A Tempo or\n"
        "TempoFile from --settings or --set turns beat tracking off, like --tempo.\n"
        "\n"
        "Exit status: 0 done; 1 cancelled (the MIDI file keeps what was transcribed);\n"
        "2 to 7 the engine's failure classes (2 reading, 3 opening a file, 4 audio\n"
        "format, 5 writing the MIDI file or the score, 6 memory, 7 MIDI timing); 8 the\n"
        "engine could not be run; 9 a wrong command line. With several inputs, the\n"
        "worst of them.\n";
}
