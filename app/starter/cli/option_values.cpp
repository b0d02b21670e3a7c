// What the value of each option becomes.
#include <filesystem>

#include <unistd.h>

#include "app/starter/cli/option_values.h"
#include "app/starter/cli/instruments.h"
#include "app/starter/cli/names.h"
#include "app/starter/protocol/settings_check.h"

namespace fs = std::filesystem;

void assignSetting(StarterOptions &o, const std::string &key, const std::string &value) {
    if (engineTakes({key, value}))
        setSetting(o.assignments, key, value);
}

bool onTempo(const std::string &v, StarterOptions &o, std::string &error) {
    double bpm;
    if (!wholeNumber(v, bpm) || bpm < SlowestTempo || bpm > FastestTempo) {
        error = "--tempo takes the tempo in beats per minute, from 3.6 to 1000, for example --tempo 96.";
        return false;
    }
    assignSetting(o, "Tempo", numberText(bpm));
    return true;
}

bool onTimeSignature(const std::string &v, StarterOptions &o, std::string &error) {
    int n, d;
    if (!parseTimeSignature(v, n, d)) {
        error = "--time-signature takes beats per bar and a note value, for example 3/4 or 6/8 "
                "(1 to 99 beats; note value 1, 2, 4, 8, 16, 32 or 64).";
        return false;
    }
    assignSetting(o, "TimeSignatureNumerator", std::to_string(n));
    assignSetting(o, "TimeSignatureDenominator", std::to_string(d));
    return true;
}

bool onGrid(const std::string &v, StarterOptions &o, std::string &error) {
    int r = gridResolution(v);
    if (r < 0) {
        error = "--grid takes the shortest note value: 4th, 8th, 16th, 32nd or 64th.";
        return false;
    }
    assignSetting(o, "Resolution", std::to_string(r));
    return true;
}

bool onKey(const std::string &v, StarterOptions &o, std::string &error) {
    std::string w = lowerCase(v);
    if (w == "auto") {
        assignSetting(o, "KeySignature", "8");
        assignSetting(o, "MajorMinor", "0");
        assignSetting(o, "AutoDetectKey", "1");
        return true;
    }
    int sig = 8, minor = 0;
    if (w != "none" && !parseKeyName(v, sig, minor)) {
        error = "--key takes auto, none or a key such as C, G, Eb, F#, Am, C#m or \"Bb minor\".";
        return false;
    }
    assignSetting(o, "KeySignature", std::to_string(sig));
    assignSetting(o, "MajorMinor", std::to_string(minor));
    assignSetting(o, "AutoDetectKey", "0");
    return true;
}

bool onInstrument(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error) {
    int record;
    if (!resolveInstrument(dataDir, v, record, error))
        return false;
    assignSetting(o, "Filter", std::to_string(record));
    return true;
}

bool onFilter(const std::string &dataDir, const std::string &v, StarterOptions &o, std::string &error) {
    int n;
    if (!wholeInteger(v, -1, 1000000, n)) {
        error = "--filter takes the number of an instrument record, or -1 for none.";
        return false;
    }
    if (n != -1 && !checkFilterRecord(dataDir, n, error))
        return false;
    assignSetting(o, "Filter", std::to_string(n));
    return true;
}

bool onSeconds(const char *option, const char *key, const std::string &v, StarterOptions &o, std::string &error) {
    double s;
    if (!wholeNumber(v, s) || s < 0) {
        error = std::string(option) + " takes a time in seconds from the start of the recording, 0 or more.";
        return false;
    }
    assignSetting(o, key, numberText(s));
    assignSetting(o, "EntireWave", "0");
    return true;
}

bool onRange(const char *option, const char *key, int lo, int hi, const char *what, const std::string &v,
             StarterOptions &o, std::string &error) {
    int n;
    if (!wholeInteger(v, lo, hi, n)) {
        error = std::string(option) + " takes " + what + ", a whole number from " + std::to_string(lo) +
                " to " + std::to_string(hi) + ".";
        return false;
    }
    assignSetting(o, key, std::to_string(n));
    return true;
}

bool onTempoMap(const std::string &v, StarterOptions &o, std::string &error) {
    std::error_code ec;
    if (v.empty()) {
        error = "--tempo-map takes the name of a tempo file, not nothing.";
        return false;
    }
    if (!fs::is_regular_file(v, ec) || access(v.c_str(), R_OK) != 0) {
        error = "The tempo map " + v + " cannot be read; check its name.";
        return false;
    }
    o.tempoMap = v;
    assignSetting(o, "TempoFile", fs::absolute(v).lexically_normal().string());
    return true;
}

bool onSet(const std::string &v, StarterOptions &o, std::string &error) {
    size_t eq = v.find('=');
    std::string key = v.substr(0, eq);
    if (eq == std::string::npos || !isSettingsKey(key)) {
        std::string near = closestName(key, settingsKeys());
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
    assignSetting(o, key, value);
    return true;
}

bool onNote(const char *option, const char *key, const std::string &v, StarterOptions &o, std::string &error) {
    int k;
    if (!parseNoteName(v, k)) {
        error = std::string(option) + " takes a note name such as A0, C#3, Bb2 or C4 (middle C), or a MIDI key "
                "number from 0 to 127.";
        return false;
    }
    assignSetting(o, key, std::to_string(k));
    return true;
}

bool onShortestNote(const std::string &v, StarterOptions &o, std::string &error) {
    double ms;
    if (!wholeNumber(v, ms) || ms < ShortestNoteMs || ms > LongestShortestNoteMs) {
        error = "--shortest-note takes the length of the shortest note to write in milliseconds, from 1 to 10000, "
                "for example --shortest-note 100.";
        return false;
    }
    o.shortestNoteMs = ms;
    return true;
}

bool onSensitivity(const std::string &v, StarterOptions &o, std::string &error) {
    if (!wholeInteger(v, LeastSensitivity, MostSensitivity, o.sensitivity)) {
        error = "--sensitivity takes a whole number from 1 (fewest notes) to 10 (most notes); 5 is the default.";
        return false;
    }
    // The level threshold it sets replaces one set before it; one set after it wins.
    removeSetting(o.assignments, "OutputThreshold");
    return true;
}

bool onFormat(const std::string &v, StarterOptions &o, std::string &error) {
    if (v != "midi" && v != "musicxml" && v != "both") {
        error = "--format takes midi, musicxml or both.";
        return false;
    }
    o.format = v;
    return true;
}

bool onJobs(const std::string &v, StarterOptions &o, std::string &error) {
    if (!wholeInteger(v, 1, 1024, o.jobs)) {
        error = "-j takes the number of files to transcribe at once, 1 or more.";
        return false;
    }
    return true;
}

bool onReport(const std::string &v, StarterOptions &o, std::string &error) {
    std::error_code ec;
    fs::path folder = fs::path(v).parent_path();
    bool appendable = fs::exists(v, ec) ? fs::is_regular_file(v, ec) && access(v.c_str(), W_OK) == 0
                                        : access(folder.empty() ? "." : folder.c_str(), W_OK) == 0;
    if (v.empty() || !appendable) {
        error = "--report takes a file to append a line to for each input (its folder must exist and be "
                "writable); " + (v.empty() ? std::string("an empty name names none.") : v + " cannot be written.");
        return false;
    }
    o.report = v;
    return true;
}

bool onKeepDir(const std::string &v, StarterOptions &o, std::string &error) {
    std::error_code ec;
    if (!fs::is_directory(v, ec) || access(v.c_str(), W_OK) != 0) {
        error = "--keep-engine-files takes a folder that exists and is writable; " + v + " is none.";
        return false;
    }
    o.keepDir = v;
    return true;
}
