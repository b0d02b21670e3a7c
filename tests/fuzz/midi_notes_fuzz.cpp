// MIDI files as the note lists read them: any bytes through the reader, and
// whatever it accepts into the note list, its CSV and JSON texts and the key's
// name. Times never go back and every note lies in a numbered bar. Files whose
// notes run past 100 000 beats are left out (a damaged time signature's note
// value can be 2^-255 of a whole): the list caps its beats at 1.44 million,
// which takes about ten seconds under the sanitizers. Note lists are made of
// the MIDI files we write, whose note values go down to the 64th.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/cli/messages.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/notes/note_list.h"
#include "tests/fuzz/midi_input.h"

namespace {

// More beats than are worth fuzzing.
constexpr double FuzzedBeats = 1e5;

// Beats a quarter note holds at most: 64th notes, or the file's own note value where it is shorter.
double beatsAQuarter(const MidiContent &midi) {
    return std::max(16.0, std::ldexp(1.0, midi.denominatorPower) / 4);
}

bool tooLongToFuzz(const MidiContent &midi) {
    return midi.division > 0 &&
           static_cast<double>(lastTickOf(midi)) / midi.division * beatsAQuarter(midi) > FuzzedBeats;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MidiContent midi;
    if (!fuzzedMidi(data, size, midi) || tooLongToFuzz(midi)) return 0;
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
