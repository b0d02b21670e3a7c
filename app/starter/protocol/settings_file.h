// The engine's settings file as the starter writes and reads it: an ordered
// list of Key=Value entries over the engine's 44 keys.
#pragma once

#include <string>
#include <vector>

#include "input/input.h"

// One Key=Value entry; the key is written without its "=".
struct SettingsEntry {
    std::string key;
    std::string value;
};

// Entries in the order they are set; a key occurs at most once.
using SettingsList = std::vector<SettingsEntry>;

/** Text of a number for the settings file (up to 10 significant digits). */
std::string numberText(double value);
/** A number written with a printf pattern for one double, such as "%.1f", "%g" or "%.17g". */
std::string numberText(const char *pattern, double value);
/** The 44 settings keys, without "=", in the order the engine tests them. */
const std::vector<std::string> &settingsKeys();
/** True when key is one of the 44 settings keys (case-sensitive). */
bool isSettingsKey(const std::string &key);
/** The known key that matches key ignoring case, or "" when there is none. */
std::string settingsKeyIgnoringCase(const std::string &key);
/** The engine's default for key as text ("unset" for the five derived ones). */
std::string engineDefault(const std::string &key);

/** Sets key to value, replacing an earlier value of the same key. */
void setSetting(SettingsList &list, const std::string &key, const std::string &value);
/** True when key has an entry in list. */
bool hasSetting(const SettingsList &list, const std::string &key);
/** Value of key, or fallback when key has no entry. */
std::string getSetting(const SettingsList &list, const std::string &key,
                       const std::string &fallback = "");
/** Removes the entry of key, if any. */
void removeSetting(SettingsList &list, const std::string &key);
/** Integer value of key read like atoi (fraction dropped), or fallback when absent. */
int settingInt(const SettingsList &list, const std::string &key, int fallback);
/** Decimal value of key read like atof after ',' became '.', or fallback when absent. */
double settingDecimal(const SettingsList &list, const std::string &key, double fallback);

/** The engine's integer reading (parseInt): white space, sign, digits; saturates to the int range. */
int leadingInt(const std::string &text);
/** The engine's decimal reading (parseDecimal): atof-like after every ',' has become '.'. */
double leadingDecimal(const std::string &text);

/** The engine's settings after its defaults and the lines of settings-file text, read by its own
 *  line reader (values it ignores, such as an empty one, leave the default). */
Settings engineReading(const std::string &text);
/** The engine's reading of the settings-file text of list. */
Settings engineSettings(const SettingsList &list);

/** Key of one line as the engine matches it (first key literal found), or "". */
std::string lineKey(const std::string &line);
// The largest settings file the starter reads; real ones hold a few hundred bytes.
constexpr size_t MaxSettingsFileBytes = 1 << 20;

/** Adds the entries of settings-file text to list with the engine's own line reader. */
void parseSettingsText(const std::string &text, SettingsList &list);
/** The key of the first line that the engine would take cut into pieces, or "". */
std::string cutSettingsKey(const std::string &text);
// Why a settings file cannot be read.
enum class SettingsFileFault {
    None,
    Unreadable,  // it cannot be opened or read: the system's words in the cause
    NotRegular,  // a folder, a pipe, a socket or a device
    TooLarge,    // larger than MaxSettingsFileBytes
    LineCut,     // a line longer than the engine reads would cut a value: its key in the cause
};
struct SettingsFileProblem {
    SettingsFileFault fault = SettingsFileFault::None;
    std::string cause;
};
/** Reads a settings file (a regular file of at most 1 MB, no line cut) into list; the problem's
 *  fault is None when it could. */
SettingsFileProblem readSettingsFile(const std::string &path, SettingsList &list);
/** The entries of list in the order the engine tests their keys. */
SettingsList inEngineOrder(const SettingsList &list);
/** Settings-file text of list, one Key=Value line each, in the engine's key order. */
std::string settingsText(const SettingsList &list);
/** Writes list as a settings file; false when the file cannot be written. */
bool writeSettingsFile(const std::string &path, const SettingsList &list);
