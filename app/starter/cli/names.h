// Musicians' words on the command line: key names, time signatures, grid values,
// and the plain numbers the options take.
#pragma once

#include <string>
#include <vector>

/** The text in lower case (ASCII letters only). */
std::string lowerCase(std::string text);
/** A whole decimal number (no leading space, no trailing text, finite); false otherwise. */
bool wholeNumber(const std::string &text, double &value);
/** A whole integer within lo..hi written as a decimal number; false otherwise. */
bool wholeInteger(const std::string &text, int lo, int hi, int &value);

/** Key signature and mode of a key name such as C, Am, Eb, F#m, "Bb minor". */
bool parseKeyName(const std::string &name, int &keySignature, int &minor);
/** Numerator and denominator power of "3/4", "6/8"; false when malformed. */
bool parseTimeSignature(const std::string &text, int &numerator, int &denominatorPower);
/** The MIDI key 0..127 of a note name in scientific pitch notation, A0 (21), C#3 (49), Bb2 (46),
 *  c-1 (0), C4 (60), or of a key number 0..127; false otherwise. */
bool parseNoteName(const std::string &text, int &key);
/** Resolution for a grid word (8th, 16th, 32nd, ...); -1 when unknown. */
int gridResolution(const std::string &word);

/** The name of names closest to word in spelling, ignoring case: a letter added, dropped, changed
 *  or two swapped counts one step; "" when none is within one step (two for words of 6 or more). */
std::string closestName(const std::string &word, const std::vector<std::string> &names);
