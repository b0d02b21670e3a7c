// The tests' one WAV writer: PCM files with every header field at hand, so
// that a test can write a correct file or break exactly one field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Header fields of a WAV file; the defaults with pcm16 data make a correct file.
struct WavLayout {
    int rate = 11025;
    int channels = 1;
    int bits = 16;
    int formatTag = 1;
    std::string riff = "RIFF";
    std::string waveFmt = "WAVEfmt ";
    int64_t riffSize = -1;    // -1: the size a correct writer puts there
    std::string extraChunk;   // bytes between the format chunk and "data"
};

/** The whole file: 36-byte RIFF/format part, extraChunk, "data", its size, data. */
std::string wavBytes(const WavLayout &w, const std::string &data);
/** Data bytes of 16-bit samples (little-endian). */
std::string pcm16(const std::vector<int> &samples);

/** The layout of a canonical PCM file. */
WavLayout pcmLayout(int rate, int channels, int bits);
/** Writes a canonical 44-byte-header PCM WAV file from interleaved 16-bit samples. */
void writeWav16(const std::string &path, int rate, int channels, const std::vector<int16_t> &samples);
/** Writes a canonical PCM WAV file from interleaved unsigned 8-bit samples. */
void writeWav8(const std::string &path, int rate, int channels, const std::vector<uint8_t> &samples);
/** A sine of `seconds` at `frequency` Hz and `amplitude`, mono 16-bit. */
std::vector<int16_t> sineWave(int rate, double frequency, double seconds, double amplitude);
/** Mixes b into a at offset (a grows as needed; the sum is clipped to 16 bits). */
void mixInto(std::vector<int16_t> &a, const std::vector<int16_t> &b, size_t offset = 0);
