// WAV headers: the header area as the engine takes it, for any bytes and any
// file length. A found "data" chunk lies inside the header area.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t header[WaveHeaderArea] = {};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    for (int64_t length : {static_cast<int64_t>(size), int64_t{-1}, int64_t{0}, int64_t{1} << 40}) {
        WaveHeaderFields fields{};
        int verdict = parseWaveHeader(header, length, fields);
        if (verdict != 0 && verdict != 1 && verdict != 17 && verdict != 18) std::abort();
        if (verdict == 1 && (fields.dataOffset < 44 || fields.dataOffset > 44 + 4092)) std::abort();
        if (verdict == 1 && std::memcmp(header + (fields.dataOffset - 8), "data", 4) != 0) std::abort();
    }
    return 0;
}
