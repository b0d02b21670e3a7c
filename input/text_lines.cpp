// The text-mode line reader shared by the settings file and the filter index,
// and the key match of one settings line. No run state: the starter reads its
// settings files back with these same functions.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "input/input.h"

const char *const SettingsKeys[SettingsKeyCount] = {
    "ExePath=", "WaveFile=", "Tracks=", "Rate=", "BitsPerSample=", "EntireWave=",
    "CropSilence=", "StartPoint=", "EndPoint=", "VirtualSR=", "ReferencePitch=", "AGC=",
    "StereoPan=", "KeyMin=", "KeyMax=", "InputThreshold=", "OutputThreshold=", "BufferSize=",
    "Resolution=", "MinimumLength=", "PauseBetweenNotes=", "PitchMode=", "Constrain=",
    "MidiFile=", "Channel=", "Filter=", "Patch=", "TimeSignatureNumerator=",
    "TimeSignatureDenominator=", "Tempo=", "Speed=", "Transpose=", "KeySignature=",
    "MajorMinor=", "AutoDetectKey=", "Gain=", "VelocityOn=", "VelocityOff=", "TempoFile=",
    "PhaseMult=", "ChordRes=", "BufferIncrement=", "ClusterDetect=", "Sensitivity=",
};

std::vector<TextPiece> splitTextLines(const std::string &text) {
    std::string plain;  // a CR right before a LF is dropped
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain.push_back(text[i]);
    std::vector<TextPiece> pieces;
    for (size_t pos = 0; pos < plain.size();) {
        size_t end = plain.find('\n', pos);
        size_t lineLength = end == std::string::npos ? plain.size() - pos : end - pos + 1;
        const bool cut = lineLength > MaxLinePiece;
        for (size_t at = 0; at < lineLength; at += MaxLinePiece)
            pieces.push_back({plain.substr(pos + at, std::min(MaxLinePiece, lineLength - at)), cut});
        pos += lineLength;
    }
    return pieces;
}

bool readTextFile(const char *path, std::string &text) {
    FILE *file = std::fopen(path, "rb");
    if (!file) return false;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    const bool read = std::ferror(file) == 0;  // a folder opens, and its first read fails
    std::fclose(file);
    return read;
}

bool readTextLines(const char *path, std::vector<std::string> &lines) {
    std::string text;
    if (!readTextFile(path, text)) return false;
    for (TextPiece &piece : splitTextLines(text)) lines.push_back(std::move(piece.text));
    return true;
}

bool isStringKey(int index) { return index == 0 || index == 1 || index == 23 || index == 38; }

int settingsLineEntry(const std::string &piece, std::string &value) {
    std::string line = piece.substr(0, std::strlen(piece.c_str()));  // a C string ends at NUL
    value.clear();
    for (int index = 0; index < SettingsKeyCount; ++index) {
        if (line.find(SettingsKeys[index]) == std::string::npos) continue;
        if (isStringKey(index) && line.size() <= 10) return -1;  // too short to be taken
        value = line.substr(line.find('=') + 1);
        if (!value.empty() && value.back() == '\n') value.pop_back();
        return value.empty() ? -1 : index;
    }
    return -1;
}
