// MIDI event writer: delta times, running status, notes and chord markers.
#include <cstring>

#include "engine/finish.h"
#include "input/input.h"
#include "midi/midi.h"

WriterState writer;

void resetWriter() {
    writer.byteCount = 0;
    writer.runningStatus = 0;
    writer.firstEvent = 1;
    writer.firstMarkerName[0] = '\0';
}

void writeByte(int b) {
    if (std::fputc(b & 0xFF, writer.midi) == EOF) finish(CodeWriteFailure, 22);
    writer.byteCount += 1;
}

void writeText(const char *text, int length, int detail) {
    if (length > 0 && std::fwrite(text, 1, length, writer.midi) != static_cast<size_t>(length))
        finish(CodeWriteFailure, detail);
    writer.byteCount += length;
}

void flushMidi() {
    if (std::fflush(writer.midi) != 0) finish(CodeWriteFailure, 22);
}

int variableLength(uint64_t value, uint8_t *bytes) {
    uint8_t groups[MaxVariableLength];
    int count = 0;
    do {
        groups[count++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0 && count < MaxVariableLength);
    for (int i = 0; i < count; ++i) {
        const int group = groups[count - 1 - i];
        bytes[i] = static_cast<uint8_t>(i < count - 1 ? group | 0x80 : group);
    }
    return count;
}

void writeDeltaTime(int32_t steps) {
    uint8_t bytes[MaxVariableLength];
    const int count = variableLength(static_cast<uint64_t>(static_cast<int64_t>(steps) * TicksPerStep), bytes);
    for (int i = 0; i < count; ++i) writeByte(bytes[i]);
}

int noteNumber(int key) {
    if (settings.PitchMode == 0) return derived.rhythmNote;
    int note = key + settings.Transpose;
    while (note > 127) note -= 12;
    while (note < 0) note += 12;
    return note;
}

int velocity(int type, int value) {
    if (type == 0x90 && settings.VelocityOn == 0) return derived.fixedVelocity;
    if (type == 0x80 && settings.VelocityOff == 0) return derived.fixedVelocity;
    int v = truncInt(value * static_cast<double>(derived.gainFactor) + 0.5);
    if (v > 127) return 127;
    if (v == 0) return 1;
    return v;
}

namespace {

void writeMarker(const char *name) {
    int length = static_cast<int>(strnlen(name, 3));
    writeByte(0xFF);
    writeByte(0x06);
    writeByte(length);
    writeText(name, length, 29);
    writer.runningStatus = 0xFF;
}

}  // namespace

void writeMarkerEvent(int32_t &deltaSteps, const char *name) {
    if (writer.firstEvent == 1) {
        std::memcpy(writer.firstMarkerName, name, sizeof writer.firstMarkerName);
        return;
    }
    writeDeltaTime(deltaSteps);
    deltaSteps = 0;
    writeMarker(name);
}

void writeNoteEvent(int32_t &deltaSteps, int type, int key, int value) {
    if (writer.firstEvent == 1) {
        writer.firstEvent = 0;
        writeByte(0x00);
        writeMarker(writer.firstMarkerName);
        if (derived.stepsPerBar != 0) deltaSteps %= derived.stepsPerBar;
    }
    writeDeltaTime(deltaSteps);
    deltaSteps = 0;
    int status = type | settings.Channel;
    if (status != writer.runningStatus) {
        writeByte(status);
        writer.runningStatus = status;
    }
    writeByte(noteNumber(key));
    writeByte(velocity(type, value));
}
