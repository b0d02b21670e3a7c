// Reading back what the starter wrote, with the engine's own line reader.
#include "app/starter/protocol/settings_check.h"

#include "app/starter/files/regular_file.h"
#include "input/input.h"

namespace {

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

SettingsProblem settingsFileProblem(const std::string &path, const SettingsList &list) {
    std::string text, reason;
    if (!readRegularFile(path, MaxSettingsFileBytes, text, reason))
        return SettingsProblem{SettingsProblemKind::Unreadable, "", reason};
    return readBackProblem(text, list);
}
