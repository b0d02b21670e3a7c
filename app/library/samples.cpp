// Samples handed to the library become a WAV file in its private folder, which the
// run then reads as the command reads any input.
#include "app/library/library.h"

#include <cmath>

#include "app/starter/audio/audio.h"
#include "app/starter/audio/sound_file.h"

namespace {

// The most channels libsndfile writes into a WAV file.
constexpr int MostChannels = 1024;

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

std::string refusedSamples(int sampleRate, int channels) {
    if (sampleRate < LowestInputRate || sampleRate > HighestInputRate)
        return "give samples at a sample rate from " + std::to_string(LowestInputRate) + " to " +
               std::to_string(HighestInputRate) + " Hz, as recordings have; " + std::to_string(sampleRate) +
               " Hz is none";
    if (channels > MostChannels)
        return "give samples in at most " + std::to_string(MostChannels) + " channels; " + std::to_string(channels) +
               " are more than a WAV file holds";
    return "";
}

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
