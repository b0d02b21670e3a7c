// The attack evidence of tones written as a WAV file, for the refinement's tests.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "app/starter/refine/evidence.h"
#include "app/starter/refine/rules.h"
#include "tests/app/support.h"

// A sudden tone's attack is placed where the short window first hears it rise, up to half that
// window (23 ms) before the tone starts; the notes of these tones are checked within this much.
constexpr double SuddenToneEarly = 0.025;

// A constant grid of 16ths at 120 beats per minute from 0 s.
inline Timeline grid() {
    Timeline t;
    for (int j = 0; j < 400; ++j)
        t.stepTimes.push_back(j * 0.125);
    return t;
}

inline TimedNote note(int key, double on, double off) {
    TimedNote n;
    n.key = n.pitch = key;
    n.on = on;
    n.off = off;
    return n;
}

// A held tone of key from `start` to `end` s at 44100 Hz with a 40 ms swell, its level going in a
// straight line from `from` to `to` of its full level until `louder` s and then rising to its full
// level over `swell` s without a dip. By default half its level until then and a rise of 40 ms (a
// bowed accent or a swell of the bow: an attack of its own key, no new note); a tone fading from its
// full level and rising over 150 ms swells inside one long note, one rising within 5 ms is struck again.
inline std::vector<float> swelledTone(int key, double start, double louder, double end, double seconds,
                                      double swell = 0.04, double from = 0.5, double to = 0.5) {
    std::vector<float> x(static_cast<size_t>(seconds * 44100), 0.0f);
    double f0 = 440 * std::pow(2.0, (key - 69) / 12.0);
    for (size_t i = static_cast<size_t>(start * 44100); i < x.size() && i < end * 44100; ++i) {
        double t = static_cast<double>(i) / 44100, env = std::min(1.0, (t - start) / 0.04);
        env *= t < louder ? from + (to - from) * (t - start) / (louder - start)
                          : std::min(1.0, to + (1 - to) * (t - louder) / swell);
        double v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * M_PI * f0 * h * t) / h;
        x[i] = static_cast<float>(0.2 * env * v);
    }
    return x;
}

/** Evidence of tones written as a 44100 Hz WAV file of the given length (A4 at 440 Hz). */
inline AttackEvidence evidenceOf(const std::vector<ToneNote> &tones, double seconds) {
    ScratchDir dir;
    std::string path = dir.path + "tones.wav";
    EXPECT_TRUE(writeTones(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, tones, seconds));
    AttackEvidence e;
    std::string error;
    EXPECT_TRUE(measureFile(path, 440, e, nullptr, error)) << error;
    return e;
}

// A bowed tone of key from `start` to `end` s at 44100 Hz: a 40 ms swell, then a steady level; the bow
// changes at `again` s: the level falls to a tenth over 40 ms and swells back over 40 ms (an attack
// of 3.6 dB, which a threshold of 5 dB held over).
inline std::vector<float> bowedTone(int key, double start, double again, double end, double seconds) {
    std::vector<float> x(static_cast<size_t>(seconds * 44100), 0.0f);
    double f0 = 440 * std::pow(2.0, (key - 69) / 12.0);
    for (size_t i = static_cast<size_t>(start * 44100); i < x.size() && i < end * 44100; ++i) {
        double t = static_cast<double>(i) / 44100, env = std::min(1.0, (t - start) / 0.04);
        double d = std::abs(t - again);
        env *= d < 0.04 ? 1 - 0.9 * (1 - d / 0.04) : 1;
        double v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * M_PI * f0 * h * t) / h;
        x[i] = static_cast<float>(0.2 * env * v);
    }
    return x;
}
