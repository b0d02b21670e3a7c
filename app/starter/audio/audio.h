// Audio input. This folder owns reading recordings: whether the engine can
// read a file as it is (the WAV header as the engine takes it), the
// conversion of everything else into a 44100 Hz 16-bit PCM WAV, and how far
// a long pass through a recording has got.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "input/input.h"  // WaveHeaderArea, waveFormatDetail

// The sample rate and bit depth of every converted file.
constexpr int ConvertedRate = 44100;
constexpr int ConvertedBits = 16;
// Sample rates of real recordings; a header claiming another is refused.
constexpr int LowestInputRate = 1000;
constexpr int HighestInputRate = 768000;
// The engine reads the first 4132 bytes of a WAV file in one piece.
constexpr int EngineHeaderBytes = WaveHeaderArea;

// Why a file is no audio the starter can read.
enum class AudioFault {
    None,
    Unreadable,       // the file cannot be opened
    NotAudio,         // libsndfile reads no audio in it (its words in the cause)
    Empty,            // it holds no sample frame
    ImplausibleRate,  // its header claims a rate outside LowestInputRate..HighestInputRate
};

// What the starter knows about one input file.
struct AudioInfo {
    AudioFault fault = AudioFault::None;  // why it cannot be read, None when it can
    bool readableAsIs = false;  // the engine reads the file unchanged
    std::string reason;         // why not, when it does not
    std::string description;    // e.g. "48000 Hz 24-bit stereo WAV"
    int rate = 0;
    int channels = 0;
    int64_t frames = 0;         // sample frames
    double seconds = 0;         // duration of the audio
    double statedSeconds = 0;   // the length the header states (a WAV file's data size may state more than
                                // the file holds); 0 when it states none (an Ogg file's is a guess from its end,
                                // an MP3 file's without LAME's tag from its size)
};

// The PCM WAV header fields the engine takes, from the first bytes of a file.
struct WaveHeader {
    bool riff = false;          // "RIFF" at 0 and "WAVEfmt " at 8
    int formatTag = 0;
    int channels = 0;
    int rate = 0;
    int bits = 0;
    int64_t dataOffset = -1;    // first audio byte as the engine finds it, -1 for none
    int64_t chunkDataOffset = -1;  // first audio byte found by walking the chunks
    int64_t chunkDataSize = 0;
    int64_t riffSize = 0;
};

/** Takes the header fields the engine reads from a file's first bytes. */
WaveHeader readWaveHeader(const std::vector<uint8_t> &head, int64_t fileSize);
/** Why the engine cannot read a file with this header as it is, or "" when it can. */
std::string engineRejection(const WaveHeader &h, int64_t fileSize);
/** A StartPoint in seconds that the engine turns into the first byte of the sample frame nearest
 *  seconds, also before the audio, where its rounding would otherwise land inside a frame. */
double engineStartPoint(double seconds, const WaveHeader &h);
/** Seconds of whole sample frames in the data chunk a header states; 0 when it states no format. */
double dataSeconds(const WaveHeader &h);
/** The header fields of a WAV file as the engine takes them; riff false when it cannot be read. */
WaveHeader readWaveFileHeader(const std::string &path);
/** Examines an audio file; false with info.fault set (and libsndfile's words in cause) when it is
 *  no audio the starter can read. */
bool inspectAudio(const std::string &path, AudioInfo &info, std::string &cause);
// How a conversion ended.
enum class Conversion {
    Done,
    Undecodable,  // libsndfile cannot decode the file (its words in the cause)
    Unresampled,  // libsoxr could not be set up for the file's rate (its words in the cause)
    WriteFailed,  // the WAV file could not be written
    Stopped,
};
/** Decodes path into a 44100 Hz 16-bit PCM WAV at dest; stops early when *stop is set. When the
 *  decoder or the resampler fails, cause holds its words. Infinite and NaN samples become
 *  silence; *nonFinite (when given) says how many there were. */
Conversion convertForEngine(const std::string &path, const std::string &dest, const std::atomic<bool> *stop,
                            std::string &cause, int64_t *nonFinite = nullptr);
