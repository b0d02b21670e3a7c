// Engine entry: banner, arguments, buffers, tables, the frame loop and the spacing of its frames.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"
#include "midi/midi.h"

RunState run;

void printBanner() {
    std::fputs("Sonoscriptor - Polyphonic Music Recognition System\n"
               "Version 1.0.0\n"
               "Transcribes PCM WAV recordings into Standard MIDI Files.\n"
               "This engine is started by a front-end with a settings file,\n"
               "a status file and a launch token.\n"
               "\nDO NOT RUN THIS PROGRAM DIRECTLY! -- RUN KORVAX.EXE OR KORVI.EXE INSTEAD.\n",
               stdout);
    std::fflush(stdout);
}

std::string copyArgument(const char *arg) {
    std::string text(arg);
    for (char &ch : text)
        if (ch == '?') ch = ' ';
    return text;
}

void *allocZeroed(int64_t count, int64_t size, int detail) {
    if (count < 1) count = 1;
    if (size < 1 || count > INT64_MAX / size / 2) finish(CodeNoMemory, detail);
    void *block = std::calloc(static_cast<size_t>(count), static_cast<size_t>(size));
    if (!block) finish(CodeNoMemory, detail);
    return block;
}

void prepareRun() {
    const Derived &d = derived;
    analysis.FrameSamples = static_cast<int32_t *>(allocZeroed(d.frameLength + 2, sizeof(int32_t), 1));
    int64_t sampleFrame = sampleFrameBytes(settings.Tracks, settings.BitsPerSample);
    // The frame reader's window: several frame spans, so that overlapping frames are read once.
    inputFiles.frameByteCount = std::max<int64_t>(4 * (static_cast<int64_t>(d.frameLength) * d.inputStride + sampleFrame), 1 << 20);
    inputFiles.frameBytes = static_cast<uint8_t *>(allocZeroed(inputFiles.frameByteCount, 1, 1));
    analysis.FilteredFrame = static_cast<int32_t *>(allocZeroed(settings.BufferSize + 2, sizeof(int32_t), 28));
    tracker.keys = static_cast<KeyState *>(allocZeroed(d.keyColumns, sizeof(KeyState), 3));
    if (settings.Filter == -1) buildHarmonicOffsets();
    buildSearchTables();
    buildKeyTables(analysisThreadCount());
    startFramePool();
    allocateLevelMatrix();
}

bool sameFile(const std::string &a, const std::string &b) {
    if (a == b) return true;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool namesAFileTheRunReads(const std::string &path) {
    if (sameFile(path, settings.WaveFile) || sameFile(path, run.settingsPath)) return true;
    if (!settings.TempoFile.empty() && sameFile(path, settings.TempoFile)) return true;
    return settings.Filter != -1 &&
           (sameFile(path, filterIndexPath(settings.ExePath)) || sameFile(path, filterDataPath(settings.ExePath)));
}

bool outputNamesAnInput() {
    return sameFile(settings.MidiFile, run.statusPath) || namesAFileTheRunReads(settings.MidiFile);
}

void openMidiOutput() {
    if (outputNamesAnInput()) finish(CodeOpenFailure, 6);
    writer.midi = std::fopen(settings.MidiFile.c_str(), "wb");
    if (!writer.midi) finish(CodeOpenFailure, 6);
    static char streamBuffer[1 << 16];
    std::setvbuf(writer.midi, streamBuffer, _IOFBF, sizeof streamBuffer);
    char blanks[MidiHeaderSize];
    std::memset(blanks, ' ', sizeof blanks);
    if (std::fwrite(blanks, 1, sizeof blanks, writer.midi) != sizeof blanks) {
        std::fclose(writer.midi);
        writer.midi = nullptr;
        deleteOutput();
        finish(CodeWriteFailure, 7);
    }
    resetWriter();
}

void processBlock() {
    const int lastRow = run.CurrentRow;
    analyseQueuedFrames();
    const char *chordName = postProcessBlock(lastRow);
    const int lastHeld = analysis.heldRows == 0 ? lastRow : std::min(lastRow, analysis.heldRows - 1);
    decideRows(0, lastHeld, chordName);
    if (lastHeld < lastRow) replayRows(lastHeld + 1, lastRow, chordName);
    run.CurrentRow = lastRow + 1;
}

void decideRows(int first, int last, const char *chordName) {
    for (int r = first; r <= last; ++r) {
        run.CurrentRow = r;
        decideRow(chordName);
    }
}

void decideRow(const char *chordName) {
    int32_t *strengths = analysis.KeyStrengths;
    if (settings.Filter == -1)
        attributeHarmonics(levelRow(run.CurrentRow), strengths);
    else
        pursueTemplates(levelRow(run.CurrentRow), strengths);
    trackNotes(strengths, run.CurrentRow, chordName);
}

namespace {

void startRun() {
    const Derived &d = derived;
    double s = static_cast<double>(d.inputStride) * d.samplesPerFrame;
    run.progressStep = static_cast<float>(100 * s / (s + static_cast<double>(d.endByte - d.startByte)));
    run.progressPercent = 0;
    run.lastReportTime = std::time(nullptr);
    buildTriadTable();
    if (settings.Filter == -1) resetAttribution();
    resetTracker();
    startFrames();
    run.CurrentRow = -1;
    for (int64_t &total : analysis.PitchClassTotals) total = 0;
    run.previousPeak = 0;
}

}  // namespace

void measureCurrentRow(uint32_t peak) {
    if (peak == 0 || (settings.PauseBetweenNotes && run.previousPeak != 0)) {
        int32_t *row = levelRow(run.CurrentRow);
        for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) row[k] = 0;
    } else {
        analyseFrameOrQueue();
    }
}

void startFrames() {
    const Derived &d = derived;
    run.framePosition = static_cast<double>(d.startByte) / d.inputStride;
    run.frameByte = d.startByte;
    run.tempoPace = firstTempoPace(d.frameTempo);
}

void stepToNextFrame() {
    advanceFramePosition();
    run.frameByte = frameByteAt(run.framePosition, derived.inputStride);
}

namespace {

int readRunTempoValue(void *) { return readTempoValue(); }

}  // namespace

void advanceFramePosition() {
    run.framePosition = nextFramePosition(run.framePosition, derived.samplesPerFrame, derived.frameTempo,
                                          inputFiles.tempo ? &run.tempoPace : nullptr, readRunTempoValue, nullptr);
}

void runFrameLoop() {
    const Derived &d = derived;
    if (d.startByte <= d.endByte) {
        for (;;) {
            run.CurrentRow += 1;
            noteReplayPoint();
            uint32_t peak = readFrame(run.frameByte, analysis.FrameSamples);
            measureCurrentRow(peak);
            if (run.CurrentRow == d.blockLength - 1) {
                processBlock();
                run.CurrentRow = -1;
            }
            run.progressPercent += run.progressStep;
            run.previousPeak = peak;
            pollStatus();
            reportProgress();
            stepToNextFrame();
            if (run.frameByte > d.endByte) break;
        }
    }
    finish(CodeSuccess, 0);
}

int runEngine(int argc, char **argv) {
    printBanner();
    if (argc < 4) return 0;
    run = RunState{};
    run.settingsPath = copyArgument(argv[1]);
    run.statusPath = copyArgument(argv[2]);
    if (copyArgument(argv[3]) != LaunchToken) return 0;
    // Past a file-size limit a write fails and the run ends with code 5 instead of being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    setupAnalysis(run.settingsPath.c_str());
    prepareRun();
    openMidiOutput();
    startRun();
    runFrameLoop();
}
