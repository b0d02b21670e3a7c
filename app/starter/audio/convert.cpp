// Conversion for the engine: decoding (libsndfile), mixing, resampling (libsoxr) and a 16-bit WAV file.
#include "app/starter/audio/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include <sndfile.h>
#include <soxr.h>

#include "app/starter/audio/progress.h"
#include "app/starter/audio/sound_file.h"

namespace {

struct SoxrCloser {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrCloser>;

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

constexpr sf_count_t ChunkFrames = 16384;
// True for integer sample encodings, which never exceed full scale.
bool integerEncoding(int format) {
    int sub = format & SF_FORMAT_SUBMASK;
    return sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_16 ||
           sub == SF_FORMAT_PCM_24 || sub == SF_FORMAT_PCM_32;
}

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

// A sample as it counts: an infinite or NaN sample of a floating-point file is silence, so that
// it neither sets the gain nor spreads through the resampler's filter.
float finiteOrSilent(float x) {
    return std::isfinite(x) ? x : 0.0f;
}

// Mixes n frames of in (inChannels each) into out (1 or 2 channels) with a gain.
void mixFrames(const std::vector<float> &in, sf_count_t n, int inChannels, int outChannels,
               float gain, std::vector<float> &out) {
    out.assign(static_cast<size_t>(n) * outChannels, 0.0f);
    for (sf_count_t f = 0; f < n; ++f) {
        const float *frame = in.data() + f * inChannels;
        if (outChannels == inChannels) {
            for (int c = 0; c < inChannels; ++c)
                out[f * outChannels + c] = finiteOrSilent(frame[c]) * gain;
            continue;
        }
        float sum = 0;
        for (int c = 0; c < inChannels; ++c)
            sum += finiteOrSilent(frame[c]);
        out[f] = sum / static_cast<float>(inChannels) * gain;
    }
}

// Gain that brings a floating-point file beyond full scale just below it (else 1), and how many
// of its samples are infinite or NaN (integer encodings have none).
float fullScaleGain(SNDFILE *in, const SF_INFO &info, int64_t &nonFinite) {
    nonFinite = 0;
    if (integerEncoding(info.format))
        return 1.0f;
    std::vector<float> buffer(static_cast<size_t>(ChunkFrames * info.channels));
    float peak = 0;
    sf_count_t n;
    while ((n = sf_readf_float(in, buffer.data(), ChunkFrames)) > 0)
        for (sf_count_t i = 0; i < n * info.channels; ++i) {
            nonFinite += std::isfinite(buffer[i]) ? 0 : 1;
            peak = std::max(peak, std::fabs(finiteOrSilent(buffer[i])));
        }
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

Conversion convertForEngine(const std::string &path, const std::string &dest, const std::atomic<bool> *stop,
                            std::string &cause, int64_t *nonFinite) {
    SF_INFO info{};
    SoundFile sound = openSound(path, info);
    SNDFILE *in = sound.file.get();
    cause.clear();
    if (!in || info.channels <= 0 || info.samplerate <= 0) {
        cause = sf_strerror(in);
        return Conversion::Undecodable;
    }
    int channels = info.channels == 2 ? 2 : 1;
    int64_t unusable = 0;
    float gain = fullScaleGain(in, info, unusable);
    if (nonFinite)
        *nonFinite = unusable;
    soxr_error_t soxrError = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    Resampler resampler(info.samplerate == ConvertedRate
                            ? nullptr
                            : soxr_create(info.samplerate, ConvertedRate, unsigned(channels),
                                          &soxrError, &io, &quality, nullptr));
    File out(std::fopen(dest.c_str(), "wb"));
    if (soxrError) {
        cause = soxrError;
        return Conversion::Unresampled;
    }
    if (!out)
        return Conversion::WriteFailed;
    std::vector<uint8_t> header = waveHeaderBytes(ConvertedRate, channels, 0);
    uint64_t bytes = 0;
    bool ok = std::fwrite(header.data(), 1, header.size(), out.get()) == header.size();
    std::vector<float> buffer(static_cast<size_t>(ChunkFrames * info.channels)), mixed;
    sf_count_t n, skip = unrecordedDelay(path, info);
    while (ok && (n = sf_readf_float(in, buffer.data(), ChunkFrames)) > 0) {
        if (stop && *stop)
            return Conversion::Stopped;
        reportProgress(static_cast<double>(sf_seek(in, 0, SEEK_CUR)), static_cast<double>(info.frames));
        sf_count_t dropped = std::min(skip, n);
        std::copy(buffer.begin() + dropped * info.channels, buffer.begin() + n * info.channels, buffer.begin());
        n -= dropped;
        skip -= dropped;
        mixFrames(buffer, n, info.channels, channels, gain, mixed);
        ok = writeResampled(resampler.get(), mixed, channels, out.get(), bytes);
    }
    if (ok && resampler)
        ok = writeResampled(resampler.get(), {}, channels, out.get(), bytes);
    ok = ok && finishWave(out.get(), channels, bytes);
    ok = (std::fclose(out.release()) == 0) && ok;
    return ok ? Conversion::Done : Conversion::WriteFailed;
}
