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

// The sentence for an entry whose own line does not read back as itself.
std::string entryProblem(const SettingsEntry &entry) {
    std::vector<TextPiece> pieces = splitTextLines(entry.key + "=" + entry.value + "\n");
    if (pieces.size() == 1 && readsAs(pieces[0], entry))
        return "";
    if (pieces.size() != 1 || pieces[0].cut)
        return "The value of " + entry.key + " is longer than the engine reads (254 characters to a line, the "
               "key included); shorten it.";
    std::string value;
    int index = settingsLineEntry(pieces[0].text, value);
    if (index >= 0 && SettingsKeys[index] != entry.key + "=") {
        std::string other = SettingsKeys[index];
        other.pop_back();
        return "The value of " + entry.key + " contains \"" + other + "=\", so the engine would read it as " +
               other + "; a value may not contain a settings key.";
    }
    return "The value of " + entry.key + " would not reach the engine as given (it holds a line break or a NUL "
           "character); give it without them.";
}

}  // namespace

bool engineTakes(const SettingsEntry &entry) {
    std::vector<TextPiece> pieces = splitTextLines(entry.key + "=" + entry.value + "\n");
    std::string value;
    return pieces.size() != 1 || pieces[0].cut || entry.value.find('\0') != std::string::npos ||
           settingsLineEntry(pieces[0].text, value) >= 0;
}

std::string readBackProblem(const std::string &text, const SettingsList &list) {
    SettingsList sorted = inEngineOrder(list);
    std::vector<TextPiece> pieces = splitTextLines(text);
    bool sound = pieces.size() == sorted.size();
    for (size_t i = 0; sound && i < pieces.size(); ++i)
        sound = readsAs(pieces[i], sorted[i]);
    if (sound)
        return "";
    for (const SettingsEntry &entry : sorted) {
        std::string problem = entryProblem(entry);
        if (!problem.empty())
            return problem;
    }
    return "The settings file could not be read back as it was written; make sure the temporary folder "
           "(TMPDIR) is not full.";
}

std::string settingsFileProblem(const std::string &path, const SettingsList &list) {
    std::string text, reason;
    if (!readRegularFile(path, MaxSettingsFileBytes, text, reason))
        return "The settings file written for the engine cannot be read back (" + reason +
               "); make sure the temporary folder (TMPDIR) is writable.";
    return readBackProblem(text, list);
}
