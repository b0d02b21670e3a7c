// The refined MIDI file: the engine's leading events (time signature,
// tempo, key signature, text, program change), its chord markers, the
// refined notes at their ticks, and the tempo of every beat when the grid
// followed a tempo file, so that the file plays in time with the recording.
// Its division and tempi count quarter notes as MIDI defines them (the
// engine's count beats of the metre's note value: eighths in 6/8), and its
// time signature clicks on the beat counted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/refine/rules.h"
#include "app/starter/refine/timeline.h"

/** The refined file's bytes in the written time w (tick 0 at the region's start, a pick-up's time
 *  signature before the first bar line); quantize snaps each onset and end to the nearest step. */
std::vector<uint8_t> refinedMidi(const MidiContent &engine, const std::vector<TimedNote> &notes, const Timeline &t,
                                 const WrittenTime &w, bool quantize);
/** The tick of a time of the recording in the refined file (never below 0). */
int64_t noteTick(const Timeline &t, const WrittenTime &w, double seconds, bool quantize);
/** Writes bytes to path; false with a sentence when that fails. */
bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error);
