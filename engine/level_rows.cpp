// Level-matrix storage. A chord block's rows are kept until the block's
// chord is known; when a block has more rows than fit the memory allowed,
// the matrix holds its first rows, the rows beyond them are measured once for
// the block's pitch-class sums only, and measured again from their frames, as
// many at a time as are held, when the block is decided. The frames read and
// the levels measured are the same both times, so the output is too.
#include <algorithm>
#include <cstdlib>
#include <sys/types.h>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

constexpr int64_t DefaultLevelBytes = 16 << 20;

// Where the frame loop stands at the start of a row: everything the next
// frames' positions and silent-row decisions depend on.
struct FrameCursor {
    double framePosition;
    int64_t frameByte;
    TempoPace tempoPace;
    uint32_t previousPeak;
    off_t tempoOffset;  // the tempo file's read position
};

// The cursor at the first block row beyond the held ones.
FrameCursor replayPoint;

// SONOSCRIPTOR_LEVEL_MEMORY when it holds a whole number of bytes, else the default.
int64_t levelBytes() {
    const char *text = std::getenv("SONOSCRIPTOR_LEVEL_MEMORY");
    if (text && *text) {
        char *end = nullptr;
        const long long wanted = std::strtoll(text, &end, 10);
        if (*end == '\0' && wanted >= 1) return wanted;
    }
    return DefaultLevelBytes;
}

FrameCursor currentCursor() {
    FrameCursor c = {run.framePosition, run.frameByte, run.tempoPace, run.previousPeak, 0};
    if (inputFiles.tempo) {
        c.tempoOffset = ftello(inputFiles.tempo);
        if (c.tempoOffset < 0) finish(CodeReadFailure, 21);
    }
    return c;
}

void moveTo(const FrameCursor &c) {
    run.framePosition = c.framePosition;
    run.frameByte = c.frameByte;
    run.tempoPace = c.tempoPace;
    run.previousPeak = c.previousPeak;
    if (inputFiles.tempo && fseeko(inputFiles.tempo, c.tempoOffset, SEEK_SET) != 0) finish(CodeReadFailure, 21);
}

// Measures rows first..last, held from the matrix's first row, as the frame loop did.
void measureRowsAgain(int first, int last) {
    analysis.heldFrom = first;
    for (int r = first; r <= last; ++r) {
        run.CurrentRow = r;
        const uint32_t peak = readFrame(run.frameByte, analysis.FrameSamples);
        measureCurrentRow(peak);
        run.previousPeak = peak;
        stepToNextFrame();
    }
    analyseQueuedFrames();
}

}  // namespace

void allocateLevelMatrix() {
    const Derived &d = derived;
    const int64_t fit = std::max<int64_t>(levelBytes() / (static_cast<int64_t>(d.keyColumns) * sizeof(int32_t)), 1);
    analysis.heldRows = d.blockLength <= fit ? 0 : static_cast<int32_t>(fit);
    analysis.heldFrom = 0;
    analysis.spareRow = analysis.heldRows;
    std::fill(analysis.DroppedPitchSums, analysis.DroppedPitchSums + 12, 0);
    // Spare rows: per batch of queued frames, one per frame and one for a silent row written while it is full.
    const int64_t rows = analysis.heldRows == 0 ? d.blockLength : analysis.heldRows + 2 * (FrameQueueLimit + 1);
    analysis.LevelMatrix = static_cast<int32_t *>(allocZeroed(d.keyColumns * rows, sizeof(int32_t), 30));
}

void noteReplayPoint() {
    if (analysis.heldRows != 0 && run.CurrentRow == analysis.heldRows) replayPoint = currentCursor();
}

void replayRows(int first, int last, const char *chordName) {
    const FrameCursor resume = currentCursor();
    moveTo(replayPoint);
    for (int from = first; from <= last; from += analysis.heldRows) {
        const int to = static_cast<int>(std::min<int64_t>(last, static_cast<int64_t>(from) + analysis.heldRows - 1));
        measureRowsAgain(from, to);
        decideRows(from, to, chordName);
    }
    analysis.heldFrom = 0;
    moveTo(resume);
}
