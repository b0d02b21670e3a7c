// Tests of the filter-record builder, of the shipped filter records and of a
// filter-path run of the engine with the piano record.
#include <gtest/gtest.h>

#include <cmath>

#include "input/input.h"
#include "tests/support/support.h"

#ifndef FILTER_BUILDER_PATH
#define FILTER_BUILDER_PATH BUILD_DIR "/sonoscriptor-filter-builder"
#endif

namespace {

constexpr int Keys = 112;
constexpr size_t RecordBytes = Keys * Keys;

double keyHz(int key) { return 440.0 * std::pow(2.0, (key - 69) / 12.0); }

// Runs the builder with the arguments; returns its exit code (-1 when a signal
// ended it), its output and errors together in `text`.
int runBuilderWith(const std::vector<std::string> &args, std::string *text = nullptr) {
    Launch launch;
    launch.args = {FILTER_BUILDER_PATH};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    launch.mergeErrors = true;
    const CommandResult r = waitCommand(spawnProcess(launch));
    if (text) *text = r.out;
    return r.signal ? -1 : r.code;
}

// One second per note from `first`: a sine at the key's pitch for 0.8 s, or silence for a 0 key.
std::vector<int16_t> sineNotes(int rate, const std::vector<int> &keys) {
    std::vector<int16_t> samples(static_cast<size_t>(rate) * keys.size(), 0);
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i] > 0) mixInto(samples, sineWave(rate, keyHz(keys[i]), 0.8, 8000), i * rate);
    return samples;
}

// Byte of note r (1..112) on key c (1..112) in a record.
int templateValue(const std::string &record, size_t index, int r, int c) {
    return static_cast<unsigned char>(record[index * RecordBytes + (r - 1) * Keys + (c - 1)]);
}

bool rowIsZero(const std::string &record, size_t index, int r) {
    for (int c = 1; c <= Keys; ++c)
        if (templateValue(record, index, r, c) != 0) return false;
    return true;
}

// Checks that a sine note's own key holds the row's top value 127 and stands out.
void expectSineRow(const std::string &record, int note) {
    EXPECT_EQ(templateValue(record, 0, note, note), 127) << "note " << note;
    for (int c = 1; c <= Keys; ++c) {
        if (c != note) {
            EXPECT_LT(templateValue(record, 0, note, c), 64) << "note " << note << " key " << c;
        }
    }
}

std::vector<std::string> splitFields(const std::string &line) {
    std::vector<std::string> fields(1);
    for (char ch : line) {
        if (ch == ',')
            fields.emplace_back();
        else if (ch != '\n' && ch != '\r')
            fields.back() += ch;
    }
    return fields;
}

// A reference note of the piano clip: onset in quarter notes and key.
struct ClipNote {
    double beat;
    int key;
};

// The notes of tests/tools/piano-clip.wav (see piano-clip.sh), 120 quarters/min.
const std::vector<ClipNote> ClipNotes = {
    {0, 60},  {1, 64},  {2, 67},  {3, 72},  {4, 48},  {4, 64},  {5, 65},  {6, 55},
    {6, 67},  {7, 71},  {8, 60},  {8, 64},  {8, 67},  {10, 53}, {10, 69}, {10, 72},
    {12, 76}, {13, 74}, {14, 72}, {15, 71}, {16, 72}, {16, 48},
};

// Ticks per quarter note of a MIDI file (header bytes 12 and 13).
int midiDivision(const std::string &path) {
    const std::string d = readFile(path);
    if (d.size() < 14) return 0;
    return (static_cast<unsigned char>(d[12]) << 8) | static_cast<unsigned char>(d[13]);
}

// Number of notes in `a` that have a note of the same key in `b` within half a beat.
int matchedNotes(const std::vector<ClipNote> &a, const std::vector<ClipNote> &b) {
    std::vector<bool> used(b.size(), false);
    int found = 0;
    for (const ClipNote &n : a)
        for (size_t j = 0; j < b.size(); ++j)
            if (!used[j] && b[j].key == n.key && std::fabs(b[j].beat - n.beat) <= 0.5) {
                used[j] = true;
                ++found;
                break;
            }
    return found;
}

}  // namespace

TEST(FilterBuilder, SineNotesGiveTheirOwnKeyTheTopValue) {
    TempDir dir;
    writeWav16(dir.file("notes.wav"), 11025, 1, sineNotes(11025, {57, 58, 0, 60, 61, 62}));
    const std::string out = dir.file("record.bin");
    ASSERT_EQ(runBuilderWith({"--first", "57", "--last", "62", "--seconds", "1", "--out", out, dir.file("notes.wav")}),
              0);
    const std::string record = readFile(out);
    ASSERT_EQ(record.size(), RecordBytes);
    for (int note : {57, 58, 60, 61, 62}) expectSineRow(record, note);
    EXPECT_TRUE(rowIsZero(record, 0, 59)) << "a silent note gives a zero row";
    for (int r = 1; r <= Keys; ++r) {
        if (r < 57 || r > 62) {
            EXPECT_TRUE(rowIsZero(record, 0, r)) << "note " << r << " lies outside the recording";
        }
    }
}

TEST(FilterBuilder, ReadsStereoAndEightBitFiles) {
    TempDir dir;
    const std::vector<int16_t> mono = sineNotes(44100, {69, 76});
    std::vector<int16_t> stereo;
    for (int16_t s : mono) stereo.insert(stereo.end(), {s, s});
    writeWav16(dir.file("stereo.wav"), 44100, 2, stereo);
    std::vector<uint8_t> bytes;
    for (int16_t s : sineNotes(22050, {69, 76})) bytes.push_back(static_cast<uint8_t>(128 + s / 256));
    writeWav8(dir.file("eight.wav"), 22050, 1, bytes);
    for (const char *name : {"stereo.wav", "eight.wav"}) {
        const std::string out = dir.file(std::string(name) + ".bin");
        ASSERT_EQ(runBuilderWith({"--first", "69", "--last", "70", "--seconds", "1", "--out", out, dir.file(name)}), 0);
        const std::string record = readFile(out);
        ASSERT_EQ(record.size(), RecordBytes);
        EXPECT_EQ(templateValue(record, 0, 69, 69), 127) << name;
        EXPECT_EQ(templateValue(record, 0, 70, 76), 127) << name << ": the loudest key of note 70 is 76";
    }
}

TEST(FilterBuilder, RejectsBadInputWithoutWritingARecord) {
    TempDir dir;
    std::string text;
    EXPECT_EQ(runBuilderWith({"--help"}, &text), 0);
    EXPECT_NE(text.find("127"), std::string::npos);
    const std::string out = dir.file("record.bin");
    EXPECT_EQ(runBuilderWith({"--first", "60", "--last", "61", "--seconds", "1", "--out", out, dir.file("none.wav")}),
              1);
    writeFile(dir.file("short.wav"), "RIFF");
    EXPECT_EQ(runBuilderWith({"--first", "60", "--last", "61", "--seconds", "1", "--out", out, dir.file("short.wav")}),
              1);
    writeWav16(dir.file("low.wav"), 8000, 1, std::vector<int16_t>(16000, 0));
    EXPECT_EQ(runBuilderWith({"--first", "60", "--last", "61", "--seconds", "1", "--out", out, dir.file("low.wav")}), 1);
    EXPECT_EQ(runBuilderWith({"--first", "61", "--last", "60", "--seconds", "1", "--out", out, dir.file("low.wav")}), 1);
    EXPECT_FALSE(fileExists(out));
}

TEST(ShippedFilterRecords, IndexAndRecordsAgree) {
    std::vector<std::string> lines;
    ASSERT_TRUE(readTextLines(SOURCE_DIR "/data/filter.txt", lines));
    const std::string records = readFile(SOURCE_DIR "/data/filter.dat");
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(records.size(), lines.size() * RecordBytes);
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::vector<std::string> f = splitFields(lines[n]);
        ASSERT_EQ(f.size(), 4u) << lines[n];
        const int keyMin = parseInt(f[1].c_str()), keyMax = parseInt(f[2].c_str());
        EXPECT_TRUE(keyMin >= 1 && keyMin < keyMax && keyMax <= Keys) << lines[n];
        EXPECT_GT(parseInt(f[3].c_str()), 0) << lines[n];
        int sounding = 0;
        for (int r = 1; r <= Keys; ++r) {
            if (r < keyMin || r > keyMax) {
                EXPECT_TRUE(rowIsZero(records, n, r)) << lines[n] << " row " << r;
            }
            if (!rowIsZero(records, n, r)) ++sounding;
        }
        EXPECT_GE(sounding, (keyMax - keyMin + 1) * 9 / 10) << lines[n];
    }
}

TEST(ShippedFilterRecords, PianoRecordLoadsWithItsDefaults) {
    resetSettings();
    settings.ExePath = SOURCE_DIR "/data/";
    settings.Filter = 0;
    loadFilterRecord();
    EXPECT_EQ(settings.KeyMin, 21);
    EXPECT_EQ(settings.KeyMax, 108);
    EXPECT_EQ(settings.PitchMode, 10);
    int nonZero = 0;
    for (int v : FilterTable) nonZero += v != 0;
    EXPECT_GT(nonZero, 1000);
    EXPECT_EQ(FilterTable[60 * FilterSize + 60], 127) << "middle C is strongest on its own key";
    for (int c = 0; c < FilterSize; ++c) EXPECT_EQ(FilterTable[c], 0) << "row 0 stays empty";
    resetSettings();
    settings.ExePath = SOURCE_DIR "/data/";
    settings.Filter = 73;
    settings.KeyMin = 65;
    loadFilterRecord();
    EXPECT_EQ(settings.KeyMin, 65) << "a setting from the settings file wins";
    EXPECT_EQ(settings.KeyMax, 96);
    EXPECT_EQ(settings.PitchMode, 2);
    EXPECT_GT(FilterTable[72 * FilterSize + 72], 0);
    resetSettings();
}

TEST(ShippedFilterRecords, EngineFindsThePianoClipNotes) {
    TempDir dir;
    const std::string out = dir.file("clip.mid");
    const EngineOutcome result = runEngineWith(dir, "WaveFile=" SOURCE_DIR "/tests/tools/piano-clip.wav\n"
                                                "MidiFile=" + out + "\nFilter=0\nExePath=" SOURCE_DIR "/data/\n"
                                                "Tempo=120\n");
    ASSERT_EQ(result.exitCode, 0) << result.status;
    const int division = midiDivision(out);
    ASSERT_GT(division, 0);
    std::vector<ClipNote> found;
    for (const TrackEvent &n : readMidiNotes(out))
        if (n.type == 0x90 && n.velocity > 0) found.push_back({static_cast<double>(n.tick) / division, n.note});
    const int recalled = matchedNotes(ClipNotes, found);
    const int correct = matchedNotes(found, ClipNotes);
    EXPECT_GE(recalled * 4, static_cast<int>(ClipNotes.size()) * 3) << recalled << " of " << ClipNotes.size();
    EXPECT_GE(correct * 4, static_cast<int>(found.size()) * 3) << correct << " of " << found.size();
}

// The WAV path goes into a settings line: a path that fills the longest line the engine
// reads whole is measured, one character more is refused before any analysis.
TEST(FilterBuilder, TakesTheLongestWavPathASettingsLineHolds) {
    TempDir dir;
    const size_t room = MaxLinePiece - std::string("WaveFile=\n").size() - dir.file("").size();
    const std::string fits = dir.file(std::string(room - 4, 'w') + ".wav");
    const std::string longer = dir.file(std::string(room - 3, 'w') + ".wav");
    for (const std::string &wave : {fits, longer}) writeWav16(wave, 11025, 1, sineNotes(11025, {69}));
    const std::string out = dir.file("record.bin");
    std::string text;
    EXPECT_EQ(runBuilderWith({"--first", "69", "--last", "69", "--seconds", "1", "--out", out, longer}, &text), 1);
    EXPECT_NE(text.find("too long for a settings line"), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out));
    EXPECT_EQ(runBuilderWith({"--first", "69", "--last", "69", "--seconds", "1", "--out", out, fits}, &text), 0)
        << text;
    EXPECT_EQ(readFile(out).size(), RecordBytes);
}
