// Filter-record builder: measures one instrument's note templates from a
// recording of single notes with the engine's own filter-path key detector.
#include "app/filter_builder/filter_builder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

// The scratch folder of the run; removed at exit, also when the engine ends the process.
std::string scratchDir;
bool analysisRunning = false;  // set while the engine's code may end the process

const char *const UsageText =
    "usage: %s --first N --last M --seconds S --out RECORD.bin [options] SINGLE-NOTES.wav\n"
    "\n"
    "Measures one filter record (%d x %d bytes) from a recording of single notes\n"
    "of one instrument. The WAV file (PCM, 1 or 2 channels, 8 or 16 bits, 11025,\n"
    "22050 or 44100 Hz) holds the notes N, N+1, ..., M, the first starting at time 0\n"
    "and each S seconds after the one before.\n"
    "\n"
    "Every frame is measured as the engine measures it on the filter path: %d\n"
    "samples at %d Hz, each frame rescaled to a peak of 32768, the level of every\n"
    "key 1..%d from the key detector (one level step is an amplitude of 32768/%d).\n"
    "A note's levels are averaged over the frames that lie wholly within its\n"
    "sustained part, from SKIP to SKIP + LENGTH seconds after its onset, each frame\n"
    "weighted by its peak sample (so a quiet tail does not outweigh the body of the\n"
    "note); silent frames are left out.\n"
    "\n"
    "Scale: row r, byte c is note r's average level on key c times PEAK / L, where L\n"
    "is the note's largest average level over all keys, rounded and clamped to\n"
    "0..255. With PEAK 127 (the default) the strongest key of every row holds 127,\n"
    "so a multiple m of the template reproduces a note whose strongest key has level\n"
    "m, with the other keys in the measured proportion. Notes outside N..M, and\n"
    "notes with no sounding frame, get rows of zeros.\n"
    "\n"
    "options:\n"
    "  --first N        note at time 0 (1..%d)\n"
    "  --last M         last note (N..%d)\n"
    "  --seconds S      onset distance of the notes in seconds\n"
    "  --out FILE       record file to write (%d bytes)\n"
    "  --skip A         seconds of attack skipped after each onset (default 0.1)\n"
    "  --length B       seconds measured after the attack (default S / 2)\n"
    "  --hop H          seconds between measured frames (default 0.025)\n"
    "  --peak V         value of a row's strongest key, 1..255 (default 127)\n"
    "  --threshold T    frames whose peak sample is below T are silent (default 64)\n"
    "  --equal-weights  average the frames with equal weights\n"
    "  -v, --verbose    one line per note on standard output\n"
    "  -h, --help       this text\n";

void removeScratch() {
    if (scratchDir.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(scratchDir, ignored);
    scratchDir.clear();
}

// Runs at process exit: explains an end of the run inside the engine's code.
void atExit() {
    if (analysisRunning) {
        std::ifstream status(scratchDir + "/status.txt");
        std::string line;
        std::getline(status, line);
        std::fprintf(stderr, "filter builder: the analysis stopped (status %s)\n", line.c_str());
    }
    removeScratch();
}

bool parseNumber(const char *text, double &value) {
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value);
}

bool parseWhole(const char *text, int &value) {
    double v;
    if (!parseNumber(text, v) || v != std::floor(v) || std::fabs(v) > 1e6) return false;
    value = static_cast<int>(v);
    return true;
}

// Applies one option with its value; false when the name or value is bad.
bool applyOption(const std::string &name, const char *value, BuilderOptions &o) {
    if (name == "--first") return parseWhole(value, o.first);
    if (name == "--last") return parseWhole(value, o.last);
    if (name == "--peak") return parseWhole(value, o.peak);
    if (name == "--threshold") return parseWhole(value, o.inputThreshold);
    if (name == "--seconds") return parseNumber(value, o.seconds);
    if (name == "--skip") return parseNumber(value, o.skip);
    if (name == "--length") return parseNumber(value, o.length);
    if (name == "--hop") return parseNumber(value, o.hop);
    if (name == "--out") {
        o.out = value;
        return true;
    }
    return false;
}

bool optionsValid(BuilderOptions &o) {
    if (o.length < 0) o.length = o.seconds / 2;
    const std::string keys = "--first and --last must satisfy 1 <= N <= M <= " + std::to_string(RecordKeys);
    const char *problem = nullptr;
    if (o.first < 1 || o.first > RecordKeys || o.last < o.first || o.last > RecordKeys)
        problem = keys.c_str();
    else if (!(o.seconds > 0) || o.skip < 0 || !(o.hop > 0))
        problem = "--seconds and --hop must be positive and --skip not negative";
    else if (o.peak < 1 || o.peak > 255)
        problem = "--peak must lie in 1..255";
    else if (o.inputThreshold < 1 || o.inputThreshold > 32767)
        problem = "--threshold must lie in 1..32767";
    else if (o.out.empty() || o.wave.empty())
        problem = "--out and the WAV file are needed";
    if (problem) std::fprintf(stderr, "filter builder: %s\n", problem);
    return problem == nullptr;
}

// Why the engine would refuse the header area (WaveHeaderArea bytes), or nullptr: the engine's own verdict.
const char *headerProblem(const uint8_t *h) {
    WaveHeaderFields fields{};
    int verdict = parseWaveHeader(h, -1, fields);
    if (verdict == 0) return "not a RIFF WAVE file";
    if (verdict == 17) return "not PCM";
    if (verdict == 18) return "no data chunk near the start";
    switch (waveFormatDetail(fields.tracks, fields.rate, fields.bitsPerSample)) {
    case 9: return "neither mono nor stereo";
    case 10: return "rate not 11025, 22050 or 44100 Hz";
    case 11: return "neither 8 nor 16 bits per sample";
    default: return nullptr;
    }
}

// Writes the bytes of the record rows of one note.
void writeNoteRow(int note, const BuilderOptions &o, std::vector<uint8_t> &record) {
    const NoteLevels levels = measureNote(note, o);
    uint8_t *row = record.data() + (note - 1) * RecordKeys;
    scaleRow(levels, o.peak, row);
    if (levels.frames == 0) std::fprintf(stderr, "filter builder: note %d: no sounding frame, row left zero\n", note);
    if (!o.verbose) return;
    int top = 1;
    for (int k = 1; k <= RecordKeys; ++k)
        if (levels.level[k] > levels.level[top]) top = k;
    std::printf("note %3d: %3d frames, strongest key %3d at level %.2f, own key %d\n", note, levels.frames, top,
                levels.level[top], row[note - 1]);
}

}  // namespace

void printBuilderUsage(const char *program) {
    std::printf(UsageText, program, RecordKeys, RecordKeys, FilterBufferSize, FilterVirtualSR, RecordKeys,
                FilterLevelCeiling, RecordKeys, RecordKeys, RecordSize);
}

bool parseBuilderOptions(int argc, char **argv, BuilderOptions &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--equal-weights") {
            options.loudnessWeights = false;
        } else if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc || !applyOption(arg, argv[i + 1], options)) {
                std::fprintf(stderr, "filter builder: bad option or value: %s\n", arg.c_str());
                return false;
            }
            ++i;
        } else if (options.wave.empty()) {
            options.wave = arg;
        } else {
            std::fprintf(stderr, "filter builder: more than one WAV file given\n");
            return false;
        }
    }
    return optionsValid(options);
}

bool checkWaveFile(const std::string &path) {
    std::vector<uint8_t> header(WaveHeaderArea);
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "filter builder: cannot open %s\n", path.c_str());
        return false;
    }
    const size_t got = std::fread(header.data(), 1, header.size(), file);
    std::fclose(file);
    if (got < header.size()) {
        std::fprintf(stderr, "filter builder: %s: shorter than %d bytes\n", path.c_str(), WaveHeaderArea);
        return false;
    }
    const char *problem = headerProblem(header.data());
    if (problem) std::fprintf(stderr, "filter builder: %s: %s\n", path.c_str(), problem);
    return problem == nullptr;
}

bool writeAnalysisSettings(const std::string &dir, const BuilderOptions &options) {
    const std::string wave = std::filesystem::absolute(options.wave).string();
    const std::string text = "WaveFile=" + wave + "\nMidiFile=" + dir + "/unused.mid\nExePath=" + dir +
                             "/\nFilter=0\nKeyMin=1\nKeyMax=" + std::to_string(RecordKeys) +
                             "\nPitchMode=1\nEntireWave=1\nAGC=1\nStereoPan=50\nReferencePitch=440\n"
                             "AutoDetectKey=0\nInputThreshold=" + std::to_string(options.inputThreshold) + "\n";
    // A path longer than the engine reads in one line would end the analysis.
    for (const TextPiece &piece : splitTextLines(text))
        if (piece.cut) {
            std::fprintf(stderr, "filter builder: the path %s is too long for a settings line\n", wave.c_str());
            return false;
        }
    std::ofstream out(dir + "/settings.txt");
    out << text;
    std::ofstream status(dir + "/status.txt");
    status << "0\n";
    const bool ok = out.good() && status.good();
    if (!ok) std::fprintf(stderr, "filter builder: cannot prepare the analysis of %s\n", wave.c_str());
    return ok;
}

void prepareAnalysis(const std::string &dir) {
    run = RunState{};
    run.statusPath = dir + "/status.txt";
    setupAnalysis((dir + "/settings.txt").c_str());
    prepareRun();
}

bool addFrameLevels(int64_t sample, bool loudnessWeights, NoteLevels &levels) {
    const int64_t sampleBytes = sampleFrameBytes(settings.Tracks, settings.BitsPerSample);
    const uint32_t peak = readFrame(derived.waveDataOffset + sample * sampleBytes, analysis.FrameSamples);
    if (peak == 0) return false;
    measureAllKeys(0);
    const int32_t *row = levelRow(0);
    const double weight = loudnessWeights ? peak : 1.0;
    for (int k = settings.KeyMin; k <= settings.KeyMax && k <= RecordKeys; ++k) levels.level[k] += weight * row[k];
    levels.weight += weight;
    ++levels.frames;
    return true;
}

NoteLevels measureNote(int note, const BuilderOptions &o) {
    NoteLevels levels;
    const double frameSeconds = static_cast<double>(derived.frameLength) / settings.VirtualSR;
    const double from = (note - o.first) * o.seconds + o.skip;
    const double to = from + o.length;
    for (int i = 0;; ++i) {
        const double t = from + i * o.hop;
        if (i > 0 && t + frameSeconds > to) break;
        addFrameLevels(std::llround(t * settings.Rate), o.loudnessWeights, levels);
    }
    if (levels.weight > 0)
        for (double &v : levels.level) v /= levels.weight;
    return levels;
}

void scaleRow(const NoteLevels &levels, int peak, uint8_t *row) {
    double top = 0;
    for (int k = 1; k <= RecordKeys; ++k) top = std::fmax(top, levels.level[k]);
    for (int k = 1; k <= RecordKeys; ++k) {
        const double v = top > 0 ? std::trunc(peak * levels.level[k] / top + 0.5) : 0;
        row[k - 1] = static_cast<uint8_t>(std::fmin(255.0, std::fmax(0.0, v)));
    }
}

std::vector<uint8_t> measureRecord(const BuilderOptions &options) {
    std::vector<uint8_t> record(RecordSize, 0);
    for (int note = options.first; note <= options.last; ++note) writeNoteRow(note, options, record);
    return record;
}

bool writeRecord(const std::string &path, const std::vector<uint8_t> &record) {
    FILE *file = std::fopen(path.c_str(), "wb");
    bool ok = file && std::fwrite(record.data(), 1, record.size(), file) == record.size();
    if (file && std::fclose(file) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "filter builder: cannot write %s\n", path.c_str());
    return ok;
}

int runBuilder(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            printBuilderUsage(argv[0]);
            return 0;
        }
    BuilderOptions options;
    if (!parseBuilderOptions(argc, argv, options)) {
        std::fprintf(stderr, "try: %s --help\n", argv[0]);
        return 1;
    }
    if (!checkWaveFile(options.wave)) return 1;
    char pattern[] = "/tmp/sonoscriptor-filter-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    scratchDir = pattern;
    std::atexit(atExit);
    if (!writeAnalysisSettings(scratchDir, options)) return 1;
    analysisRunning = true;
    prepareAnalysis(scratchDir);
    const std::vector<uint8_t> record = measureRecord(options);
    closeRun(0);
    analysisRunning = false;
    return writeRecord(options.out, record) ? 0 : 1;
}

int main(int argc, char **argv) { return runBuilder(argc, argv); }
