// Instrument names and record numbers, and the starter's record check against
// the engine binary loading the same filter files.
#include <gtest/gtest.h>

#include <random>

#include <sndfile.h>

#include "app/starter/cli/instruments.h"
#include "app/starter/cli/options.h"
#include "app/starter/protocol/status.h"
#include "input/input.h"
#include "tests/app/support.h"

namespace {

// The Filter setting a command line gives, "" when it is refused.
std::string filterOf(const std::vector<std::string> &args, const std::string &dataDir, std::string &error) {
    StarterOptions options;
    SettingsList settings;
    if (!parseCommandLine(args, dataDir, options, error) || !composeSettings(options, settings, error))
        return "";
    return getSetting(settings, "Filter");
}

// One index line: a number, written the ways a hand-edited file may hold it, and a
// name that is sometimes longer than the engine reads in one piece.
std::string randomIndexLine(std::mt19937 &rng) {
    static const std::vector<std::string> numbers = {"0", "5", "19", "73", " 5", "+19", "\t0", "073", "-1"};
    std::string line = numbers[std::uniform_int_distribution<size_t>(0, numbers.size() - 1)(rng)];
    line += std::uniform_int_distribution<int>(0, 1)(rng) ? ",21,108,6 " : ",0,0,0 ";
    line += std::string(std::uniform_int_distribution<size_t>(0, 400)(rng), 'x');
    return line + (std::uniform_int_distribution<int>(0, 2)(rng) ? "\n" : "\r\n");
}

// A filter.dat of whole records, or one a few bytes off; sometimes none at all.
void writeRandomRecords(std::mt19937 &rng, const std::string &path) {
    std::remove(path.c_str());
    int records = std::uniform_int_distribution<int>(-1, 4)(rng);
    if (records < 0)
        return;
    static const std::vector<int> offsets = {0, 0, -1, 1, -static_cast<int>(FilterRecordBytes) / 2};
    int64_t bytes = records * FilterRecordBytes + offsets[std::uniform_int_distribution<size_t>(0, offsets.size() - 1)(rng)];
    writeText(path, std::string(static_cast<size_t>(std::max<int64_t>(bytes, 0)), '\x01'));
}

}  // namespace

TEST(Instruments, ResolvesNamesAndNumbersFromTheFilterIndex) {
    ScratchDir dir;
    writeText(dir.path + "filter.txt", "0,21,108,6 acoustic piano\n19,36,96,6 church organ\n"
                                       "24,40,88,6 nylon guitar\n73,60,96,1 flute\n");
    writeText(dir.path + "filter.dat", std::string(4 * FilterRecordBytes, '\0'));
    std::string error;
    EXPECT_EQ(filterOf({"--instrument", "flute", "x"}, dir.path, error), "73");
    EXPECT_EQ(filterOf({"--instrument", "organ", "x"}, dir.path, error), "19");
    EXPECT_EQ(filterOf({"--instrument", "Guitar", "x"}, dir.path, error), "24");
    EXPECT_EQ(filterOf({"--filter", "19", "x"}, dir.path, error), "19");
    EXPECT_EQ(filterOf({"--instrument", "strings", "x"}, dir.path, error), "");
    EXPECT_NE(error.find("48"), std::string::npos);
    EXPECT_EQ(filterOf({"--instrument", "kazoo", "x"}, dir.path, error), "");
    EXPECT_NE(error.find("kazoo"), std::string::npos);
    EXPECT_EQ(filterOf({"--filter", "5", "x"}, dir.path, error), "");
    EXPECT_NE(error.find("0, 19, 24, 73"), std::string::npos);
    EXPECT_EQ(filterOf({"--instrument", "piano", "x"}, "/nonexistent/", error), "");
    EXPECT_NE(error.find("not found"), std::string::npos);
}

TEST(Instruments, TheStartersRecordCheckIsTheEnginesOwn) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "quiet.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {}, 0.3));
    std::mt19937 rng(14);
    int accepted = 0, incomplete = 0;
    for (int run = 0; run < 120; ++run) {
        std::string index;
        for (int n = std::uniform_int_distribution<int>(0, 5)(rng); n > 0; --n)
            index += randomIndexLine(rng);
        writeText(dir.path + "filter.txt", index);
        writeRandomRecords(rng, dir.path + "filter.dat");
        static const int records[] = {0, 5, 19, 73, 2};
        int filter = records[std::uniform_int_distribution<int>(0, 4)(rng)];
        std::string error;
        bool ok = checkFilterRecord(dir.path, filter, error);
        bool cut = !ok && error.find("incomplete") != std::string::npos;
        writeText(dir.path + "settings.txt", "ExePath=" + dir.path + "\nWaveFile=" + dir.path + "quiet.wav\nMidiFile=" +
                                                 dir.path + "out.mid\nFilter=" + std::to_string(filter) + "\n");
        writeText(dir.path + "status.txt", "0");
        CommandResult r = runCommand({ENGINE_PATH, dir.path + "settings.txt", dir.path + "status.txt", "+"}, {},
                                     dir.path);
        StatusLine status = readStatus(dir.path + "status.txt");
        std::string what = "record " + std::to_string(filter) + " of\n" + index + "\n" + error;
        // A record the engine cannot read ends its run with 2/33; a missing one it leaves out.
        EXPECT_EQ(r.code, cut ? 2 : 0) << what;
        if (cut) {
            EXPECT_EQ(status.detail, 33) << what;
        }
        accepted += ok;
        incomplete += cut;
    }
    EXPECT_GT(accepted, 15) << "the files must reach records that load";
    EXPECT_GT(incomplete, 15) << "and records cut short";
}
