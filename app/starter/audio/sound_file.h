// An open libsndfile handle that closes itself, and the opening of a
// recording, also one whose WAV header a recorder left unfinished.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sndfile.h>

struct SndFileCloser {
    void operator()(SNDFILE *f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;

// A WAV file seen with its RIFF and data sizes set to what it holds: the file's own bytes, but for
// the header, which is kept patched in head.
struct PatchedWave {
    int fd = -1;
    int64_t size = 0;           // bytes of the file
    int64_t position = 0;       // where the next read starts
    std::vector<uint8_t> head;  // the header up to the first audio byte, its sizes patched
    ~PatchedWave();
};

// An opened recording: the handle, and the patched view it reads through when there is one (it
// outlives the handle).
struct SoundFile {
    std::unique_ptr<PatchedWave> patched;
    SndFile file;
};

/** Opens a recording for reading as libsndfile does. A WAV file whose data chunk claims no bytes
 *  while audio follows it (a recorder or streaming writer stopped before it wrote its sizes) is
 *  read to its end. file is null when the recording cannot be opened. */
SoundFile openSound(const std::string &path, SF_INFO &info);
/** The header of a WAV file whose data chunk claims no bytes while bytes follow it, with its RIFF
 *  and data sizes patched to the file's size; empty for any other file. head holds at least the
 *  file's first bytes up to its first audio byte when there is one. */
std::vector<uint8_t> unfinishedWaveHeader(const std::vector<uint8_t> &head, int64_t fileSize);
/** Sample frames a decoded recording carries before its audio that it keeps no record of: the delay
 *  LAME adds (1105) for a layer III MP3 whose gapless record (LAME's tag) libmpg123 cannot find,
 *  else 0. Such a file's length is a guess from its size as well. */
sf_count_t unrecordedDelay(const std::string &path, const SF_INFO &info);
