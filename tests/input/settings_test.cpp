// Settings file reader: key matching, value kinds, line handling and the
// conversions that never overflow.
#include <climits>
#include <cmath>
#include <limits>

#include "tests/input/input_rig.h"

namespace {

using input_rig::InputTest;

class SettingsFileTest : public InputTest {
protected:
    // Reads the text as a settings file into freshly reset settings.
    void read(const std::string &text) {
        resetSettings();
        readSettings(settingsFile(text).c_str());
    }
};

TEST_F(SettingsFileTest, OnlyFileNamesLeavesEveryOtherSettingAtItsDefault) {
    read("WaveFile=in.wav\nMidiFile=out.mid\n");
    const Settings &s = settings;
    EXPECT_EQ(s.WaveFile, "in.wav");
    EXPECT_EQ(s.MidiFile, "out.mid");
    EXPECT_EQ(s.ExePath, "");
    EXPECT_EQ(s.TempoFile, "");
    EXPECT_EQ(s.Tracks, 0);
    EXPECT_EQ(s.Rate, 0);
    EXPECT_EQ(s.BitsPerSample, 0);
    EXPECT_EQ(s.EntireWave, 0);
    EXPECT_EQ(s.CropSilence, 0);
    EXPECT_EQ(s.StartPoint, 0.0);
    EXPECT_EQ(s.EndPoint, 0.0);
    EXPECT_EQ(s.VirtualSR, 0);
    EXPECT_EQ(s.ReferencePitch, 440);
    EXPECT_EQ(s.AGC, 1);
    EXPECT_EQ(s.StereoPan, 50);
    EXPECT_EQ(s.KeyMin, 999);
    EXPECT_EQ(s.KeyMax, 999);
    EXPECT_EQ(s.InputThreshold, 512);
    EXPECT_EQ(s.OutputThreshold, 999);
    EXPECT_EQ(s.BufferSize, 0);
    EXPECT_EQ(s.Resolution, 3.0f);
    EXPECT_EQ(s.MinimumLength, 2);
    EXPECT_EQ(s.PauseBetweenNotes, 0);
    EXPECT_EQ(s.PitchMode, 999);
    EXPECT_EQ(s.Constrain, 0);
    EXPECT_EQ(s.Channel, 1);
    EXPECT_EQ(s.Filter, -1);
    EXPECT_EQ(s.Patch, -1);
    EXPECT_EQ(s.TimeSignatureNumerator, 4);
    EXPECT_EQ(s.TimeSignatureDenominator, 2);
    EXPECT_EQ(s.Tempo, 120.0);
    EXPECT_EQ(s.Speed, 100.0f);
    EXPECT_EQ(s.Transpose, 0);
    EXPECT_EQ(s.KeySignature, 8);
    EXPECT_EQ(s.MajorMinor, 0);
    EXPECT_EQ(s.AutoDetectKey, 1);
    EXPECT_EQ(s.Gain, 999.0f);
    EXPECT_EQ(s.VelocityOn, 1);
    EXPECT_EQ(s.VelocityOff, 1);
    EXPECT_EQ(s.PhaseMult, 3);
    EXPECT_EQ(s.ChordRes, 0);
    EXPECT_EQ(s.BufferIncrement, 0);
    EXPECT_EQ(s.ClusterDetect, 0);
    EXPECT_EQ(s.Sensitivity, 1);
}

TEST_F(SettingsFileTest, KeysAreFoundAnywhereInTheLineButNotWithBlankBeforeEquals) {
    read("  KeyMin=30\n");
    EXPECT_EQ(settings.KeyMin, 30);
    read("# lowest: KeyMin=31\n");
    EXPECT_EQ(settings.KeyMin, 31);
    read("KeyMin =40\n");
    EXPECT_EQ(settings.KeyMin, 999);
    read("keymin=40\nKEYMIN=41\n");
    EXPECT_EQ(settings.KeyMin, 999);
    read("Tempo=  90\n");  // blanks after "=" belong to the value
    EXPECT_EQ(settings.Tempo, 90.0);
}

TEST_F(SettingsFileTest, FirstKeyInTableOrderTakesTheLineWithTheValueAfterTheFirstEquals) {
    // KeyMin is tested before Tempo: it takes the line, and its value starts
    // after the first "=", which belongs to Tempo.
    read("Tempo=90 KeyMin=30\n");
    EXPECT_EQ(settings.KeyMin, 90);
    EXPECT_EQ(settings.Tempo, 120.0);
    // Tracks comes before AGC: "0 Tracks=2" converts to 0.
    read("AGC=7 Tracks=2\n");
    EXPECT_EQ(settings.Tracks, 7);
    EXPECT_EQ(settings.AGC, 1);
    read("MidiFile=a=b.mid\n");
    EXPECT_EQ(settings.MidiFile, "a=b.mid");
    read("x=3 Channel=5\n");
    EXPECT_EQ(settings.Channel, 3);  // the value after the first "=" is "3 Channel=5"
    read("Sensitivity=3 and x=5\n");
    EXPECT_EQ(settings.Sensitivity, 3);
}

TEST_F(SettingsFileTest, DecimalsAcceptCommaIntegersDropFractionAndTrailingText) {
    read("Tempo=97,5\nStartPoint=1,25\nEndPoint=2.75\nResolution=2,5\nSpeed=97,5\nGain=150.9\n"
         "BufferSize=1024 word\nKeyMin=+12abc\nTranspose=-7\nChannel=abc\n");
    EXPECT_EQ(settings.Tempo, 97.5);
    EXPECT_EQ(settings.StartPoint, 1.25);
    EXPECT_EQ(settings.EndPoint, 2.75);
    EXPECT_EQ(settings.Resolution, 2.5f);
    EXPECT_EQ(settings.Speed, 97.0f);
    EXPECT_EQ(settings.Gain, 150.0f);
    EXPECT_EQ(settings.BufferSize, 1024);
    EXPECT_EQ(settings.KeyMin, 12);
    EXPECT_EQ(settings.Transpose, -7);
    EXPECT_EQ(settings.Channel, 0);
    read("Tempo=97.5\nSpeed=150.5\n");
    EXPECT_EQ(settings.Tempo, 97.5);
    EXPECT_EQ(settings.Speed, 150.0f);
    read("Resolution=1e300\n");  // beyond the float range: infinite, later clamped to 8
    EXPECT_EQ(settings.Resolution, INFINITY);
    read("Resolution=-1e300\n");
    EXPECT_EQ(settings.Resolution, -INFINITY);
}

TEST_F(SettingsFileTest, LastOccurrenceWinsAndEmptyValueLeavesTheSettingUnchanged) {
    read("Tempo=90\nTempo=100\n");
    EXPECT_EQ(settings.Tempo, 100.0);
    read("Tempo=90\nKeyMin=30\nSpeed=150\nResolution=2\nGain=50\nWaveFile=a.wav\nTempoFile=beats.bin\n"
         "Tempo=\nKeyMin=\nSpeed=\nResolution=\nGain=\n          WaveFile=\n          TempoFile=\n");
    EXPECT_EQ(settings.Tempo, 90.0);
    EXPECT_EQ(settings.KeyMin, 30);
    EXPECT_EQ(settings.Speed, 150.0f);
    EXPECT_EQ(settings.Resolution, 2.0f);
    EXPECT_EQ(settings.Gain, 50.0f);
    EXPECT_EQ(settings.WaveFile, "a.wav");
    EXPECT_EQ(settings.TempoFile, "beats.bin");
    read("KeyMax=\r\nTempo=");  // CR LF and a last line without line end
    EXPECT_EQ(settings.KeyMax, 999);
    EXPECT_EQ(settings.Tempo, 120.0);
}

TEST_F(SettingsFileTest, MarkerValue999CountsAsAbsent) {
    read("KeyMin=999\nKeyMax=999\nOutputThreshold=999\nPitchMode=999\nGain=999\n");
    EXPECT_EQ(settings.KeyMin, 999);
    EXPECT_EQ(settings.KeyMax, 999);
    EXPECT_EQ(settings.OutputThreshold, 999);
    EXPECT_EQ(settings.PitchMode, 999);
    EXPECT_EQ(settings.Gain, 999.0f);
}

TEST_F(SettingsFileTest, StringLineMustBeLongerThanTenCharactersWithItsNewline) {
    read("WaveFile=x\n");  // 11 characters
    EXPECT_EQ(settings.WaveFile, "x");
    read("ExePath=x\n");  // 10 characters
    EXPECT_EQ(settings.ExePath, "");
    read("ExePath=xy\n");
    EXPECT_EQ(settings.ExePath, "xy");
    read("ExePath=x\r\n");  // the CR is dropped first: 10 characters
    EXPECT_EQ(settings.ExePath, "");
    read("WaveFile=x");  // last line, no newline: 10 characters
    EXPECT_EQ(settings.WaveFile, "");
    read("MidiFile=ab");
    EXPECT_EQ(settings.MidiFile, "ab");
    read("TempoFile=b\n");
    EXPECT_EQ(settings.TempoFile, "b");
    read("WaveFile=C:\\My Music\\take 1.wav \n");  // white space is kept
    EXPECT_EQ(settings.WaveFile, "C:\\My Music\\take 1.wav ");
}

TEST_F(SettingsFileTest, CrBeforeLfIsDroppedOtherCrIsKept) {
    read("WaveFile=in.wav\r\nTempo=97,5\r\nKeyMin=30\r\nMidiFile=a\rb.mid\n");
    EXPECT_EQ(settings.WaveFile, "in.wav");
    EXPECT_EQ(settings.Tempo, 97.5);
    EXPECT_EQ(settings.KeyMin, 30);
    EXPECT_EQ(settings.MidiFile, "a\rb.mid");
}

TEST_F(SettingsFileTest, LongLinesAreReadInPiecesOf254Characters) {
    // First piece: "KeyMin=40" and padding up to 254 characters; the second
    // piece is a line of its own and matches a key.
    std::string first = "KeyMin=40" + std::string(254 - 9, ' ');
    read(first + "Sensitivity=3\n");
    EXPECT_EQ(settings.KeyMin, 40);
    EXPECT_EQ(settings.Sensitivity, 3);
    // A key cut by the split is not recognised in either piece.
    read(std::string(250, 'x') + "KeyMax=50\n");
    EXPECT_EQ(settings.KeyMax, 999);
    // Every piece of a line longer than one piece is marked as cut (a text key
    // there ends the run, see the engine runs); a line of 254 with its newline is whole.
    std::vector<TextPiece> pieces = splitTextLines("WaveFile=" + std::string(300, 'w') + "\n" +
                                                   "MidiFile=" + std::string(244, 'm') + "\n");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_TRUE(pieces[0].cut && pieces[1].cut);
    EXPECT_EQ(pieces[1].text, std::string(300 + 10 - 254, 'w').substr(1) + "\n");
    EXPECT_FALSE(pieces[2].cut);
    // 253 characters and CR LF: the CR goes before the split, so the line is
    // one piece of 254 characters and the value carries neither CR nor LF.
    std::string path(253 - 8, 'p');
    read("ExePath=" + path + "\r\nKeyMin=33\r\n");
    EXPECT_EQ(settings.ExePath, path);
    EXPECT_EQ(settings.KeyMin, 33);
    // Exactly 254 characters before the newline: the newline is a piece alone.
    read("Tempo=7" + std::string(254 - 7, '0') + "\nKeyMax=60\n");
    EXPECT_EQ(settings.Tempo, 7e247);
    EXPECT_EQ(settings.KeyMax, 60);
}

TEST_F(SettingsFileTest, IntegersSaturateTo32Bits) {
    read("KeyMax=-99999999999\nKeyMin=99999999999\nTranspose=2147483647\nChannel=-2147483648\n"
         "Patch=2147483648\nFilter=-2147483649\nSpeed=99999999999\nGain=-99999999999\n");
    EXPECT_EQ(settings.KeyMax, INT_MIN);
    EXPECT_EQ(settings.KeyMin, INT_MAX);
    EXPECT_EQ(settings.Transpose, INT_MAX);
    EXPECT_EQ(settings.Channel, INT_MIN);
    EXPECT_EQ(settings.Patch, INT_MAX);
    EXPECT_EQ(settings.Filter, INT_MIN);
    EXPECT_EQ(settings.Speed, static_cast<float>(INT_MAX));
    EXPECT_EQ(settings.Gain, static_cast<float>(INT_MIN));
    EXPECT_EQ(parseInt(" \t-0042x"), -42);
    EXPECT_EQ(parseInt("-"), 0);
    EXPECT_EQ(parseInt("- 5"), 0);
    EXPECT_EQ(parseInt(std::string(400, '9').c_str()), INT_MAX);
}

TEST_F(SettingsFileTest, DoubleToIntConversionsSaturateAndNanGivesZero) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(truncInt(std::nan("")), 0);
    EXPECT_EQ(truncInt(inf), INT_MAX);
    EXPECT_EQ(truncInt(-inf), INT_MIN);
    EXPECT_EQ(truncInt(3e9), INT_MAX);
    EXPECT_EQ(truncInt(-3e9), INT_MIN);
    EXPECT_EQ(truncInt(-2.7), -2);
    EXPECT_EQ(truncInt(2147483646.9), 2147483646);
    EXPECT_EQ(truncInt64(std::nan("")), 0);
    EXPECT_EQ(truncInt64(1e300), INT64_MAX);
    EXPECT_EQ(truncInt64(-1e300), INT64_MIN);
    EXPECT_EQ(truncInt64(-10980.5), -10980);
}

TEST_F(SettingsFileTest, MissingSettingsFileEndsWithCode3Detail8) {
    EXPECT_FINISH(readSettings(dir.file("absent.txt").c_str()), 3, 8);
}

TEST_F(SettingsFileTest, FolderAsSettingsFileEndsWithCode3Detail8) {
    // A folder opens, but no line can be read from it: it is not a settings file without a WaveFile.
    EXPECT_FINISH(readSettings(dir.path.c_str()), 3, 8);
    std::string text;
    EXPECT_FALSE(readTextFile(dir.path.c_str(), text));
}

TEST(DefaultMidiName, ReplacesTheExtensionOfTheLastPathComponent) {
    EXPECT_EQ(defaultMidiName("take.wav"), "take.mid");
    EXPECT_EQ(defaultMidiName("/music/take.one.WAV"), "/music/take.one.mid");
    EXPECT_EQ(defaultMidiName("/music.d/take"), "/music.d/take.mid");
    EXPECT_EQ(defaultMidiName("take"), "take.mid");
    EXPECT_EQ(defaultMidiName("take."), "take.mid");
    EXPECT_EQ(defaultMidiName("take.mid"), "take.mid.mid");
    EXPECT_EQ(defaultMidiName("/x/take.mid"), "/x/take.mid.mid");
}

}  // namespace
