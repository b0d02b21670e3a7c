// Output bytes as a contract: the default run (the real engine, beats, attack
// evidence, score) on the bundled examples and on a recording long enough to be
// swept block by block (its probes measured again), against recorded
// fingerprints of the MIDI file and the MusicXML score. A change of method
// that moves notes must rewrite them: SONOSCRIPTOR_WRITE_GOLDEN=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <sndfile.h>

#include "tests/app/support.h"

namespace {

const std::string Golden = SOURCE_DIR "/tests/app/refine/golden/refined.txt";

// Size and FNV-1a hash (64 bits) of a file's bytes.
std::string fingerprint(const std::string &bytes) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ull;
    std::ostringstream out;
    out << bytes.size() << ' ' << std::hex << h;
    return out.str();
}

// Writes the recording at `from` twice over into `to` (same format); false when that fails.
bool writeTwice(const std::string &from, const std::string &to) {
    SF_INFO info{};
    SNDFILE *in = sf_open(from.c_str(), SFM_READ, &info);
    if (!in)
        return false;
    std::vector<short> samples(static_cast<size_t>(info.frames * info.channels));
    sf_count_t got = sf_readf_short(in, samples.data(), info.frames);
    sf_close(in);
    SF_INFO format{};
    format.samplerate = info.samplerate;
    format.channels = info.channels;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *out = sf_open(to.c_str(), SFM_WRITE, &format);
    if (!out || got != info.frames)
        return false;
    bool ok = sf_writef_short(out, samples.data(), got) == got && sf_writef_short(out, samples.data(), got) == got;
    return sf_close(out) == 0 && ok;
}

TEST(RefinedBytes, DefaultRunsMatchTheirFingerprints) {
    ScratchDir dir;
    const std::string examples = SOURCE_DIR "/examples/";
    // The minuet twice is 60 s: longer than the evidence keeps every value of.
    ASSERT_TRUE(writeTwice(examples + "minuet-ritardando.wav", dir.path + "minuet-twice.wav"));
    std::ostringstream found;
    for (std::string wave : {examples + "prelude.wav", examples + "minuet-ritardando.wav", dir.path + "minuet-twice.wav"}) {
        std::string name = wave.substr(wave.rfind('/') + 1);
        CommandResult r = runStarter({"--engine", ENGINE_PATH, "--quiet", "-o", dir.path + "out.mid", "--musicxml",
                                      dir.path + "out.musicxml", wave},
                                     dir.path, {"TMPDIR=" + dir.path});
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        found << name << " midi " << fingerprint(fileText(dir.path + "out.mid")) << '\n';
        found << name << " musicxml " << fingerprint(fileText(dir.path + "out.musicxml")) << '\n';
        std::remove((dir.path + "out.mid").c_str());
        std::remove((dir.path + "out.musicxml").c_str());
    }
    if (std::getenv("SONOSCRIPTOR_WRITE_GOLDEN")) {
        std::ofstream(Golden) << found.str();
        GTEST_SKIP() << "rewrote " << Golden;
    }
    EXPECT_EQ(found.str(), fileText(Golden));
}

}  // namespace
