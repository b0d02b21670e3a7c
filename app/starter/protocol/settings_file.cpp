// Settings file: the 44 keys, their engine defaults, reading and writing.
#include "app/starter/protocol/settings_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/starter/files/regular_file.h"
#include "input/input.h"

namespace {

struct KeyDefault {
    const char *key;
    const char *value;
};

// Keys in the engine's test order, with the engine's defaults.
const KeyDefault KeyTable[] = {
    {"ExePath", ""}, {"WaveFile", ""}, {"Tracks", "0"}, {"Rate", "0"},
    {"BitsPerSample", "0"}, {"EntireWave", "0"}, {"CropSilence", "0"},
    {"StartPoint", "0.0"}, {"EndPoint", "0.0"}, {"VirtualSR", "0"},
    {"ReferencePitch", "440"}, {"AGC", "1"}, {"StereoPan", "50"}, {"KeyMin", "unset"},
    {"KeyMax", "unset"}, {"InputThreshold", "512"}, {"OutputThreshold", "unset"},
    {"BufferSize", "0"}, {"Resolution", "3.0"}, {"MinimumLength", "2"},
    {"PauseBetweenNotes", "0"}, {"PitchMode", "unset"}, {"Constrain", "0"},
    {"MidiFile", ""}, {"Channel", "1"}, {"Filter", "-1"}, {"Patch", "-1"},
    {"TimeSignatureNumerator", "4"}, {"TimeSignatureDenominator", "2"}, {"Tempo", "120.0"},
    {"Speed", "100"}, {"Transpose", "0"}, {"KeySignature", "8"}, {"MajorMinor", "0"},
    {"AutoDetectKey", "1"}, {"Gain", "unset"}, {"VelocityOn", "1"}, {"VelocityOff", "1"},
    {"TempoFile", ""}, {"PhaseMult", "3"}, {"ChordRes", "0"}, {"BufferIncrement", "0"},
    {"ClusterDetect", "0"}, {"Sensitivity", "1"},
};

// Position of key in the engine's order, or the number of keys when unknown.
size_t keyRank(const std::string &key) {
    const auto &keys = settingsKeys();
    return static_cast<size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
}

}  // namespace

std::string numberText(double value) { return numberText("%.10g", value); }

std::string numberText(const char *pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

const std::vector<std::string> &settingsKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (const KeyDefault &d : KeyTable)
            k.push_back(d.key);
        return k;
    }();
    return keys;
}

bool isSettingsKey(const std::string &key) { return keyRank(key) < settingsKeys().size(); }

std::string settingsKeyIgnoringCase(const std::string &key) {
    for (const std::string &k : settingsKeys()) {
        bool same = k.size() == key.size() &&
                    std::equal(k.begin(), k.end(), key.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                    });
        if (same)
            return k;
    }
    return "";
}

std::string engineDefault(const std::string &key) {
    for (const KeyDefault &d : KeyTable)
        if (key == d.key)
            return d.value;
    return "";
}

void setSetting(SettingsList &list, const std::string &key, const std::string &value) {
    for (SettingsEntry &e : list) {
        if (e.key == key) {
            e.value = value;
            return;
        }
    }
    list.push_back({key, value});
}

bool hasSetting(const SettingsList &list, const std::string &key) {
    return std::any_of(list.begin(), list.end(),
                       [&](const SettingsEntry &e) { return e.key == key; });
}

std::string getSetting(const SettingsList &list, const std::string &key,
                       const std::string &fallback) {
    for (const SettingsEntry &e : list)
        if (e.key == key)
            return e.value;
    return fallback;
}

void removeSetting(SettingsList &list, const std::string &key) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const SettingsEntry &e) { return e.key == key; }),
               list.end());
}

int settingInt(const SettingsList &list, const std::string &key, int fallback) {
    return hasSetting(list, key) ? leadingInt(getSetting(list, key)) : fallback;
}

double settingDecimal(const SettingsList &list, const std::string &key, double fallback) {
    return hasSetting(list, key) ? leadingDecimal(getSetting(list, key)) : fallback;
}

int leadingInt(const std::string &text) { return parseInt(text.c_str()); }

double leadingDecimal(const std::string &text) { return parseDecimal(text.c_str()); }

Settings engineReading(const std::string &text) {
    Settings s = defaultSettings();
    for (const TextPiece &piece : splitTextLines(text))
        applySettingsLineTo(s, piece.text);
    return s;
}

Settings engineSettings(const SettingsList &list) { return engineReading(settingsText(list)); }

std::string lineKey(const std::string &line) {
    for (const std::string &key : settingsKeys())
        if (line.find(key + "=") != std::string::npos)
            return key;
    return "";
}

void parseSettingsText(const std::string &text, SettingsList &list) {
    for (const TextPiece &piece : splitTextLines(text)) {
        std::string value;
        int index = settingsLineEntry(piece.text, value);
        if (index >= 0)
            setSetting(list, settingsKeys()[static_cast<size_t>(index)], value);
    }
}

std::string cutSettingsKey(const std::string &text) {
    std::string value;
    for (const TextPiece &piece : splitTextLines(text)) {
        int index = piece.cut ? settingsLineEntry(piece.text, value) : -1;
        if (index >= 0)
            return settingsKeys()[static_cast<size_t>(index)];
    }
    return "";
}

SettingsFileProblem readSettingsFile(const std::string &path, SettingsList &list) {
    std::string text, cause;
    switch (readRegularFile(path, MaxSettingsFileBytes, text, cause)) {
    case FileReadFault::None: break;
    case FileReadFault::Unreadable: return {SettingsFileFault::Unreadable, cause};
    case FileReadFault::NotRegular: return {SettingsFileFault::NotRegular, ""};
    case FileReadFault::TooLarge: return {SettingsFileFault::TooLarge, ""};
    }
    std::string cut = cutSettingsKey(text);
    if (!cut.empty())
        return {SettingsFileFault::LineCut, cut};
    parseSettingsText(text, list);
    return {};
}

SettingsList inEngineOrder(const SettingsList &list) {
    SettingsList sorted = list;
    std::stable_sort(sorted.begin(), sorted.end(), [](const SettingsEntry &a, const SettingsEntry &b) {
        return keyRank(a.key) < keyRank(b.key);
    });
    return sorted;
}

std::string settingsText(const SettingsList &list) {
    std::string text;
    for (const SettingsEntry &e : inEngineOrder(list))
        text += e.key + "=" + e.value + "\n";
    return text;
}

bool writeSettingsFile(const std::string &path, const SettingsList &list) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << settingsText(list);
    out.close();
    return static_cast<bool>(out);
}
