// Input inspection: what a file holds (libsndfile), and whether the engine reads it as it is.
#include "app/starter/audio/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sndfile.h>

#include "app/starter/audio/sound_file.h"

namespace {

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

// The length a file's header states: a WAV file's data size (which libsndfile cuts to what the file
// holds), none for an Ogg file or an MP3 file without LAME's tag (their length is a guess from their
// end or size, and the tagless MP3's counts the delay its conversion drops), else what libsndfile found.
double statedSeconds(const std::string &path, const WaveHeader &h, const SF_INFO &sf, double seconds) {
    if ((sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG || unrecordedDelay(path, sf) > 0)
        return 0;
    bool sized = h.riff && h.chunkDataSize > 0 && h.chunkDataSize < 0xFFFFFFFFll;
    return sized ? std::max(seconds, dataSeconds(h)) : seconds;
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

}  // namespace

WaveHeader readWaveHeader(const std::vector<uint8_t> &head, int64_t fileSize) {
    // The engine's own header reader decides where the engine takes the audio from.
    std::vector<uint8_t> area(head);
    area.resize(std::max<size_t>(area.size(), WaveHeaderArea), 0);
    WaveHeaderFields fields{};
    const int verdict = parseWaveHeader(area.data(), fileSize, fields);
    WaveHeader h;
    h.riff = verdict != 0;
    h.channels = fields.tracks;
    h.rate = fields.rate;
    h.bits = fields.bitsPerSample;
    if (verdict == 1)
        h.dataOffset = fields.dataOffset;
    // What the engine does not look at, for the sentence that says why a file needs converting.
    h.riffSize = le32(head, 4);
    h.formatTag = le16(head, 20) & 0xFFFF;
    if (h.riff)
        findDataChunk(head, h);
    return h;
}

double dataSeconds(const WaveHeader &h) {
    int64_t frameBytes = static_cast<int64_t>(h.channels) * (h.bits / 8);
    return frameBytes > 0 && h.rate > 0 ? static_cast<double>(h.chunkDataSize / frameBytes) / h.rate : 0;
}

double engineStartPoint(double seconds, const WaveHeader &h) {
    int64_t frameBytes = static_cast<int64_t>(h.channels) * (h.bits / 8);
    if (h.rate <= 0 || frameBytes <= 0 || h.dataOffset < 0 || !std::isfinite(seconds) ||
        std::fabs(seconds) > 1e9)
        return seconds;
    int64_t frame = static_cast<int64_t>(std::floor(seconds * h.rate + 0.5));
    // Bytes in double: a header's frame size times a far frame can pass the int64 range (exact
    // below 2^53, which every real file stays under).
    double frameByte = static_cast<double>(frame) * static_cast<double>(frameBytes);
    // The engine takes trunc(StartPoint * rate * frameBytes + dataOffset + 0.5): exact at a whole
    // frame from 0 on; below 0 the truncation goes up, so aim half a byte lower.
    if (static_cast<double>(h.dataOffset) + frameByte >= 0)
        return static_cast<double>(frame) / h.rate;
    return (frameByte - 1) / (static_cast<double>(h.rate) * frameBytes);
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

bool inspectAudio(const std::string &path, AudioInfo &info, std::string &cause) {
    int64_t size = 0;
    std::vector<uint8_t> head = fileHead(path, 8192, size);
    cause.clear();
    if (size < 0) {
        info.fault = AudioFault::Unreadable;
        return false;
    }
    WaveHeader header = readWaveHeader(head, size);
    info.reason = engineRejection(header, size);
    info.readableAsIs = info.reason.empty();
    SF_INFO sf{};
    SoundFile file = openSound(path, sf);
    if (!file.file) {
        info.fault = AudioFault::NotAudio;
        cause = sf_strerror(nullptr);
        return false;
    }
    info.rate = sf.samplerate;
    info.channels = sf.channels;
    info.frames = sf.frames;
    info.seconds = sf.samplerate > 0 ? double(sf.frames) / sf.samplerate : 0;
    info.description = describe(sf);
    info.statedSeconds = statedSeconds(path, header, sf, info.seconds);
    if (sf.frames <= 0 || sf.samplerate <= 0 || sf.channels <= 0)
        info.fault = AudioFault::Empty;
    else if (sf.samplerate < LowestInputRate || sf.samplerate > HighestInputRate)
        info.fault = AudioFault::ImplausibleRate;
    return info.fault == AudioFault::None;
}
