// The attack evidence of tones written as a WAV file, for the refinement's tests.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "app/starter/refine/evidence.h"
#include "tests/app/support.h"

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
