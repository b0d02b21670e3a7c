// MIDI files as the note lists read them: any bytes through the reader, and
// whatever it accepts into the note list, its CSV and JSON texts and the key's
// name. Times never go back and every note lies in a numbered bar.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/cli/messages.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/notes/note_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    MidiContent midi;
    std::string error;
    if (!parseMidi(bytes, midi, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    NoteList list = noteListOf(midi);
    for (const ListedNote &n : list.notes)
        if (!std::isfinite(n.onset) || !(n.offset >= n.onset) || n.pitch < 0 || n.pitch > 127 || n.bar < 0)
            std::abort();
    for (size_t i = 1; i < list.beats.size(); ++i)
        if (!(list.beats[i] >= list.beats[i - 1])) std::abort();
    std::string key = list.hasKey ? keyName(list.fifths, list.minor ? 1 : 0) : "";
    if (noteListCsv(list).empty() || noteListJson(list, key).empty()) std::abort();
    return 0;
}
