// The finish routine: the one way a run ends once the launch token is accepted.
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"
#include "midi/midi.h"

namespace {

void closeFile(FILE *&file) {
    if (file) std::fclose(file);
    file = nullptr;
}

template <typename T> void release(T *&block) {
    std::free(block);
    block = nullptr;
}

// Closes the completed MIDI file; a failure is a failed write (code 5/22).
void closeMidiOutput() {
    flushMidi();
    FILE *file = writer.midi;
    writer.midi = nullptr;
    if (std::fclose(file) != 0) finish(CodeWriteFailure, 22);
}

}  // namespace

void completeMidiFile() {
    if (run.CurrentRow >= 0) processBlock();
    // Two steps of silence end the notes still sounding.
    int32_t *silence = analysis.KeyStrengths;
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) silence[k] = 0;
    for (int i = 0; i < 2 * derived.framesPerStep; ++i) trackNotes(silence, run.CurrentRow, analysis.chordName);
    for (int b : {0x00, 0xFF, 0x2F, 0x00}) writeByte(b);
    if (settings.AutoDetectKey) detectPieceKey();
    writeMidiHeader();
    closeMidiOutput();
}

void deleteOutput() {
    const std::string &name = settings.MidiFile;
    struct stat out;
    if (name.empty() || stat(name.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return;
    if (outputNamesAnInput()) return;
    unlink(name.c_str());
}

void closeRun(int code) {
    closeFile(inputFiles.tempo);
    closeFile(inputFiles.wave);
    closeFile(writer.midi);
    if (code > 1) deleteOutput();
    stopFramePool();
    releaseKeyTables();
    release(analysis.FrameSamples);
    release(inputFiles.frameBytes);
    release(analysis.FilteredFrame);
    release(analysis.LevelMatrix);
    analysis.heldRows = analysis.heldFrom = analysis.spareRow = 0;
    release(tracker.keys);
    release(derived.allowedKeys);
}

void finish(int code, int detail) {
    if (code <= 1 && !run.finishing && writer.midi) {
        run.finishing = 1;
        completeMidiFile();
    }
    run.finishing = 1;
    closeRun(code);
    writeFinalStatus(code, detail);
    std::fflush(stdout);
    std::exit(code);
}
