// Filter records: the "filter.txt" index line selects a record of
// "filter.dat" by its position and gives defaults for KeyMin, KeyMax and
// PitchMode.
#include "tests/input/input_rig.h"

namespace {

using input_rig::InputTest;

constexpr int RecordBytes = static_cast<int>(FilterRecordBytes);

// Template value of note r on key c (both from 1) in record `record` (from 0).
int templateByte(int record, int r, int c) { return (r * 7 + c * 3 + record * 11) & 0xFF; }

class FilterRecordTest : public InputTest {
protected:
    void SetUp() override {
        InputTest::SetUp();
        settings.ExePath = dir.path + "/";
    }

    void index(const std::string &text) { writeFile(dir.file("filter.txt"), text); }

    // `records` whole records followed by `extra` bytes.
    void records(int count, int extra = 0) {
        std::string data;
        for (int record = 0; record < count; ++record)
            for (int r = 1; r <= 112; ++r)
                for (int c = 1; c <= 112; ++c) data.push_back(static_cast<char>(templateByte(record, r, c)));
        data += std::string(extra, '\x42');
        writeFile(dir.file("filter.dat"), data);
    }

    void load(int filter) {
        settings.Filter = filter;
        loadFilterRecord();
    }

    // Whether FilterTable holds the record, with row 0 and column 0 zero.
    ::testing::AssertionResult holdsRecord(int record) const {
        for (int r = 0; r < FilterSize; ++r)
            for (int c = 0; c < FilterSize; ++c) {
                int expected = r == 0 || c == 0 ? 0 : templateByte(record, r, c);
                if (FilterTable[r * FilterSize + c] != expected)
                    return ::testing::AssertionFailure() << "(" << r << ", " << c << ") is "
                                                         << FilterTable[r * FilterSize + c] << ", expected "
                                                         << expected;
            }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult tableIsZero() const {
        for (int i = 0; i < FilterSize * FilterSize; ++i)
            if (FilterTable[i] != 0) return ::testing::AssertionFailure() << "entry " << i << " is " << FilterTable[i];
        return ::testing::AssertionSuccess();
    }

    void expectDefaultsUntouched() const {
        EXPECT_EQ(settings.KeyMin, 999);
        EXPECT_EQ(settings.KeyMax, 999);
        EXPECT_EQ(settings.PitchMode, 999);
    }
};

TEST_F(FilterRecordTest, FirstLineSelectsFirstRecordAndGivesItsDefaults) {
    index("0,21,108,6\n5,0,0,0\n");
    records(2);
    load(0);
    EXPECT_EQ(settings.KeyMin, 21);
    EXPECT_EQ(settings.KeyMax, 108);
    EXPECT_EQ(settings.PitchMode, 6);
    EXPECT_TRUE(holdsRecord(0));
    EXPECT_EQ(FilterTable[3 * FilterSize + 78], 255);  // bytes are unsigned
}

TEST_F(FilterRecordTest, ZeroFieldsSelectTheRecordButChangeNoSetting) {
    index("0,21,108,6\n5,0,0,0\n");
    records(2);
    load(5);
    expectDefaultsUntouched();
    EXPECT_TRUE(holdsRecord(1));
}

TEST_F(FilterRecordTest, SettingsFromTheFileWinOverTheIndexLine) {
    index("0,21,108,6\n");
    records(1);
    settings.KeyMin = 30;
    settings.PitchMode = 0;
    load(0);
    EXPECT_EQ(settings.KeyMin, 30);
    EXPECT_EQ(settings.KeyMax, 108);
    EXPECT_EQ(settings.PitchMode, 0);
}

TEST_F(FilterRecordTest, RecordIsChosenByLinePositionNotByNumber) {
    index("7,1,2,3\n3,4,5,6\n9,40,90,8 Grand piano, bright\n1,10,20,3\n1,11,21,4\n");
    records(5);
    load(9);  // third line: record at byte 2 x 12544 = 25088
    EXPECT_TRUE(holdsRecord(2));
    EXPECT_EQ(settings.KeyMin, 40);
    EXPECT_EQ(settings.KeyMax, 90);
    EXPECT_EQ(settings.PitchMode, 8);
    resetSettings();
    settings.ExePath = dir.path + "/";
    load(1);  // the first line carrying the number
    EXPECT_TRUE(holdsRecord(3));
    EXPECT_EQ(settings.KeyMin, 10);
}

TEST_F(FilterRecordTest, IndexLinesSplitAtEveryCommaAndMissingFieldsAreZero) {
    index("4,,50,7\n");
    records(1);
    load(4);
    EXPECT_EQ(settings.KeyMin, 999);
    EXPECT_EQ(settings.KeyMax, 50);
    EXPECT_EQ(settings.PitchMode, 7);
    EXPECT_TRUE(holdsRecord(0));

    resetSettings();
    settings.ExePath = dir.path + "/";
    index("4,30\n");
    load(4);
    EXPECT_EQ(settings.KeyMin, 30);
    EXPECT_EQ(settings.KeyMax, 999);
    EXPECT_EQ(settings.PitchMode, 999);

    resetSettings();
    settings.ExePath = dir.path + "/";
    index("2,1,1,1\r\n 4,30,60,2\r\n");
    records(2);
    load(4);
    EXPECT_EQ(settings.KeyMax, 60);
    EXPECT_EQ(settings.PitchMode, 2);
    EXPECT_TRUE(holdsRecord(1));
}

TEST_F(FilterRecordTest, UnknownNumberOrMissingFilesLeaveEverythingAlone) {
    records(2);
    index("0,21,108,6\n5,0,0,0\n");
    load(4);
    EXPECT_TRUE(tableIsZero());
    expectDefaultsUntouched();
    EXPECT_EQ(settings.Filter, 4);

    index("");
    load(0);
    EXPECT_TRUE(tableIsZero());
    expectDefaultsUntouched();

    std::remove(dir.file("filter.dat").c_str());
    index("0,21,108,6\n");
    load(0);
    EXPECT_TRUE(tableIsZero());
    expectDefaultsUntouched();

    std::remove(dir.file("filter.txt").c_str());
    records(1);
    load(0);
    EXPECT_TRUE(tableIsZero());
    expectDefaultsUntouched();

    settings.ExePath = dir.path;  // no separator: ".../dirfilter.txt"
    index("0,21,108,6\n");
    load(0);
    EXPECT_TRUE(tableIsZero());
}

TEST_F(FilterRecordTest, DataFileTooShortForTheSelectedRecordEndsWithCode2Detail33) {
    index("0,21,108,6\n5,0,0,0\n");
    records(1, RecordBytes / 2);
    EXPECT_FINISH(load(5), 2, 33);
    records(0, RecordBytes - 1);
    EXPECT_FINISH(load(0), 2, 33);
    records(1);
    EXPECT_FINISH(load(5), 2, 33);
}

TEST_F(FilterRecordTest, LookUpGivesTheVerdictWithoutEndingTheRunOrChangingSettings) {
    index("0,21,108,6 " + std::string(300, 'x') + "\n5,1,2,3\n");
    records(2);
    FilterLookup found = lookUpFilterRecord(settings.ExePath, 5);
    EXPECT_EQ(found.line, 3) << "a line longer than one piece takes two places in filter.dat";
    EXPECT_TRUE(found.dataOpened);
    EXPECT_EQ(found.code, 2);
    EXPECT_EQ(found.detail, 33);
    EXPECT_TRUE(found.record.empty());
    records(3);
    found = lookUpFilterRecord(settings.ExePath, 5);
    EXPECT_EQ(found.code, 0);
    ASSERT_EQ(found.record.size(), static_cast<size_t>(RecordBytes));
    EXPECT_EQ(found.record[RecordBytes - 1], templateByte(2, 112, 112));
    expectDefaultsUntouched();
    EXPECT_TRUE(tableIsZero());
    found = lookUpFilterRecord(settings.ExePath, 7);
    EXPECT_EQ(found.line, 0);
    EXPECT_EQ(found.lines.size(), 3u);
    EXPECT_FALSE(found.dataOpened);
}

TEST_F(FilterRecordTest, SetUpUsesTheRecordDefaultsOnTheFilterPath) {
    index("0,21,108,6\n");
    records(1);
    writeFile(dir.file("in.wav"), input_rig::wavBytes(input_rig::WavLayout{}, std::string(10000, '\0')));
    setUp(dir.file("in.wav"), "ExePath=" + dir.path + "/\nFilter=0\n");
    EXPECT_EQ(settings.KeyMin, 21);
    EXPECT_EQ(settings.KeyMax, 108);
    EXPECT_EQ(settings.PitchMode, 6);
    EXPECT_EQ(settings.Patch, 0);
    EXPECT_EQ(settings.OutputThreshold, 3);
    EXPECT_TRUE(holdsRecord(0));
    for (int k = 0; k <= 108; ++k) EXPECT_EQ(derived.allowedKeys[k], k >= 21 ? 1 : 0) << "key " << k;
}

}  // namespace
