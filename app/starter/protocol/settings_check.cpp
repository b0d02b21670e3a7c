// Reading back what the starter wrote, with the engine's own line reader.
#include "app/starter/protocol/settings_check.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "app/starter/files/regular_file.h"
#include "input/input.h"

namespace {

// The fields of the engine's settings by their type.
const std::string Settings::*const TextFields[] = {&Settings::ExePath, &Settings::WaveFile, &Settings::MidiFile,
                                                   &Settings::TempoFile};
const int Settings::*const IntFields[] = {
    &Settings::Tracks, &Settings::Rate, &Settings::BitsPerSample, &Settings::EntireWave, &Settings::CropSilence,
    &Settings::VirtualSR, &Settings::ReferencePitch, &Settings::AGC, &Settings::StereoPan, &Settings::KeyMin,
    &Settings::KeyMax, &Settings::InputThreshold, &Settings::OutputThreshold, &Settings::BufferSize,
    &Settings::MinimumLength, &Settings::PauseBetweenNotes, &Settings::PitchMode, &Settings::Constrain,
    &Settings::Channel, &Settings::Filter, &Settings::Patch, &Settings::TimeSignatureNumerator,
    &Settings::TimeSignatureDenominator, &Settings::Transpose, &Settings::KeySignature, &Settings::MajorMinor,
    &Settings::AutoDetectKey, &Settings::VelocityOn, &Settings::VelocityOff, &Settings::PhaseMult,
    &Settings::ChordRes, &Settings::BufferIncrement, &Settings::ClusterDetect, &Settings::Sensitivity};
const double Settings::*const DecimalFields[] = {&Settings::StartPoint, &Settings::EndPoint, &Settings::Tempo};
const float Settings::*const FloatFields[] = {&Settings::Resolution, &Settings::Speed, &Settings::Gain};
// 4 text, 34 integer and 6 floating-point fields: every one of the 44 keys.
static_assert(std::size(TextFields) + std::size(IntFields) + std::size(DecimalFields) + std::size(FloatFields) == 44);

// True when field holds the same value in a and b (to the bit: a NaN asked for equals itself).
template <class T, size_t N>
bool sameFields(const Settings &a, const Settings &b, const T Settings::*const (&fields)[N]) {
    return std::all_of(std::begin(fields), std::end(fields), [&](const T Settings::*field) {
        if constexpr (std::is_same_v<T, double>)
            return std::bit_cast<uint64_t>(a.*field) == std::bit_cast<uint64_t>(b.*field);
        else if constexpr (std::is_same_v<T, float>)
            return std::bit_cast<uint32_t>(a.*field) == std::bit_cast<uint32_t>(b.*field);
        else
            return a.*field == b.*field;
    });
}

// True when the engine takes the piece as entry's key with entry's value, or ignores it
// (an empty value, a text line too short to be taken) as it would ignore the entry.
bool readsAs(const TextPiece &piece, const SettingsEntry &entry) {
    std::string value;
    int index = settingsLineEntry(piece.text, value);
    if (piece.cut)
        return false;
    if (index < 0)
        return entry.value.empty() || (piece.text.find('\0') == std::string::npos && piece.text.size() <= 10);
    return SettingsKeys[index] == entry.key + "=" && value == entry.value;
}

// Why an entry's own line does not read back as itself; kind None when it does.
SettingsProblem entryProblem(const SettingsEntry &entry) {
    std::vector<TextPiece> pieces = splitTextLines(entry.key + "=" + entry.value + "\n");
    if (pieces.size() == 1 && readsAs(pieces[0], entry))
        return SettingsProblem{};
    if (pieces.size() != 1 || pieces[0].cut)
        return SettingsProblem{SettingsProblemKind::TooLong, entry.key, ""};
    std::string value;
    int index = settingsLineEntry(pieces[0].text, value);
    if (index >= 0 && SettingsKeys[index] != entry.key + "=") {
        std::string other = SettingsKeys[index];
        other.pop_back();
        return SettingsProblem{SettingsProblemKind::HoldsKey, entry.key, other};
    }
    return SettingsProblem{SettingsProblemKind::HoldsBreak, entry.key, ""};
}

}  // namespace

bool engineTakes(const SettingsEntry &entry) {
    std::vector<TextPiece> pieces = splitTextLines(entry.key + "=" + entry.value + "\n");
    std::string value;
    return pieces.size() != 1 || pieces[0].cut || entry.value.find('\0') != std::string::npos ||
           settingsLineEntry(pieces[0].text, value) >= 0;
}

SettingsProblem readBackProblem(const std::string &text, const SettingsList &list) {
    SettingsList sorted = inEngineOrder(list);
    std::vector<TextPiece> pieces = splitTextLines(text);
    bool sound = pieces.size() == sorted.size();
    for (size_t i = 0; sound && i < pieces.size(); ++i)
        sound = readsAs(pieces[i], sorted[i]);
    if (sound)
        return SettingsProblem{};
    for (const SettingsEntry &entry : sorted) {
        SettingsProblem problem = entryProblem(entry);
        if (problem.kind != SettingsProblemKind::None)
            return problem;
    }
    return SettingsProblem{SettingsProblemKind::NotReadBack, "", ""};
}

bool sameSettings(const Settings &a, const Settings &b) {
    return sameFields(a, b, TextFields) && sameFields(a, b, IntFields) && sameFields(a, b, DecimalFields) &&
           sameFields(a, b, FloatFields);
}

SettingsProblem settingsFileProblem(const std::string &path, const SettingsList &list, const Settings &values) {
    std::string text, cause;
    FileReadFault fault = readRegularFile(path, MaxSettingsFileBytes, text, cause);
    if (fault == FileReadFault::Unreadable)
        return SettingsProblem{SettingsProblemKind::Unreadable, "", cause};
    SettingsProblem problem = readBackProblem(fault == FileReadFault::None ? text : "", list);
    if (problem.kind == SettingsProblemKind::None && !sameSettings(engineReading(text), values))
        problem.kind = SettingsProblemKind::NotReadBack;
    return problem;
}
