// Settings and input: the settings file, the analysis set-up, the WAV
// reader, the filter records and the tempo file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One value per settings-file key, named by the key. After the set-up
// `Speed` and `Gain` hold the factors (value x 0.01).
struct Settings {
    std::string ExePath;
    std::string WaveFile;
    int Tracks;
    int Rate;
    int BitsPerSample;
    int EntireWave;
    int CropSilence;
    double StartPoint;
    double EndPoint;
    int VirtualSR;
    int ReferencePitch;
    int AGC;
    int StereoPan;
    int KeyMin;
    int KeyMax;
    int InputThreshold;
    int OutputThreshold;
    int BufferSize;
    float Resolution;
    int MinimumLength;
    int PauseBetweenNotes;
    int PitchMode;
    int Constrain;
    std::string MidiFile;
    int Channel;
    int Filter;
    int Patch;
    int TimeSignatureNumerator;
    int TimeSignatureDenominator;
    double Tempo;
    float Speed;
    int Transpose;
    int KeySignature;
    int MajorMinor;
    int AutoDetectKey;
    float Gain;
    int VelocityOn;
    int VelocityOff;
    std::string TempoFile;
    int PhaseMult;
    int ChordRes;
    int BufferIncrement;
    int ClusterDetect;
    int Sensitivity;
};

// Values derived once by the set-up; read-only during the run.
struct Derived {
    float speedFactor;
    float gainFactor;
    int sampleFormat;
    int inputStride;
    int leftWeight;
    int levelCeiling;
    float levelScale;
    int phaseSpan;
    int highestKeyByRate;
    int framePad;
    int64_t framePadBytes;
    int frameCore;
    int frameLength;
    int64_t frameSpanBytes;
    int64_t waveDataOffset;
    int64_t waveDataLength;
    int64_t startByte;
    int64_t endByte;
    double beatsPerSecond;
    int framesPerStep;
    int stepsPerBar;
    double framesPerBeat;
    double samplesPerFrame;
    int tempoFramesPerBeat;
    int tempoBeatsPerFrame;
    float tempoSampleFactor;
    int blockLength;
    int fixedVelocity;
    int tonicPitchClass;
    int rhythmNote;
    int keyColumns;              // entries of every per-key array and matrix row
    int32_t *allowedKeys;        // keyColumns entries
};

// Open input files and the frame reader's scratch space.
struct InputFiles {
    FILE *wave;
    FILE *tempo;
    uint8_t *frameBytes;    // a window of the WAV file, at least one frame's span
    int64_t frameByteCount;
    int64_t windowStart;    // file offset of frameBytes[0]
    int64_t windowLength;   // bytes of the file in frameBytes; -1 before the first read
};

extern Settings settings;
extern Derived derived;
extern InputFiles inputFiles;

// Filter record: 113 x 113 template values, element (r, c) at r * 113 + c.
constexpr int FilterSize = 113;
extern int32_t FilterTable[FilterSize * FilterSize];

// Key and value literals of the settings file, in the order they are tested.
constexpr int SettingsKeyCount = 44;
extern const char *const SettingsKeys[SettingsKeyCount];

// Conversions that never overflow.
/** atoi-like: white space, sign, digits; saturates to the 32-bit range. */
int parseInt(const char *text);
/** atof-like after every ',' has become '.'. */
double parseDecimal(const char *text);
/** Truncates toward zero, saturating to the 32-bit range; NaN gives 0. */
int truncInt(double x);
/** Truncates toward zero, saturating to the 64-bit range; NaN gives 0. */
int64_t truncInt64(double x);
/** Frequency in Hz of key k at `ReferencePitch`. */
double keyFrequency(int k);

// The longest line the text-mode reader takes in one piece, newline included.
constexpr size_t MaxLinePiece = 254;

// One piece of a line as the text-mode reader takes it.
struct TextPiece {
    std::string text;   // at most MaxLinePiece characters, the newline when it falls inside
    bool cut;           // its line, newline included, is longer than MaxLinePiece
};

/** Splits text the way the text-mode reader reads it: CR LF read as LF, each line
    in pieces of at most MaxLinePiece characters. */
std::vector<TextPiece> splitTextLines(const std::string &text);
/** Whole content of a file; false when it cannot be opened. */
bool readTextFile(const char *path, std::string &text);
/** Pieces of a text file's lines (splitTextLines); false when it cannot be opened. */
bool readTextLines(const char *path, std::vector<std::string> &lines);
/** True for the index of a text key (ExePath, WaveFile, MidiFile, TempoFile). */
bool isStringKey(int index);
/** The index of the key that takes a settings line and stores a value, else -1; value
    receives the text after the line's first '=' without its newline. */
int settingsLineEntry(const std::string &piece, std::string &value);

/** Gives every setting its default (unset ones the marker 999). */
void resetSettings();
/** Reads the settings file into `settings`; code 3/8 when it cannot be opened, 3/36 when
    a text key's line is longer than one piece. */
void readSettings(const char *path);
/** Applies one line of the settings file (at most 254 characters, no CR LF). */
void applySettingsLine(const std::string &line);
/** Output name for an empty `MidiFile`: the WAV name with ".mid". */
std::string defaultMidiName(const std::string &waveFile);

/** Runs the whole analysis set-up; every failure ends the run. */
void setupAnalysis(const char *settingsPath);
/** Set-up steps after the WAV header is known (steps 6 to 17). */
void deriveAnalysis();
/** MIDI division b, its rounded value c and the tempo t, as the header writes them. */
void midiTimeBase(double &b, int64_t &c, int64_t &t);

// The header area the WAV reader takes in one piece.
constexpr int WaveHeaderArea = 4132;

// What the header reader takes from the header area of a WAV file.
struct WaveHeaderFields {
    int tracks;
    int rate;
    int bitsPerSample;
    int64_t dataOffset;     // first audio byte (RIFF WAVE files with "data" only)
    int64_t dataLength;
};

/** Takes the header area (WaveHeaderArea bytes) of a file of fileLength bytes (-1: unknown):
    1 for a RIFF WAVE file with its "data" found, 0 for no RIFF WAVE file, else the code-4 detail. */
int parseWaveHeader(const uint8_t *header, int64_t fileLength, WaveHeaderFields &fields);
/** Opens `WaveFile` and takes its header; 1 for a RIFF WAVE file, else 0. */
int readWaveHeader();
/** Reads the frame at byte p into `FrameSamples`; returns its peak or 0 when silent. */
uint32_t readFrame(int64_t p);

/** Number (from 1) of the first filter-index line whose leading integer is `Filter`, or 0. */
int findIndexLine(const std::vector<std::string> &lines);
/** Takes the KeyMin, KeyMax and PitchMode defaults of a filter-index line into the unset settings. */
void applyIndexLine(const std::string &line);
/** Loads the selected filter record and its defaults from `ExePath`. */
void loadFilterRecord();

/** Opens `TempoFile` and derives the tempo values when it opens. */
void openTempoFile();
/** Reads one little-endian 16-bit tempo value; bytes past the end read as 255. */
int readTempoValue();
