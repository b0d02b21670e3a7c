// A long recording's attack evidence swept from its file block by block,
// against the same samples measured in memory with every value kept: the
// same attacks, the same answer to any probe, the same refined notes.
#include <gtest/gtest.h>

#include <random>

#include <sndfile.h>

#include "app/starter/refine/probes.h"
#include "app/starter/refine/rules.h"
#include "tests/app/support.h"

namespace {

// A minute of notes four a second on wandering keys, every eighth with its octave, some struck twice.
std::vector<ToneNote> minuteOfNotes() {
    std::vector<ToneNote> tones;
    for (int i = 0; i < 236; ++i) {
        int key = 40 + (i * 7) % 40;
        tones.push_back({key, i * 0.25, i % 5 == 0 ? 1.2 : 0.6});
        if (i % 8 == 0)
            tones.push_back({key + 12, i * 0.25, 0.6});
        if (i % 5 == 0)
            tones.push_back({key, i * 0.25 + 0.7, 0.4});
    }
    return tones;
}

// The mono samples of a WAV file.
std::vector<float> samplesOf(const std::string &path) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> x(f && info.channels == 1 ? static_cast<size_t>(info.frames) : 0);
    if (f)
        x.resize(static_cast<size_t>(sf_readf_float(f, x.data(), static_cast<sf_count_t>(x.size()))));
    sf_close(f);
    return x;
}

}  // namespace

// The evidence of the minute's file swept in parts (values measured again), and of its samples kept
// in memory; measured once for all the tests.
class AttackEvidenceSweep : public ::testing::Test {
  protected:
    struct BothEvidence {
        ScratchDir dir;
        // cached: the sweep keeps the cells of keys 52-71 over its first half, and finds their attacks alone
        AttackEvidence swept, kept, cached;
    };
    static inline BothEvidence *both = nullptr;

    static void SetUpTestSuite() {
        both = new BothEvidence;
        std::string path = both->dir.path + "minute.wav", error;
        ASSERT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, minuteOfNotes(), 60));
        ASSERT_TRUE(measureFile(path, 440, both->swept, nullptr, error)) << error;
        ASSERT_TRUE(measureSamples(samplesOf(path), geometryFor(44100, 440), both->kept, nullptr));
        std::vector<int> keys;
        for (int key = 52; key < 72; ++key)
            keys.push_back(key);
        ASSERT_TRUE(measureFile(path, 440, both->cached, nullptr, error,
                                EvidenceRequest{keys, true, 3000 * 20 * CellValues * sizeof(float)}))
            << error;
    }
    static void TearDownTestSuite() {
        delete both;
        both = nullptr;
    }
};

TEST_F(AttackEvidenceSweep, FindsTheAttacksOfTheSamplesKeptInMemoryExactly) {
    const BothEvidence &b = *both;
    EXPECT_TRUE(b.swept.level.empty()) << "a minute is swept, not kept";
    ASSERT_EQ(b.swept.hops, b.kept.hops);
    ASSERT_EQ(b.swept.attacks.size(), b.kept.attacks.size());
    size_t total = 0;
    for (size_t p = 0; p < b.kept.attacks.size(); ++p) {
        ASSERT_EQ(b.swept.attacks[p].size(), b.kept.attacks[p].size()) << "key " << p + LowestPitch;
        for (size_t i = 0; i < b.kept.attacks[p].size(); ++i) {
            EXPECT_EQ(b.swept.attacks[p][i].time, b.kept.attacks[p][i].time);
            EXPECT_EQ(b.swept.attacks[p][i].strength, b.kept.attacks[p][i].strength);
            EXPECT_EQ(b.swept.attacks[p][i].shortRise, b.kept.attacks[p][i].shortRise);
        }
        total += b.kept.attacks[p].size();
    }
    EXPECT_GT(total, 236u);
}

TEST_F(AttackEvidenceSweep, AnswersEveryProbeAsTheValuesKeptDo) {
    const BothEvidence &b = *both;
    std::mt19937 random(16);
    std::vector<Probe> probes;
    for (int i = 0; i < 400; ++i) {
        int from = static_cast<int>(random() % (b.kept.hops + 40)) - 20;
        probes.push_back({static_cast<ProbeKind>(random() % 6),
                          static_cast<std::int16_t>(LowestPitch + static_cast<int>(random() % PitchCount)), from,
                          from + static_cast<int>(random() % 30)});
    }
    ProbedEvidence swept = probeEvidence(b.swept, probes), kept = probeEvidence(b.kept, probes);
    EXPECT_TRUE(kept.answers.empty()) << "values kept are read, not measured";
    for (const Probe &q : probes)
        ASSERT_EQ(probeValue(swept, q), probeValue(kept, q)) << static_cast<int>(q.kind) << " " << q.pitch << " " << q.from;
    // A probe not asked for beforehand is measured when it is asked.
    Probe late{ProbeKind::PartnerRise12, 64, 1000, 1012};
    EXPECT_EQ(probeValue(probeEvidence(b.swept, {}), late), probeValue(kept, late));
}

TEST_F(AttackEvidenceSweep, ReadsTheCellsAndFindsTheAttacksOfTheKeysAskedForAsTheValuesKeptGiveThem) {
    const BothEvidence &b = *both;
    ASSERT_EQ(b.cached.cells.keys, 20);
    ASSERT_EQ(b.cached.cells.hops, 3000);
    std::mt19937 random(28);
    std::vector<Probe> probes;
    for (int i = 0; i < 600; ++i) {
        // Keys and hops in and around those kept: some probes are read, some measured again.
        int from = static_cast<int>(random() % 3400) - 20;
        probes.push_back({static_cast<ProbeKind>(random() % 6), static_cast<std::int16_t>(44 + random() % 36), from,
                          from + static_cast<int>(random() % 30)});
    }
    ProbedEvidence cached = probeEvidence(b.cached, probes), kept = probeEvidence(b.kept, probes);
    for (const Probe &q : probes)
        ASSERT_EQ(probeValue(cached, q), probeValue(kept, q)) << static_cast<int>(q.kind) << " " << q.pitch << " " << q.from;
    Probe late{ProbeKind::PartnerRise12, 64, 1000, 1012};
    EXPECT_EQ(probeValue(probeEvidence(b.cached, {}), late), probeValue(kept, late));
    // The attacks of the keys asked for are those of every key measured; the other keys have none.
    for (int p = 0; p < PitchCount; ++p) {
        bool asked = p + LowestPitch >= 52 && p + LowestPitch < 72;
        ASSERT_EQ(b.cached.attacks[p].size(), asked ? b.kept.attacks[p].size() : 0u) << "key " << p + LowestPitch;
        for (size_t i = 0; asked && i < b.kept.attacks[p].size(); ++i) {
            EXPECT_EQ(b.cached.attacks[p][i].time, b.kept.attacks[p][i].time);
            EXPECT_EQ(b.cached.attacks[p][i].strength, b.kept.attacks[p][i].strength);
            EXPECT_EQ(b.cached.attacks[p][i].shortRise, b.kept.attacks[p][i].shortRise);
        }
    }
}

TEST_F(AttackEvidenceSweep, RefinesNotesAsTheValuesKeptDo) {
    const BothEvidence &b = *both;
    // The notes as an engine might write them: on a grid of 16ths, a few late, with spurious octaves.
    std::vector<TimedNote> notes;
    int i = 0;
    for (const ToneNote &t : minuteOfNotes()) {
        TimedNote n;
        n.key = n.pitch = t.key + (++i % 11 == 0 ? 12 : 0);
        n.on = std::floor(t.start / 0.125 + (i % 7 == 0 ? 1 : 0)) * 0.125;
        n.off = n.on + t.length;
        notes.push_back(n);
    }
    std::sort(notes.begin(), notes.end(), [](const TimedNote &a, const TimedNote &c) { return a.on < c.on; });
    Timeline grid;
    for (int j = 0; j < 600; ++j)
        grid.stepTimes.push_back(j * 0.125);
    RefineCounts sweptCounts, keptCounts;
    size_t alone = probesMeasuredAlone();
    std::vector<TimedNote> swept = applyRules(notes, b.swept, grid, RefineThresholds{}, sweptCounts);
    // Every probe the rules ask, at the notes as written and wherever they move, was listed and
    // measured in one pass; one asked alone would cost a pass of its own.
    EXPECT_EQ(probesMeasuredAlone(), alone);
    std::vector<TimedNote> kept = applyRules(notes, b.kept, grid, RefineThresholds{}, keptCounts);
    EXPECT_GT(keptCounts.moved + keptCounts.split + keptCounts.dropped, 10);
    EXPECT_EQ(sweptCounts.moved, keptCounts.moved);
    EXPECT_EQ(sweptCounts.split, keptCounts.split);
    EXPECT_EQ(sweptCounts.dropped, keptCounts.dropped);
    ASSERT_EQ(swept.size(), kept.size());
    for (size_t k = 0; k < kept.size(); ++k) {
        EXPECT_EQ(swept[k].key, kept[k].key);
        EXPECT_EQ(swept[k].on, kept[k].on);
        EXPECT_EQ(swept[k].off, kept[k].off);
    }
    // Onsets moved farther: the soft re-strikes judge attacks inside the notes wherever they went,
    // and every probe was still listed.
    RefineThresholds far;
    far.moveBefore = 4;
    far.moveAfter = 2;
    alone = probesMeasuredAlone();
    swept = applyRules(notes, b.swept, grid, far, sweptCounts);
    EXPECT_EQ(probesMeasuredAlone(), alone);
    kept = applyRules(notes, b.kept, grid, far, keptCounts);
    EXPECT_EQ(sweptCounts.split, keptCounts.split);
    EXPECT_EQ(swept.size(), kept.size());
}

// A tone that swells by 40 dB over 80 ms as a bowed string does: its attack is placed where it
// starts to sound, not in the middle of its swell; a sudden tone's stays within 25 ms.
TEST(AttackTiming, ASwellIsPlacedAtItsStart) {
    const int rate = 44100;
    const double start = 1.0, frequency = 440.0;
    for (double swell : {0.0, 0.08}) {
        std::vector<float> x(static_cast<size_t>(3 * rate), 0.0f);
        for (size_t i = static_cast<size_t>(start * rate); i < static_cast<size_t>(2.5 * rate); ++i) {
            double t = static_cast<double>(i) / rate - start;
            double gain = t < swell ? std::pow(10.0, 2 * (t / swell - 1)) : 1.0;
            for (int h = 1; h <= 4; ++h)
                x[i] += static_cast<float>(0.3 * gain / h * std::sin(2 * M_PI * frequency * h * t));
        }
        AttackEvidence e;
        ASSERT_TRUE(measureSamples(x, geometryFor(rate, 440), e, nullptr));
        const Attack *a = strongestAttack(e, 69, start - 0.1, start + 0.1, 1.0, RefineThresholds{});
        ASSERT_NE(a, nullptr) << swell;
        EXPECT_NEAR(a->time - RefineThresholds{}.attackLatency, start, 0.025) << swell;
    }
}
