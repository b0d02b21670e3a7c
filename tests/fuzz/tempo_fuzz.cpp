// Tempo files: the frame advance over any bytes, at several beat lengths in
// frames. Beat durations are never negative, so the position never goes back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "engine/engine.h"
#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int fd = memfd_create("tempo", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    for (double framesPerBeat : {0.25, 0.5, 1.0, 4.0, 16.0}) {
        resetSettings();
        settings.VirtualSR = 11025;
        settings.TempoFile = "/proc/self/fd/" + std::to_string(fd);
        derived.framesPerBeat = framesPerBeat;
        derived.samplesPerFrame = 1378.125 / framesPerBeat;
        openTempoFile();
        if (!inputFiles.tempo) std::abort();
        run = RunState{};
        run.tempoPace.framesSinceValue = derived.frameTempo.framesPerValue;
        for (int frame = 0; frame < 2000; ++frame) {
            double before = run.framePosition;
            advanceFramePosition();
            if (!(run.framePosition >= before) || !std::isfinite(run.framePosition)) std::abort();
        }
        std::fclose(inputFiles.tempo);
        inputFiles.tempo = nullptr;
    }
    return 0;
}
