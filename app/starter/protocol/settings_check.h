// The settings file read back the way the engine reads it, so that no value
// the starter writes reaches the engine as another key or cut short.
#pragma once

#include <string>

#include "app/starter/protocol/settings_file.h"

/** False when the engine ignores entry's line (an empty value, a text key's line of 10 characters
 *  or fewer), so that the entry leaves the earlier value unchanged; true for every line it takes
 *  or would misread (readBackProblem names those). */
bool engineTakes(const SettingsEntry &entry);
// How settings fail to reach the engine as written.
enum class SettingsProblemKind {
    None,
    TooLong,      // key's line is longer than the engine reads
    HoldsKey,     // key's value holds "other=": the engine would read it as other
    HoldsBreak,   // key's value holds a line break or a NUL character
    NotReadBack,  // the text does not read back as written, though every entry alone would
    Unreadable,   // the file cannot be read back: the system's words in detail
};
struct SettingsProblem {
    SettingsProblemKind kind = SettingsProblemKind::None;
    std::string key;
    std::string detail;     // HoldsKey: the other key; Unreadable: why
};

/** Kind None when text, read with the engine's line reader, gives every entry of list as written
 *  (text being settingsText(list)); else what is wrong with the first entry that does not. */
SettingsProblem readBackProblem(const std::string &text, const SettingsList &list);
/** True when two readings of settings hold the same values (floating-point ones to the bit). */
bool sameSettings(const Settings &a, const Settings &b);
/** Reads the settings file at path back and checks it like readBackProblem, and that the engine's
 *  reading of it holds the values handed on (NotReadBack when it does not). */
SettingsProblem settingsFileProblem(const std::string &path, const SettingsList &list, const Settings &values);
