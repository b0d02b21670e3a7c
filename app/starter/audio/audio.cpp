// Input inspection (libsndfile) and conversion with resampling (libsoxr).
#include "app/starter/audio/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include <sndfile.h>
#include <soxr.h>

#include "app/starter/audio/progress.h"

namespace {

constexpr sf_count_t ChunkFrames = 16384;

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return at + 4 <= b.size() ? b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24
                              : 0;
}

int le16(const std::vector<uint8_t> &b, size_t at) {
    return at + 2 <= b.size() ? static_cast<int16_t>(b[at] | b[at + 1] << 8) : 0;
}

bool sameText(const std::vector<uint8_t> &b, size_t at, const char *text) {
    size_t n = std::strlen(text);
    return at + n <= b.size() && std::memcmp(b.data() + at, text, n) == 0;
}

// Walks the RIFF chunks from offset 12 to the "data" chunk.
void findDataChunk(const std::vector<uint8_t> &head, WaveHeader &h) {
    size_t at = 12;
    while (at + 8 <= head.size()) {
        uint32_t size = le32(head, at + 4);
        if (sameText(head, at, "data")) {
            h.chunkDataOffset = static_cast<int64_t>(at) + 8;
            h.chunkDataSize = size;
            return;
        }
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
}

// Name of a libsndfile container.
std::string containerName(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV: return "WAV";
    case SF_FORMAT_WAVEX: return "WAV (extensible)";
    case SF_FORMAT_FLAC: return "FLAC";
    case SF_FORMAT_OGG: return "Ogg";
    case SF_FORMAT_AIFF: return "AIFF";
    case SF_FORMAT_W64: return "Wave64";
    case SF_FORMAT_RF64: return "RF64";
    case SF_FORMAT_CAF: return "CAF";
    default: break;
    }
    SF_FORMAT_INFO fi{};
    fi.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &fi, sizeof fi) == 0 && fi.name)
        return fi.name;
    return "audio";
}

// Sample encoding in a musician's words.
std::string encodingName(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit";
    case SF_FORMAT_PCM_16: return "16-bit";
    case SF_FORMAT_PCM_24: return "24-bit";
    case SF_FORMAT_PCM_32: return "32-bit";
    case SF_FORMAT_FLOAT: return "32-bit float";
    case SF_FORMAT_DOUBLE: return "64-bit float";
    case SF_FORMAT_VORBIS: return "Vorbis";
    case SF_FORMAT_OPUS: return "Opus";
    default: return "";
    }
}

// True for integer sample encodings, which never exceed full scale.
bool integerEncoding(int format) {
    int sub = format & SF_FORMAT_SUBMASK;
    return sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_16 ||
           sub == SF_FORMAT_PCM_24 || sub == SF_FORMAT_PCM_32;
}

std::string channelWords(int channels) {
    if (channels == 1)
        return "mono";
    if (channels == 2)
        return "stereo";
    return std::to_string(channels) + "-channel";
}

// "48000 Hz 24-bit stereo WAV".
std::string describe(const SF_INFO &info) {
    std::string encoding = encodingName(info.format);
    return std::to_string(info.samplerate) + " Hz " + (encoding.empty() ? "" : encoding + " ") +
           channelWords(info.channels) + " " + containerName(info.format);
}

// Reads up to n bytes from the start of a file.
std::vector<uint8_t> fileHead(const std::string &path, size_t n, int64_t &size) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    size = in ? static_cast<int64_t>(in.tellg()) : -1;
    std::vector<uint8_t> head(static_cast<size_t>(std::clamp<int64_t>(size, 0, int64_t(n))));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(head.data()), static_cast<std::streamsize>(head.size()));
    return head;
}

struct SndFileCloser {
    void operator()(SNDFILE *f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;

struct SoxrCloser {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrCloser>;

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Stores v little-endian in n bytes at b[at].
void putLE(std::vector<uint8_t> &b, size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 44-byte header of a 16-bit PCM WAV file.
std::vector<uint8_t> waveHeaderBytes(int rate, int channels, uint32_t dataBytes) {
    std::vector<uint8_t> h(44, 0);
    std::memcpy(h.data(), "RIFF", 4);
    putLE(h, 4, 36 + dataBytes, 4);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    putLE(h, 16, 16, 4);
    putLE(h, 20, 1, 2);
    putLE(h, 22, uint32_t(channels), 2);
    putLE(h, 24, uint32_t(rate), 4);
    putLE(h, 28, uint32_t(rate * channels * 2), 4);
    putLE(h, 32, uint32_t(channels * 2), 2);
    putLE(h, 34, 16, 2);
    std::memcpy(h.data() + 36, "data", 4);
    putLE(h, 40, dataBytes, 4);
    return h;
}

// Appends float samples as 16-bit little-endian values, clipped.
bool appendSamples(FILE *out, const float *x, size_t count, uint64_t &bytes) {
    if (count == 0)
        return true;
    std::vector<uint8_t> buffer(count * 2);
    for (size_t i = 0; i < count; ++i) {
        long v = std::isfinite(x[i]) ? std::lround(static_cast<double>(x[i]) * 32768.0) : 0;
        int16_t s = static_cast<int16_t>(std::clamp<long>(v, -32768, 32767));
        buffer[2 * i] = static_cast<uint8_t>(s & 0xFF);
        buffer[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
    }
    bytes += buffer.size();
    return std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
}

// Mixes n frames of in (inChannels each) into out (1 or 2 channels) with a gain.
void mixFrames(const std::vector<float> &in, sf_count_t n, int inChannels, int outChannels,
               float gain, std::vector<float> &out) {
    out.assign(static_cast<size_t>(n) * outChannels, 0.0f);
    for (sf_count_t f = 0; f < n; ++f) {
        const float *frame = in.data() + f * inChannels;
        if (outChannels == inChannels) {
            for (int c = 0; c < inChannels; ++c)
                out[f * outChannels + c] = frame[c] * gain;
            continue;
        }
        float sum = 0;
        for (int c = 0; c < inChannels; ++c)
            sum += frame[c];
        out[f] = sum / static_cast<float>(inChannels) * gain;
    }
}

// Gain that brings a floating-point file beyond full scale just below it (else 1).
float fullScaleGain(SNDFILE *in, const SF_INFO &info) {
    if (integerEncoding(info.format))
        return 1.0f;
    std::vector<float> buffer(static_cast<size_t>(ChunkFrames * info.channels));
    float peak = 0;
    sf_count_t n;
    while ((n = sf_readf_float(in, buffer.data(), ChunkFrames)) > 0)
        for (sf_count_t i = 0; i < n * info.channels; ++i)
            peak = std::max(peak, std::fabs(buffer[i]));
    sf_seek(in, 0, SEEK_SET);
    return peak > 1.0f ? 0.98f / peak : 1.0f;
}

// Runs samples through the resampler (or passes them on) and writes them; no samples
// flush it. The output goes through a buffer of a fixed size, whatever the ratio.
bool writeResampled(soxr_t resampler, const std::vector<float> &x, int channels, FILE *out, uint64_t &bytes) {
    if (!resampler)
        return appendSamples(out, x.data(), x.size(), bytes);
    const size_t inFrames = x.size() / channels, room = ChunkFrames;
    std::vector<float> y(room * channels);
    static const float none = 0;
    size_t offset = 0;
    while (true) {
        size_t used = 0, made = 0;
        // Input of length 0 asks for what is pending; only a null input flushes.
        const float *src = inFrames == 0 ? nullptr : offset < inFrames ? x.data() + offset * channels : &none;
        if (soxr_process(resampler, src, inFrames - offset, &used, y.data(), room, &made))
            return false;
        if (!appendSamples(out, y.data(), made * channels, bytes))
            return false;
        offset += used;
        if (offset >= inFrames ? made < room : used == 0 && made == 0)
            return true;
    }
}

// Pads with silence to the engine's minimum size, then writes the header.
bool finishWave(FILE *out, int channels, uint64_t &bytes) {
    static const float zeros[2] = {0, 0};
    while (44 + bytes < EngineHeaderBytes)
        if (!appendSamples(out, zeros, static_cast<size_t>(channels), bytes))
            return false;
    if (bytes > 0xFFFFFFFFull - 36)
        return false;
    std::vector<uint8_t> header = waveHeaderBytes(ConvertedRate, channels, uint32_t(bytes));
    return std::fseek(out, 0, SEEK_SET) == 0 &&
           std::fwrite(header.data(), 1, header.size(), out) == header.size();
}

}  // namespace

WaveHeader readWaveHeader(const std::vector<uint8_t> &head, int64_t /*fileSize*/) {
    WaveHeader h;
    h.riff = sameText(head, 0, "RIFF") && sameText(head, 8, "WAVEfmt ");
    h.riffSize = le32(head, 4);
    h.formatTag = le16(head, 20) & 0xFFFF;
    h.channels = le16(head, 22);
    h.rate = static_cast<int>(le32(head, 24));
    h.bits = le16(head, 34);
    for (size_t i = 0; i <= 4092 && h.riff; ++i) {
        if (sameText(head, 36 + i, "data")) {
            h.dataOffset = 44 + static_cast<int64_t>(i);
            break;
        }
    }
    if (h.riff)
        findDataChunk(head, h);
    return h;
}

double engineStartPoint(double seconds, const WaveHeader &h) {
    int64_t frameBytes = static_cast<int64_t>(h.channels) * (h.bits / 8);
    if (h.rate <= 0 || frameBytes <= 0 || h.dataOffset < 0 || !std::isfinite(seconds) ||
        std::fabs(seconds) > 1e9)
        return seconds;
    int64_t frame = static_cast<int64_t>(std::floor(seconds * h.rate + 0.5));
    int64_t target = h.dataOffset + frame * frameBytes;
    // The engine takes trunc(StartPoint * rate * frameBytes + dataOffset + 0.5): exact at a whole
    // frame from 0 on; below 0 the truncation goes up, so aim half a byte lower.
    if (target >= 0)
        return static_cast<double>(frame) / h.rate;
    return (static_cast<double>(frame * frameBytes) - 1) / (static_cast<double>(h.rate) * frameBytes);
}

WaveHeader readWaveFileHeader(const std::string &path) {
    int64_t size;
    std::vector<uint8_t> head = fileHead(path, EngineHeaderBytes, size);
    return readWaveHeader(head, size);
}

std::string engineRejection(const WaveHeader &h, int64_t fileSize) {
    if (!h.riff)
        return "it is not a plain WAV file";
    if (h.formatTag == 0xFFFE)
        return "it is a WAVE_FORMAT_EXTENSIBLE file";
    if (h.formatTag == 3)
        return "it holds floating-point samples";
    if (h.formatTag != 1)
        return "its samples are not plain PCM";
    switch (waveFormatDetail(h.channels, h.rate, h.bits)) {
    case 9: return "it has " + std::to_string(h.channels) + " channels";
    case 10: return "its sample rate is " + std::to_string(h.rate) + " Hz";
    case 11: return "it has " + std::to_string(h.bits) + "-bit samples";
    default: break;
    }
    if (fileSize < EngineHeaderBytes)
        return "it is shorter than the " + std::to_string(EngineHeaderBytes) + " bytes the engine needs";
    if (h.dataOffset < 0 || h.chunkDataOffset != h.dataOffset)
        return "its audio data is not where the engine looks for it";
    int64_t dataEnd = h.chunkDataOffset + h.chunkDataSize;
    if (h.chunkDataSize <= 0 || dataEnd > fileSize || h.riffSize + 8 < dataEnd || h.riffSize + 8 > dataEnd + 1)
        return "its size fields do not match its audio data";
    return "";
}

bool inspectAudio(const std::string &path, AudioInfo &info, std::string &error) {
    int64_t size = 0;
    std::vector<uint8_t> head = fileHead(path, 8192, size);
    if (size < 0) {
        error = "cannot be read";
        return false;
    }
    WaveHeader header = readWaveHeader(head, size);
    info.reason = engineRejection(header, size);
    info.readableAsIs = info.reason.empty();
    SF_INFO sf{};
    SndFile file(sf_open(path.c_str(), SFM_READ, &sf));
    if (!file) {
        error = std::string("is not audio that can be read (") + sf_strerror(nullptr) + ")";
        return false;
    }
    info.rate = sf.samplerate;
    info.channels = sf.channels;
    info.frames = sf.frames;
    info.seconds = sf.samplerate > 0 ? double(sf.frames) / sf.samplerate : 0;
    info.description = describe(sf);
    if (sf.frames <= 0 || sf.samplerate <= 0 || sf.channels <= 0) {
        error = "holds no audio";
        return false;
    }
    if (sf.samplerate < LowestInputRate || sf.samplerate > HighestInputRate) {
        error = "claims a sample rate of " + std::to_string(sf.samplerate) + " Hz, outside the " +
                std::to_string(LowestInputRate) + " to " + std::to_string(HighestInputRate) +
                " Hz of real recordings (is its header damaged?)";
        return false;
    }
    return true;
}

bool convertForEngine(const std::string &path, const std::string &dest,
                      const volatile std::sig_atomic_t *stop, std::string &error) {
    SF_INFO info{};
    SndFile in(sf_open(path.c_str(), SFM_READ, &info));
    if (!in || info.channels <= 0 || info.samplerate <= 0) {
        error = std::string("cannot be decoded (") + sf_strerror(in.get()) + ")";
        return false;
    }
    int channels = info.channels == 2 ? 2 : 1;
    float gain = fullScaleGain(in.get(), info);
    soxr_error_t soxrError = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    Resampler resampler(info.samplerate == ConvertedRate
                            ? nullptr
                            : soxr_create(info.samplerate, ConvertedRate, unsigned(channels),
                                          &soxrError, &io, &quality, nullptr));
    File out(std::fopen(dest.c_str(), "wb"));
    if (soxrError || !out) {
        error = soxrError ? std::string("cannot be resampled (") + soxrError + ")"
                          : "cannot be converted: the temporary folder is not writable";
        return false;
    }
    std::vector<uint8_t> header = waveHeaderBytes(ConvertedRate, channels, 0);
    uint64_t bytes = 0;
    bool ok = std::fwrite(header.data(), 1, header.size(), out.get()) == header.size();
    std::vector<float> buffer(static_cast<size_t>(ChunkFrames * info.channels)), mixed;
    sf_count_t n;
    while (ok && (n = sf_readf_float(in.get(), buffer.data(), ChunkFrames)) > 0) {
        if (stop && *stop) {
            error = "conversion cancelled";
            return false;
        }
        reportProgress(static_cast<double>(sf_seek(in.get(), 0, SEEK_CUR)), static_cast<double>(info.frames));
        mixFrames(buffer, n, info.channels, channels, gain, mixed);
        ok = writeResampled(resampler.get(), mixed, channels, out.get(), bytes);
    }
    if (ok && resampler)
        ok = writeResampled(resampler.get(), {}, channels, out.get(), bytes);
    ok = ok && finishWave(out.get(), channels, bytes);
    ok = (std::fclose(out.release()) == 0) && ok;
    if (!ok)
        error = "cannot be converted: writing the temporary WAV file failed (is the disk full?)";
    return ok;
}
