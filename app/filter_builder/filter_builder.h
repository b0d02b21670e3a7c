// Filter-record builder: measures one instrument's note templates from a
// recording of single notes with the engine's own filter-path key detector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input/input.h"  // FilterRecordKeys, FilterRecordBytes

// Notes and keys of one record: rows and columns 1..112.
constexpr int RecordKeys = FilterRecordKeys;
constexpr int RecordSize = static_cast<int>(FilterRecordBytes);

// Command-line choices of one measurement.
struct BuilderOptions {
    int first = 0;          // note sounding at time 0
    int last = 0;           // last note of the recording
    double seconds = 0;     // onset distance of the notes
    double skip = 0.1;      // attack skipped after each onset, seconds
    double length = -1;     // measured span after the attack (default seconds / 2)
    double hop = 0.025;     // distance of the measured frames, seconds
    int peak = 127;         // template value given to a row's strongest key
    int inputThreshold = 64;  // frames with a lower peak count as silent
    bool loudnessWeights = true;  // frames weighted by their peak sample, else equally
    bool verbose = false;
    std::string out;
    std::string wave;
};

// Averaged levels of one note on keys 0..112, the frames measured and their weight.
struct NoteLevels {
    std::vector<double> level = std::vector<double>(RecordKeys + 1, 0.0);
    int frames = 0;
    double weight = 0;
};

/** Prints the usage and the description of the record's scale. */
void printBuilderUsage(const char *program);
/** Reads the command line into options; false with a message on error. */
bool parseBuilderOptions(int argc, char **argv, BuilderOptions &options);
/** Checks that the WAV file is one the engine reads; false with a message. */
bool checkWaveFile(const std::string &path);

/** Writes the settings file that puts the engine on the filter path for the WAV. */
bool writeAnalysisSettings(const std::string &dir, const BuilderOptions &options);
/** Runs the engine's set-up and table building from the settings file in dir. */
void prepareAnalysis(const std::string &dir);
/** Averages the detector's levels of one note over its sustained frames. */
NoteLevels measureNote(int note, const BuilderOptions &options);
/** Adds the weighted levels of the frame at a sample position; false when it is silent. */
bool addFrameLevels(int64_t sample, bool loudnessWeights, NoteLevels &levels);

/** Scales averaged levels to a record row (bytes for keys 1..112). */
void scaleRow(const NoteLevels &levels, int peak, uint8_t *row);
/** Measures every note of the recording into a whole record. */
std::vector<uint8_t> measureRecord(const BuilderOptions &options);
/** Writes the record file; false with a message on error. */
bool writeRecord(const std::string &path, const std::vector<uint8_t> &record);

/** Entry of the builder. */
int runBuilder(int argc, char **argv);
