// The starter's time-base verdict against the engine binary's own set-up.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <sndfile.h>

#include "app/starter/beats/beats.h"
#include "app/starter/protocol/status.h"
#include "tests/app/support.h"

namespace {

// One value from a list of awkward ones, or (when the list is used up) a random number.
std::string pick(std::mt19937 &rng, const std::vector<std::string> &values, double low, double high) {
    size_t i = std::uniform_int_distribution<size_t>(0, values.size() + 2)(rng);
    if (i < values.size())
        return values[i];
    double v = std::uniform_real_distribution<double>(low, high)(rng);
    return std::to_string(i == values.size() ? std::floor(v) : v);
}

// A random mix of the settings that decide the time base; a key is sometimes left out.
SettingsList randomGrid(std::mt19937 &rng) {
    SettingsList s{{"VirtualSR", "11025"}};
    auto maybe = [&](const std::string &key, const std::string &value) {
        if (std::uniform_int_distribution<int>(0, 5)(rng) != 0)
            setSetting(s, key, value);
    };
    maybe("Sensitivity", pick(rng, {"", "-1", "0", "7", "8", "1.9", " 6"}, -2, 9));
    maybe("Resolution", pick(rng, {"", "-1", "0", "0.5", "8", "9", "2,5", "nan", "x"}, -1, 9));
    maybe("Speed", pick(rng, {"", "0.5", "-3", "0", "1", "999", "5000", "99999999999"}, -10, 1200));
    maybe("TimeSignatureDenominator", pick(rng, {"", "-1", "0", "6", "7"}, -2, 8));
    maybe("Tempo", pick(rng, {"", "0", "-5", "3.5", "3.6", "1000", "1e9", "97,3", "inf"}, 0.5, 3000));
    return s;
}

}  // namespace

TEST(TimeBase, TheStartersVerdictIsTheEnginesOwn) {
    ScratchDir dir;
    ASSERT_TRUE(writeTones(dir.path + "quiet.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {}, 0.3));
    std::mt19937 rng(14);
    int refused = 0;
    for (int run = 0; run < 200; ++run) {
        SettingsList s = randomGrid(rng);
        Settings read = engineSettings(s);
        if (!(read.Tempo > 0 && std::isfinite(read.Tempo)))
            continue;  // no tempo the starter asks about
        bool accepted = timeBaseAccepts(read.Tempo, read);
        setSetting(s, "WaveFile", dir.path + "quiet.wav");
        setSetting(s, "MidiFile", dir.path + "out.mid");
        writeText(dir.path + "settings.txt", settingsText(s));
        writeText(dir.path + "status.txt", "0");
        CommandResult r = runCommand({ENGINE_PATH, dir.path + "settings.txt", dir.path + "status.txt", "+"}, {},
                                     dir.path);
        StatusLine status = readStatus(dir.path + "status.txt");
        std::string mix = settingsText(s);
        if (accepted) {
            EXPECT_NE(r.code, 7) << mix;
        } else {
            ++refused;
            EXPECT_EQ(r.code, 7) << mix << status.detail;
        }
    }
    EXPECT_GT(refused, 20) << "the mixes must reach the refusals";
    EXPECT_LT(refused, 180) << "and the accepted grids";
}
