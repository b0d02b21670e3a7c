// Settings file reader and the conversions shared by the set-up.
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/finish.h"
#include "input/input.h"

Settings settings;
Derived derived;
InputFiles inputFiles;
int32_t FilterTable[FilterSize * FilterSize];

namespace {

enum class Kind { Integer, Decimal, Resolution, Factor, String };

struct KeyTarget {
    Kind kind;
    int *integer;
    double *decimal;
    float *single;
    std::string *text;
};

KeyTarget intKey(int &v) { return {Kind::Integer, &v, nullptr, nullptr, nullptr}; }
KeyTarget decKey(double &v) { return {Kind::Decimal, nullptr, &v, nullptr, nullptr}; }
KeyTarget strKey(std::string &v) { return {Kind::String, nullptr, nullptr, nullptr, &v}; }
KeyTarget factorKey(float &v) { return {Kind::Factor, nullptr, nullptr, &v, nullptr}; }

// Where each key of SettingsKeys stores its value, in the same order.
KeyTarget targetOf(Settings &s, int index) {
    switch (index) {
    case 0: return strKey(s.ExePath);
    case 1: return strKey(s.WaveFile);
    case 2: return intKey(s.Tracks);
    case 3: return intKey(s.Rate);
    case 4: return intKey(s.BitsPerSample);
    case 5: return intKey(s.EntireWave);
    case 6: return intKey(s.CropSilence);
    case 7: return decKey(s.StartPoint);
    case 8: return decKey(s.EndPoint);
    case 9: return intKey(s.VirtualSR);
    case 10: return intKey(s.ReferencePitch);
    case 11: return intKey(s.AGC);
    case 12: return intKey(s.StereoPan);
    case 13: return intKey(s.KeyMin);
    case 14: return intKey(s.KeyMax);
    case 15: return intKey(s.InputThreshold);
    case 16: return intKey(s.OutputThreshold);
    case 17: return intKey(s.BufferSize);
    case 18: return {Kind::Resolution, nullptr, nullptr, &s.Resolution, nullptr};
    case 19: return intKey(s.MinimumLength);
    case 20: return intKey(s.PauseBetweenNotes);
    case 21: return intKey(s.PitchMode);
    case 22: return intKey(s.Constrain);
    case 23: return strKey(s.MidiFile);
    case 24: return intKey(s.Channel);
    case 25: return intKey(s.Filter);
    case 26: return intKey(s.Patch);
    case 27: return intKey(s.TimeSignatureNumerator);
    case 28: return intKey(s.TimeSignatureDenominator);
    case 29: return decKey(s.Tempo);
    case 30: return factorKey(s.Speed);
    case 31: return intKey(s.Transpose);
    case 32: return intKey(s.KeySignature);
    case 33: return intKey(s.MajorMinor);
    case 34: return intKey(s.AutoDetectKey);
    case 35: return factorKey(s.Gain);
    case 36: return intKey(s.VelocityOn);
    case 37: return intKey(s.VelocityOff);
    case 38: return strKey(s.TempoFile);
    case 39: return intKey(s.PhaseMult);
    case 40: return intKey(s.ChordRes);
    case 41: return intKey(s.BufferIncrement);
    case 42: return intKey(s.ClusterDetect);
    default: return intKey(s.Sensitivity);
    }
}

// A double rounded to float; values beyond the float range become infinite.
float toFloat(double x) {
    if (x > FLT_MAX) return INFINITY;
    if (x < -FLT_MAX) return -INFINITY;
    return static_cast<float>(x);
}

void storeValue(const KeyTarget &target, const std::string &value) {
    switch (target.kind) {
    case Kind::Integer: *target.integer = parseInt(value.c_str()); break;
    case Kind::Decimal: *target.decimal = parseDecimal(value.c_str()); break;
    case Kind::Resolution: *target.single = toFloat(parseDecimal(value.c_str())); break;
    case Kind::Factor: *target.single = static_cast<float>(parseInt(value.c_str())); break;
    case Kind::String: *target.text = value.substr(0, 255); break;
    }
}

}  // namespace

int parseInt(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);
}

double parseDecimal(const char *text) {
    std::string copy(text);
    for (char &ch : copy)
        if (ch == ',') ch = '.';
    return std::strtod(copy.c_str(), nullptr);
}

int truncInt(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT_MAX;
    if (x <= -2147483648.0) return INT_MIN;
    return static_cast<int>(x);
}

int64_t truncInt64(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775807.0) return INT64_MAX;
    if (x <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(x);
}

int referencePitchInRange(int hz) {
    return hz < LowestReferencePitch || hz > HighestReferencePitch ? StandardReferencePitch : hz;
}

double keyFrequency(int k) {
    const float c12 = 1.0f / 12.0f;
    return settings.ReferencePitch * std::pow(2.0, (static_cast<double>(k) - 69.0) * c12);
}

Settings defaultSettings() {
    Settings s{};
    s.ReferencePitch = 440;
    s.AGC = 1;
    s.StereoPan = 50;
    s.KeyMin = s.KeyMax = s.OutputThreshold = s.PitchMode = 999;
    s.InputThreshold = 512;
    s.Resolution = 3.0f;
    s.MinimumLength = 2;
    s.Channel = 1;
    s.Filter = -1;
    s.Patch = -1;
    s.TimeSignatureNumerator = 4;
    s.TimeSignatureDenominator = 2;
    s.Tempo = 120.0;
    s.Speed = 100.0f;
    s.KeySignature = 8;
    s.AutoDetectKey = 1;
    s.Gain = 999.0f;
    s.VelocityOn = s.VelocityOff = 1;
    s.PhaseMult = 3;
    s.Sensitivity = 1;
    return s;
}

void resetSettings() {
    settings = defaultSettings();
    derived = Derived{};
    std::memset(FilterTable, 0, sizeof FilterTable);
}

void applySettingsLineTo(Settings &target, const std::string &piece) {
    std::string value;
    int index = settingsLineEntry(piece, value);
    if (index >= 0) storeValue(targetOf(target, index), value);
}

void applySettingsLine(const std::string &piece) { applySettingsLineTo(settings, piece); }

void readSettings(const char *path) {
    std::string text;
    if (!readTextFile(path, text)) finish(CodeOpenFailure, 8);
    for (const TextPiece &piece : splitTextLines(text)) {
        std::string value;
        // A path cut by the piece rule would name another file: the run ends before any is opened.
        if (piece.cut && isStringKey(settingsLineEntry(piece.text, value))) finish(CodeOpenFailure, 36);
        applySettingsLine(piece.text);
    }
}
