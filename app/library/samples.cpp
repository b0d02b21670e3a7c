// Samples handed to the library become a WAV file in its private folder, which the
// run then reads as the command reads any input.
#include "app/library/library.h"

#include <cmath>

#include "app/starter/audio/sound_file.h"

namespace {

// A 16-bit sample's full scale: x / 32768 is how 16-bit audio is read as floats.
constexpr double ShortScale = 32768;

// True when every sample is a 16-bit sample read as a float.
bool shortSamples(const float *samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        double scaled = static_cast<double>(samples[i]) * ShortScale;
        if (!(scaled >= -32768 && scaled <= 32767) || scaled != std::floor(scaled))
            return false;
    }
    return true;
}

}  // namespace

bool writeSamplesFile(const float *samples, size_t frames, int sampleRate, int channels, const std::string &path,
                      std::string &error) {
    size_t count = frames * static_cast<size_t>(channels);
    bool exact = shortSamples(samples, count);
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (exact ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    SndFile file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        error = sf_strerror(nullptr);
        return false;
    }
    sf_count_t written = 0;
    if (exact) {
        std::vector<short> shorts(count);
        for (size_t i = 0; i < count; ++i)
            shorts[i] = static_cast<short>(static_cast<double>(samples[i]) * ShortScale);
        written = sf_write_short(file.get(), shorts.data(), static_cast<sf_count_t>(count));
    } else {
        written = sf_write_float(file.get(), samples, static_cast<sf_count_t>(count));
    }
    if (written != static_cast<sf_count_t>(count)) {
        error = sf_strerror(file.get());
        return false;
    }
    return true;
}
