// Tempo file: beat durations that space the frames of each beat.
#include <sys/stat.h>

#include "engine/engine.h"
#include "input/input.h"

namespace {

// Only a regular file is opened: a FIFO or a device could block or never end.
FILE *openRegularFile(const std::string &path) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

}  // namespace

void openTempoFile() {
    Derived &d = derived;
    inputFiles.tempo = openRegularFile(settings.TempoFile);
    if (!inputFiles.tempo) return;
    d.tempoFramesPerBeat = truncInt(d.framesPerBeat + 0.1);
    if (d.tempoFramesPerBeat == 0) {
        d.tempoBeatsPerFrame = truncInt(1 / d.framesPerBeat + 0.5);
        d.tempoSampleFactor = static_cast<float>(settings.VirtualSR * 0.001);
    } else {
        d.tempoSampleFactor = static_cast<float>(settings.VirtualSR * 0.001 / d.tempoFramesPerBeat);
    }
}

int readTempoValue() {
    int low = std::fgetc(inputFiles.tempo);
    int high = std::fgetc(inputFiles.tempo);
    if (low == EOF) low = 255;
    if (high == EOF) high = 255;
    return low | (high << 8);
}

void advanceFramePosition() {
    const Derived &d = derived;
    if (!inputFiles.tempo || run.tempoValue == 65535) {
        run.framePosition += d.samplesPerFrame;
        return;
    }
    if (d.tempoFramesPerBeat != 0) {
        if (run.framesSinceTempoValue == d.tempoFramesPerBeat) {
            run.tempoValue = readTempoValue();
            run.framesSinceTempoValue = 0;
            run.tempoAdvance = static_cast<float>(run.tempoValue * static_cast<double>(d.tempoSampleFactor));
        }
        if (run.tempoValue == 65535) {
            run.framePosition += d.samplesPerFrame;
        } else {
            run.framesSinceTempoValue += 1;
            run.framePosition += run.tempoAdvance;
        }
        return;
    }
    int sum = 0;
    for (int i = 0; i < d.tempoBeatsPerFrame; ++i) sum += readTempoValue();
    run.tempoValue = sum;
    if (sum == 65535)
        run.framePosition += d.samplesPerFrame;
    else
        run.framePosition += sum * static_cast<double>(d.tempoSampleFactor);
}
