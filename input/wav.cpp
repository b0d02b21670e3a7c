// WAV input: the header reader and the frame reader.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "engine/finish.h"
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

// The bytes of a frame's span from its first byte inside the audio data.
// When frameBytes holds more than one span it is a window of the file, read
// again from `from` only when the span is not inside it. Returns how many
// bytes there are.
int64_t readSpan(int64_t from, int64_t count, const uint8_t *&bytes) {
    InputFiles &f = inputFiles;
    bytes = f.frameBytes;
    if (count <= 0) return 0;
    const int64_t span = static_cast<int64_t>(derived.frameLength) * derived.inputStride +
                         sampleFrameBytes(settings.Tracks, settings.BitsPerSample);
    const bool toEnd = f.windowLength >= 0 && f.windowLength < f.frameByteCount;  // the window ends the file
    if (f.frameByteCount <= span || f.windowLength < 0 || from < f.windowStart ||
        (from + count > f.windowStart + f.windowLength && !toEnd)) {
        if (fseeko(f.wave, from, SEEK_SET) != 0) finish(CodeReadFailure, 21);
        f.windowStart = from;
        f.windowLength = static_cast<int64_t>(std::fread(f.frameBytes, 1, f.frameByteCount, f.wave));
    }
    const int64_t got = std::min(f.windowStart + f.windowLength - from, count);
    if (got <= 0) return 0;
    bytes = f.frameBytes + (from - f.windowStart);
    return got;
}

// Whether the path names a FIFO, a socket or a device. Such a file is never
// opened as the WAV input: opening a FIFO waits for a writer that may never
// come, and a device has no WAV header to read. A directory is not one of
// them; it opens and then fails the first read.
bool namesSpecialFile(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode);
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
    if (namesSpecialFile(settings.WaveFile)) finish(CodeOpenFailure, 15);
    inputFiles.wave = std::fopen(settings.WaveFile.c_str(), "rb");
    inputFiles.windowLength = -1;
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

namespace {

// Decodes `count` sample frames `stride` bytes apart into out; returns the peak magnitude.
template <int Format> uint32_t decodeRun(const uint8_t *bytes, int64_t stride, int64_t count, int32_t *out) {
    uint32_t peak = 0;
    for (int64_t t = 0; t < count; ++t) {
        int32_t value;
        if constexpr (Format == 0)
            value = decodeSample(bytes + t * stride);
        else
            value = (readInt16(bytes + t * stride) * derived.leftWeight +
                     readInt16(bytes + t * stride + 2) * settings.StereoPan) / 100;
        out[t] = value;
        peak = std::max(peak, static_cast<uint32_t>(value < 0 ? -value : value));
    }
    return peak;
}

}  // namespace

uint32_t readFrame(int64_t p, int32_t *samples) {
    const Derived &d = derived;
    const int64_t first = p - d.framePadBytes;
    const int64_t last = p + d.frameSpanBytes;
    const int64_t frameBytes = sampleFrameBytes(settings.Tracks, settings.BitsPerSample);
    const int64_t from = first > d.waveDataOffset ? first : d.waveDataOffset;
    const uint8_t *span = nullptr;
    const int64_t got = readSpan(from, last + frameBytes - from, span);
    const int64_t stride = d.inputStride;
    int32_t *buffer = samples + 1;
    // Sample frames at first + stride * t: those before the audio data or past
    // the bytes read are 0, the ones between are decoded.
    const int64_t count = last >= first ? (last - first) / stride + 1 : 0;
    const int64_t lowest = first >= d.waveDataOffset ? 0 : (d.waveDataOffset - first + stride - 1) / stride;
    const int64_t highestByte = from + got - frameBytes;  // the last sample frame read in full starts here
    const int64_t highest = highestByte < first ? -1 : std::min(count - 1, (highestByte - first) / stride);
    const int64_t begin = std::min(lowest, count), end = std::max(highest + 1, begin);
    std::fill(buffer, buffer + begin, 0);
    std::fill(buffer + end, buffer + count, 0);
    uint32_t peak = 0;
    if (end > begin) {
        const uint8_t *bytes = span + (first + begin * stride - from);
        peak = derived.sampleFormat == 18 ? decodeRun<18>(bytes, stride, end - begin, buffer + begin)
                                          : decodeRun<0>(bytes, stride, end - begin, buffer + begin);
    }
    if (peak < static_cast<uint32_t>(settings.InputThreshold)) return 0;
    if (settings.AGC == 1) {
        const float factor = static_cast<float>(32768.0 / peak);
        for (int i = 1; i <= d.frameLength; ++i)
            samples[i] = static_cast<int32_t>(samples[i] * static_cast<double>(factor));
    }
    return peak;
}
