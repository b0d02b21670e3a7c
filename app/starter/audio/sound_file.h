// An open libsndfile handle that closes itself.
#pragma once

#include <memory>

#include <sndfile.h>

struct SndFileCloser {
    void operator()(SNDFILE *f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;
