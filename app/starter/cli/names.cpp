// Key names, time signatures, grid words and plain numbers of the command line.
#include "app/starter/cli/names.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

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

bool parseNoteName(const std::string &text, int &key) {
    if (wholeInteger(text, 0, 127, key))
        return true;
    int accidental = 0;
    std::string octave;
    int pc = pitchClass(text, accidental, octave);
    bool octaveWritten = octave == "-1" || (octave.size() == 1 && std::isdigit(static_cast<unsigned char>(octave[0])));
    if (pc < 0 || !octaveWritten)
        return false;
    // The letter's own octave decides: B#3 is C4 and Cb4 is B3.
    int letter = ((pc - accidental) % 12 + 12) % 12;
    int k = (std::atoi(octave.c_str()) + 1) * 12 + letter + accidental;
    if (k < 0 || k > 127)
        return false;
    key = k;
    return true;
}

std::string lowerCase(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool wholeNumber(const std::string &text, double &value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

bool wholeInteger(const std::string &text, int lo, int hi, int &value) {
    double v;
    if (!wholeNumber(text, v) || v != std::floor(v) || v < lo || v > hi)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool parseKeyName(const std::string &name, int &keySignature, int &minor) {
    int accidental;
    std::string rest;
    int pc = pitchClass(name, accidental, rest);
    if (pc < 0)
        return false;
    std::string mode = lowerCase(rest);
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
    auto it = grids.find(lowerCase(word));
    return it == grids.end() ? -1 : it->second;
}

namespace {

// Steps between two words: letters added, dropped, changed, or two neighbours swapped.
size_t spellingDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::string closestName(const std::string &word, const std::vector<std::string> &names) {
    // Misspellings of short words reach too many other words to be a useful suggestion.
    const size_t allowed = word.size() >= 6 ? 2 : word.size() >= 3 ? 1 : 0;
    std::string best;
    size_t bestDistance = allowed + 1;
    for (const std::string &name : names) {
        size_t distance = spellingDistance(lowerCase(word), lowerCase(name));
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}
