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

// How the values of a tempo file space the frames: framesPerValue frames follow each value
// (0 when several values make one frame: valuesPerFrame of them), each frame advancing by
// its value (milliseconds a beat) times sampleFactor analysed samples.
struct TempoSpacing {
    int framesPerValue;
    int valuesPerFrame;
    float sampleFactor;
};

// Where the frames stand in a tempo file: the value they follow, how many frames have
// followed it, and the advance it gives each frame.
struct TempoPace {
    int value;
    int framesSinceValue;
    float advance;
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
    TempoSpacing frameTempo;     // how the tempo file spaces the frames, when it opens
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

// A record of filter.dat: one byte per note (row) and key (column), 1..112 each.
constexpr int FilterRecordKeys = 112;
constexpr int64_t FilterRecordBytes = FilterRecordKeys * FilterRecordKeys;

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
/** Bytes of one sample frame (all channels of one sample) of a WAV file. */
constexpr int sampleFrameBytes(int tracks, int bitsPerSample) { return tracks * (bitsPerSample / 8); }

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
/** Whole content of a file; false when it cannot be opened or read (a folder). */
bool readTextFile(const char *path, std::string &text);
/** Pieces of a text file's lines (splitTextLines); false when it cannot be opened or read. */
bool readTextLines(const char *path, std::vector<std::string> &lines);
/** True for the index of a text key (ExePath, WaveFile, MidiFile, TempoFile). */
bool isStringKey(int index);
/** The index of the key that takes a settings line and stores a value, else -1; value
    receives the text after the line's first '=' without its newline. */
int settingsLineEntry(const std::string &piece, std::string &value);

/** Every setting at its default (unset ones the marker 999). */
Settings defaultSettings();
/** Gives every setting its default (unset ones the marker 999). */
void resetSettings();
/** Reads the settings file into `settings`; code 3/8 when it cannot be opened, 3/36 when
    a text key's line is longer than one piece. */
void readSettings(const char *path);
/** Applies one line of the settings file (at most 254 characters, no CR LF). */
void applySettingsLine(const std::string &line);
/** Applies one line of the settings file to target instead of the run's settings. */
void applySettingsLineTo(Settings &target, const std::string &line);
/** Output name for an empty `MidiFile`: the WAV name with ".mid". */
std::string defaultMidiName(const std::string &waveFile);

/** Runs the whole analysis set-up; every failure ends the run. */
void setupAnalysis(const char *settingsPath);
/** The rest of the set-up once the WAV header is known: defaults, ranges, geometry, grid, tempo file, keys. */
void deriveAnalysis();
/** MIDI division b, its rounded value c and the tempo t, as the header writes them. */
void midiTimeBase(double &b, int64_t &c, int64_t &t);

// MIDI ticks per grid step in every file the engine writes.
constexpr int TicksPerStep = 48;
// The analysis rate, frame length and level ceiling forced on the filter path.
constexpr int FilterVirtualSR = 11025;
constexpr int FilterBufferSize = 1350;
constexpr int FilterLevelCeiling = 127;

// The MIDI time base of a run: analysis frames per beat at the speed (x), MIDI ticks per
// beat (b) and their rounded values with the microseconds per beat they give.
struct TimeBase {
    double frames;          // x
    int64_t framesRounded;
    int64_t frameMicros;
    double ticks;           // b
    int64_t ticksRounded;   // the division written in the header
    int64_t tickMicros;     // the tempo written in the header
};

/** Tempo in beats per minute after the range rule: 120 unless finite and above 0. */
double tempoInRange(double tempo);
/** Sensitivity after the range rule: 1 unless 0..7. */
int sensitivityInRange(int sensitivity);
/** Resolution after the range rule: 3 for NaN, else clamped to 0..8. */
float resolutionInRange(float resolution);
/** Time signature numerator after the range rule: 4 unless 1..99. */
int numeratorInRange(int numerator);
/** Time signature denominator power after the range rule: 2 unless 0..6. */
int denominatorInRange(int power);
/** Speed in percent after the range rule: 100 when not above 0, at most 999. */
float speedInRange(float speed);
// The reference pitches (Hz of key 69) the engine takes; any other is read as the standard one.
constexpr int LowestReferencePitch = 435;
constexpr int HighestReferencePitch = 445;
constexpr int StandardReferencePitch = 440;
/** Reference pitch after the range rule: 440 unless 435..445. */
int referencePitchInRange(int hz);
/** True for the rates the engine reads and analyses at: 11025, 22050 and 44100 Hz. */
bool isAnalysisRate(int rate);
/** The analysis rate for a WAV rate: VirtualSR when it is an analysis rate not above rate, else rate. */
int analysisRateFor(int virtualSR, int rate);
/** Bytes between two analysed sample frames: the WAV rate's multiple of the analysis rate, in sample frames. */
int inputStrideFor(int rate, int virtualSR, int tracks, int bitsPerSample);
/** Analysis frames per beat of the grid: 2^(sensitivity + resolution) / 2^denominatorPower. */
double gridFramesPerBeat(int sensitivity, float resolution, int denominatorPower);
/** Analysis frames per beat at the speed (x), from the WAV format and the derived grid. */
double framesAtSpeed(int rate, int tracks, int bitsPerSample, int inputStride, double samplesPerFrame,
                     double beatsPerSecond, float speedFactor);
/** Fills tb from x; 0 when the time base fits a MIDI file, else the code-7 detail (24 to 27). */
int timeBaseDetail(double frames, double beatsPerSecond, int framesPerStep, TimeBase &tb);
/** The time base a run with these settings (as read from a settings file, not yet settled) gets
    on a WAV file of this format; s receives the settled grid values (Speed in percent).
    0 when it fits a MIDI file, else the code-7 detail at which the set-up ends. */
int timeBaseVerdict(Settings &s, int rate, int tracks, int bitsPerSample, TimeBase &tb);

/** Analysed samples between two frames at a constant tempo. */
double fixedFrameHop(int virtualSR, double framesPerBeat, double beatsPerSecond);
/** Grid steps of a bar: 2^resolution / 2^denominatorPower x numerator, rounded. */
int gridStepsPerBar(float resolution, int denominatorPower, int numerator);
/** How a tempo file spaces the frames of a grid of framesPerBeat frames a beat at the analysis rate. */
TempoSpacing tempoSpacing(double framesPerBeat, int virtualSR);
/** The start of the analysed region in seconds: start, or 0 when it is after latestStart or further
    before the audio than audioSeconds. */
double regionStart(double start, double latestStart, double audioSeconds);
/** The file offset of the first frame of a region starting at start seconds. */
int64_t startByteAt(double start, int rate, int frameBytes, int64_t dataOffset);
/** The tempo-file state at the first frame. */
TempoPace firstTempoPace(const TempoSpacing &s);
/** The frame position (in analysed samples from the file's start) after the one at position: the
    fixed hop without a tempo file (pace null) or after its end, else as its values space the frames,
    read one at a time by readValue(source). */
double nextFramePosition(double position, double fixedHop, const TempoSpacing &s, TempoPace *pace,
                         int (*readValue)(void *), void *source);
/** The file offset of the frame at a position (every frame but the first, which starts at the region's first byte). */
int64_t frameByteAt(double position, int inputStride);

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
/** The code-4 detail of a WAV format the engine does not read (9 channels, 10 sample rate,
    11 sample size), else 0. */
int waveFormatDetail(int tracks, int rate, int bitsPerSample);
/** Opens `WaveFile` and takes its header; 1 for a RIFF WAVE file, else 0. */
int readWaveHeader();
/** Reads the frame at byte p into samples[1..frameLength] (samples holds frameLength + 2
    entries; AGC rescales it to a peak of 32768); returns its peak or 0 when silent. */
uint32_t readFrame(int64_t p, int32_t *samples);

// What the filter files of a folder hold for one record number. The engine and the
// starter both read the records through lookUpFilterRecord.
struct FilterLookup {
    bool indexRead = false;          // filter.txt could be opened
    std::vector<std::string> lines;  // its lines as the text-mode reader takes them
    int line = 0;                    // the record's index line from 1 (its place in filter.dat), 0: none
    bool dataOpened = false;         // filter.dat could be opened (looked at only when line > 0)
    int code = 0;                    // the failure that ends a run (2/33: filter.dat too short), else 0
    int detail = 0;
    std::vector<uint8_t> record;     // FilterRecordBytes template bytes once read
};

/** The filter index of a folder (given with its final '/'): folder + "filter.txt". */
std::string filterIndexPath(const std::string &folder);
/** The filter templates of a folder (given with its final '/'): folder + "filter.dat". */
std::string filterDataPath(const std::string &folder);
/** The lines of folder's filter.txt as the text-mode reader takes them; false when it cannot be opened. */
bool readFilterIndex(const std::string &folder, std::vector<std::string> &lines);
/** Number (from 1) of the first index line whose leading integer is filter, or 0. */
int indexLineOf(const std::vector<std::string> &lines, int filter);
/** Number (from 1) of the first filter-index line whose leading integer is `Filter`, or 0. */
int findIndexLine(const std::vector<std::string> &lines);
/** Finds record filter in folder's filter.txt and reads it from filter.dat. Ends nothing:
    a missing index, line or data file leaves code 0 and no record. */
FilterLookup lookUpFilterRecord(const std::string &folder, int filter);
/** Takes the KeyMin, KeyMax and PitchMode defaults of a filter-index line into the unset settings. */
void applyIndexLine(const std::string &line);
/** Loads the selected filter record and its defaults from `ExePath`; a record cut short
    ends the run with code 2/33. */
void loadFilterRecord();

// The tempo-file value after which the frames follow the fixed hop again.
constexpr int TempoFileEnd = 65535;

/** Opens a tempo file for reading; nullptr unless it names an existing regular file. */
FILE *openTempoStream(const std::string &path);
/** Reads one little-endian 16-bit tempo value from file; bytes past its end read as 255. */
int nextTempoValue(FILE *file);
/** The values of a tempo file as the frames follow them: up to the first TempoFileEnd
    (a final odd byte b reads as 65280 + b). False, with no values, when the file is not
    a regular file or cannot be read. */
bool readTempoValues(const std::string &path, std::vector<uint16_t> &values);
/** Opens `TempoFile` and derives the tempo values when it opens. */
void openTempoFile();
/** Reads the next tempo value of the run's tempo file. */
int readTempoValue();
