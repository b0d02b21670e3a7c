// The settings file read back the way the engine reads it, so that no value
// the starter writes reaches the engine as another key or cut short.
#pragma once

#include <string>

#include "app/starter/protocol/settings_file.h"

/** False when the engine ignores entry's line (an empty value, a text key's line of 10 characters
 *  or fewer), so that the entry leaves the earlier value unchanged; true for every line it takes
 *  or would misread (readBackProblem names those). */
bool engineTakes(const SettingsEntry &entry);
/** "" when text, read with the engine's line reader, gives every entry of list as written
 *  (text being settingsText(list)); else a sentence naming the first entry that does not. */
std::string readBackProblem(const std::string &text, const SettingsList &list);
/** Reads the settings file at path back and checks it like readBackProblem; "" when sound. */
std::string settingsFileProblem(const std::string &path, const SettingsList &list);
