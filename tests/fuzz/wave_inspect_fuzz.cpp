// WAV headers as the starter inspects them: the engine's fields and the chunk
// walk over any first bytes at any file length, the sentence of why the engine
// cannot read the file as it is, and the start point and seconds they give.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/starter/audio/audio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> head(data, data + (size < 8192 ? size : 8192));
    for (int64_t length : {static_cast<int64_t>(size), int64_t{-1}, int64_t{0}, int64_t{1} << 40}) {
        WaveHeader h = readWaveHeader(head, length);
        if (h.chunkDataOffset != -1 && (h.chunkDataOffset < 20 || h.chunkDataOffset > static_cast<int64_t>(head.size())))
            std::abort();
        engineRejection(h, length);
        const double seconds = dataSeconds(h);
        if (!(seconds >= 0) || !std::isfinite(seconds)) std::abort();
        for (double at : {0.0, 0.5, 1e6, -3.0}) engineStartPoint(at, h);
    }
    return 0;
}
