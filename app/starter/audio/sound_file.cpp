// Opening recordings: libsndfile, and a patched view of a WAV file whose header was never finished.
#include "app/starter/audio/sound_file.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes read from the start of a file to find its data chunk.
constexpr size_t HeaderSearchBytes = 65536;

// An MP3 that keeps no record of its encoder's delay (LAME's tag) decodes that delay as leading
// silence: LAME's 576 samples and the layer III decoder's 529 (libsndfile lets libmpg123 remove
// both only when the tag is there). LAME is by far the most common encoder, so its delay is the
// one most likely added.
constexpr sf_count_t LikelyMp3Delay = 576 + 529;

uint32_t le32At(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

void putLe32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

PatchedWave &view(void *data) { return *static_cast<PatchedWave *>(data); }

sf_count_t viewLength(void *data) { return view(data).size; }

sf_count_t viewSeek(sf_count_t offset, int whence, void *data) {
    PatchedWave &w = view(data);
    int64_t from = whence == SEEK_CUR ? w.position : whence == SEEK_END ? w.size : 0;
    w.position = std::clamp<int64_t>(from + offset, 0, w.size);
    return w.position;
}

// Reads from the patched header, then from the file.
sf_count_t viewRead(void *ptr, sf_count_t count, void *data) {
    PatchedWave &w = view(data);
    auto *out = static_cast<uint8_t *>(ptr);
    sf_count_t done = 0;
    while (done < count && w.position < static_cast<int64_t>(w.head.size()))
        out[done++] = w.head[static_cast<size_t>(w.position++)];
    while (done < count) {
        ssize_t got = pread(w.fd, out + done, static_cast<size_t>(count - done), w.position);
        if (got <= 0)
            break;
        done += got;
        w.position += got;
    }
    return done;
}

sf_count_t viewWrite(const void *, sf_count_t, void *) { return 0; }

sf_count_t viewTell(void *data) { return view(data).position; }

// The first bytes of the file open at fd, and its size.
std::vector<uint8_t> headOf(int fd, int64_t &size) {
    struct stat st{};
    size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
    std::vector<uint8_t> head(static_cast<size_t>(std::min<int64_t>(size, HeaderSearchBytes)));
    ssize_t got = head.empty() ? 0 : pread(fd, head.data(), head.size(), 0);
    head.resize(static_cast<size_t>(std::max<ssize_t>(got, 0)));
    return head;
}

}  // namespace

PatchedWave::~PatchedWave() {
    if (fd >= 0)
        close(fd);
}

std::vector<uint8_t> unfinishedWaveHeader(const std::vector<uint8_t> &head, int64_t fileSize) {
    if (head.size() < 12 || std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4) != 0 ||
        fileSize > 0xFFFFFFFFll)
        return {};
    for (size_t at = 12; at + 8 <= head.size();) {
        uint32_t size = le32At(head, at + 4);
        if (std::memcmp(head.data() + at, "data", 4) == 0) {
            int64_t first = static_cast<int64_t>(at) + 8;
            if (size != 0 || fileSize <= first)
                return {};
            std::vector<uint8_t> patched(head.begin(), head.begin() + first);
            putLe32(patched, 4, static_cast<uint32_t>(fileSize - 8));
            putLe32(patched, at + 4, static_cast<uint32_t>(fileSize - first));
            return patched;
        }
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
    return {};
}

SoundFile openSound(const std::string &path, SF_INFO &info) {
    SoundFile s;
    SF_INFO plain = info;
    s.file.reset(sf_open(path.c_str(), SFM_READ, &plain));
    if (!s.file || plain.frames > 0) {
        info = plain;
        return s;
    }
    auto w = std::make_unique<PatchedWave>();
    w->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (w->fd >= 0) {
        std::vector<uint8_t> head = headOf(w->fd, w->size);
        w->head = unfinishedWaveHeader(head, w->size);
    }
    if (w->head.empty()) {
        info = plain;
        return s;
    }
    static SF_VIRTUAL_IO io{viewLength, viewSeek, viewRead, viewWrite, viewTell};
    SF_INFO patched = info;
    SndFile file(sf_open_virtual(&io, SFM_READ, &patched, w.get()));
    if (!file || patched.frames <= 0) {
        info = plain;
        return s;
    }
    s.file = std::move(file);
    s.patched = std::move(w);
    info = patched;
    return s;
}

sf_count_t unrecordedDelay(const std::string &path, const SF_INFO &info) {
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG ||
        (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_MPEG_LAYER_III)
        return 0;
    int error = MPG123_OK;
    mpg123_handle *h = mpg123_new(nullptr, &error);
    if (!h)
        return 0;
    long delay = 0, rate = 0;
    double unused = 0;
    int channels = 0, encoding = 0;
    // The tag sits in the first frame, which opening and taking the format reads; -1: no delay recorded.
    if (mpg123_open(h, path.c_str()) != MPG123_OK || mpg123_getformat(h, &rate, &channels, &encoding) != MPG123_OK ||
        mpg123_getstate(h, MPG123_ENC_DELAY, &delay, &unused) != MPG123_OK)
        delay = 0;
    mpg123_close(h);
    mpg123_delete(h);
    return delay < 0 ? LikelyMp3Delay : 0;
}
