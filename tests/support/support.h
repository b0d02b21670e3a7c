// Helpers shared by the tests: temporary folders, WAV files, settings files
// and runs of the engine binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with its contents when the object dies.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

/** Writes a canonical 44-byte-header PCM WAV file from interleaved 16-bit samples. */
void writeWav16(const std::string &path, int rate, int channels, const std::vector<int16_t> &samples);
/** Writes a canonical PCM WAV file from interleaved unsigned 8-bit samples. */
void writeWav8(const std::string &path, int rate, int channels, const std::vector<uint8_t> &samples);
/** A sine of `seconds` at `frequency` Hz and `amplitude`, mono 16-bit. */
std::vector<int16_t> sineWave(int rate, double frequency, double seconds, double amplitude);
/** Mixes b into a (a grows to b's length). */
void mixInto(std::vector<int16_t> &a, const std::vector<int16_t> &b, size_t offset = 0);

/** Writes a text file. */
void writeFile(const std::string &path, const std::string &text);
/** Reads a whole file; empty when missing. */
std::string readFile(const std::string &path);
/** Whether a file exists. */
bool fileExists(const std::string &path);

// Result of one engine run.
struct EngineRun {
    int exitCode;
    std::string stdoutText;
    std::string status;
};

/** Runs the engine binary with a settings file (lines "Key=Value") in dir. */
EngineRun runEngineWith(const TempDir &dir, const std::string &settingsText, const std::string &statusText = "0");
/** Runs the engine binary with the given arguments. */
EngineRun runEngineArgs(const std::vector<std::string> &args, const std::string &statusPath);

// One note event of a MIDI track.
struct MidiNote {
    int64_t tick;
    int type;  // 0x80 or 0x90
    int note;
    int velocity;
};

/** Note events of the engine's single-track output (running status resolved). */
std::vector<MidiNote> readMidiNotes(const std::string &path);
