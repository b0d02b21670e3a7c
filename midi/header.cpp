// MIDI file: the header area written over the reserved 98 bytes.
#include <cstring>

#include "engine/finish.h"
#include "input/input.h"
#include "midi/midi.h"

namespace {

void writeBytes(std::initializer_list<int> bytes) {
    for (int b : bytes) writeByte(b);
}

int keySignatureByte() {
    int ks = settings.KeySignature;
    if (ks == 8) return 0;
    return ks < 0 ? 256 + ks : ks;
}

}  // namespace

void writeMidiHeader() {
    const int32_t length = writer.byteCount + 76;
    flushMidi();
    std::clearerr(writer.midi);
    if (fseeko(writer.midi, 0, SEEK_SET) != 0) finish(CodeWriteFailure, 22);
    writeText("MThd", 4, 19);
    writeBytes({0, 0, 0, 6, 0, 0, 0, 1});
    double b;
    int64_t c, t;
    midiTimeBase(b, c, t);
    writeBytes({static_cast<int>(c >> 8), static_cast<int>(c - 256 * (c >> 8))});
    writeText("MTrk", 4, 20);
    writeBytes({length >> 24, length >> 16, length >> 8, length});
    writeBytes({0x00, 0xFF, 0x58, 0x04, settings.TimeSignatureNumerator, settings.TimeSignatureDenominator, 0x18, 0x08});
    writeBytes({0x00, 0xFF, 0x51, 0x03, static_cast<int>(t >> 16), static_cast<int>(t >> 8), static_cast<int>(t)});
    writeBytes({0x00, 0xFF, 0x59, 0x02, keySignatureByte(), settings.MajorMinor});
    writeBytes({0x00, 0xFF, 0x01, 0x30});
    writeText(MidiText, 48, 35);
    writeBytes({0x00, 0xC0 | settings.Channel, settings.Patch});
}
