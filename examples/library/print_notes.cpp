// Transcribes a recording with libsonoscriptor, prints its notes (onset and offset in seconds,
// MIDI pitch, velocity) and writes its MIDI file. Build: g++ print_notes.cpp $(pkg-config --cflags --libs sonoscriptor)
#include <cstdio>
#include <sonoscriptor/sonoscriptor.h>

int main(int argc, char **argv) {
    if (argc != 3)
        return std::fprintf(stderr, "usage: print_notes RECORDING OUT.mid\n"), 9;
    try {
        sonoscriptor::Transcription t = sonoscriptor::transcribe(argv[1]);
        for (const sonoscriptor::Note &n : t.notes)
            std::printf("%.3f %.3f %d %d\n", n.onset, n.offset, n.pitch, n.velocity);
        sonoscriptor::write_midi(t, argv[2]);
    } catch (const sonoscriptor::Error &e) {
        return std::fprintf(stderr, "%s\n", e.what()), e.exit_code();
    }
}
