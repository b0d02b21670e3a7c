// The tests' one reader of the engine's MIDI output: the events of a track
// body with their absolute times, as independent of the writer as possible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One event of a track, with its absolute time in ticks.
struct TrackEvent {
    int64_t tick = 0;
    int type = 0;      // 0x80, 0x90, 0xC0 (note holds the program) or 0xFF (meta)
    int note = 0;
    int velocity = 0;
    int meta = 0;      // the meta event's kind (0x06 marker, 0x2F end of track, ...)
    std::string text;  // the meta event's data
};

/** Events of a track body (running status resolved; a meta event ends it). `problem`
    names the first offset that is no event, "" when the whole body was read. */
std::vector<TrackEvent> readTrackEvents(const std::string &body, std::string &problem);
/** Note-ons and note-offs of the engine's single-track output file (its body starts at byte 22). */
std::vector<TrackEvent> readMidiNotes(const std::string &path);
