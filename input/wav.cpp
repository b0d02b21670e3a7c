// WAV input: the header reader and the frame reader.
#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

int16_t readInt16(const uint8_t *p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

uint32_t readUint32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int64_t fileLength(FILE *file) {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return ftello(file);
}

// One sample frame decoded to the 16-bit scale and mixed by `StereoPan`.
int32_t decodeSample(const uint8_t *p) {
    const int left = derived.leftWeight, right = settings.StereoPan;
    switch (derived.sampleFormat) {
    case 9: return (p[0] - 128) * 256;
    case 10: return ((p[0] - 128) * left * 256 + (p[1] - 128) * right * 256) / 100;
    case 17: return readInt16(p);
    default: return (readInt16(p) * left + readInt16(p + 2) * right) / 100;
    }
}

// Reads the bytes of a frame's span from its first byte inside the audio data.
int64_t readSpan(int64_t from, int64_t count) {
    if (count <= 0) return 0;
    if (fseeko(inputFiles.wave, from, SEEK_SET) != 0) finish(CodeReadFailure, 21);
    return static_cast<int64_t>(std::fread(inputFiles.frameBytes, 1, count, inputFiles.wave));
}

}  // namespace

int parseWaveHeader(const uint8_t *header, int64_t fileLength, WaveHeaderFields &fields) {
    fields.tracks = readInt16(header + 22);
    fields.rate = static_cast<int32_t>(readUint32(header + 24));
    fields.bitsPerSample = readInt16(header + 34);
    if (std::memcmp(header + 8, "WAVEfmt ", 8) != 0 || std::memcmp(header, "RIFF", 4) != 0) return 0;
    if (readInt16(header + 20) != 1) return 17;
    int64_t riffSize = readUint32(header + 4);
    if (fileLength >= 8 && (riffSize == 0 || riffSize > fileLength - 8)) riffSize = fileLength - 8;
    for (int i = 0; i <= 4092; ++i) {
        if (std::memcmp(header + 36 + i, "data", 4) == 0) {
            fields.dataOffset = 44 + i;
            fields.dataLength = riffSize - fields.dataOffset - 74;
            return 1;
        }
    }
    return 18;
}

int readWaveHeader() {
    inputFiles.wave = std::fopen(settings.WaveFile.c_str(), "rb");
    if (!inputFiles.wave) finish(CodeOpenFailure, 15);
    uint8_t header[WaveHeaderArea];
    if (std::fread(header, 1, WaveHeaderArea, inputFiles.wave) != WaveHeaderArea) finish(CodeReadFailure, 16);
    WaveHeaderFields fields{};
    int verdict = parseWaveHeader(header, fileLength(inputFiles.wave), fields);
    settings.Tracks = fields.tracks;
    settings.Rate = fields.rate;
    settings.BitsPerSample = fields.bitsPerSample;
    if (verdict > 1) finish(CodeWaveFormat, verdict);
    if (verdict == 1) {
        derived.waveDataOffset = fields.dataOffset;
        derived.waveDataLength = fields.dataLength;
    }
    return verdict;
}

uint32_t readFrame(int64_t p) {
    const Derived &d = derived;
    const int64_t first = p - d.framePadBytes;
    const int64_t last = p + d.frameSpanBytes;
    const int64_t frameBytes = settings.Tracks * (settings.BitsPerSample / 8);
    const int64_t from = first > d.waveDataOffset ? first : d.waveDataOffset;
    const int64_t got = readSpan(from, last + frameBytes - from);
    int32_t *buffer = analysis.FrameSamples;
    uint32_t peak = 0;
    int n = 0;
    for (int64_t q = first; q <= last; q += d.inputStride) {
        int32_t value = 0;
        if (q >= d.waveDataOffset && q - from + frameBytes <= got) {
            value = decodeSample(inputFiles.frameBytes + (q - from));
            uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
            if (magnitude > peak) peak = magnitude;
        }
        buffer[++n] = value;
    }
    if (peak < static_cast<uint32_t>(settings.InputThreshold)) return 0;
    if (settings.AGC == 1) {
        const float factor = static_cast<float>(32768.0 / peak);
        for (int i = 1; i <= d.frameLength; ++i)
            buffer[i] = static_cast<int32_t>(buffer[i] * static_cast<double>(factor));
    }
    return peak;
}
