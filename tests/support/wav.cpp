// WAV files and test signals.
#include "tests/support/wav.h"

#include <cmath>

#include "tests/support/support.h"

namespace {

void put16(std::string &out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string &out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

}  // namespace

std::string wavBytes(const WavLayout &w, const std::string &data) {
    const int align = w.channels * w.bits / 8;
    std::string out = w.riff;
    const uint32_t size = w.riffSize >= 0 ? static_cast<uint32_t>(w.riffSize)
                                          : static_cast<uint32_t>(36 + w.extraChunk.size() + data.size());
    put32(out, size);
    out += w.waveFmt;
    put32(out, 16);
    put16(out, static_cast<uint32_t>(w.formatTag));
    put16(out, static_cast<uint32_t>(w.channels));
    put32(out, static_cast<uint32_t>(w.rate));
    put32(out, static_cast<uint32_t>(w.rate * align));
    put16(out, static_cast<uint32_t>(align));
    put16(out, static_cast<uint32_t>(w.bits));
    out += w.extraChunk;
    out += "data";
    put32(out, static_cast<uint32_t>(data.size()));
    out += data;
    return out;
}

std::string pcm16(const std::vector<int> &samples) {
    std::string out;
    for (int s : samples) put16(out, static_cast<uint32_t>(s) & 0xFFFF);
    return out;
}

WavLayout pcmLayout(int rate, int channels, int bits) {
    WavLayout layout;
    layout.rate = rate;
    layout.channels = channels;
    layout.bits = bits;
    return layout;
}

void writeWav16(const std::string &path, int rate, int channels, const std::vector<int16_t> &samples) {
    writeFile(path, wavBytes(pcmLayout(rate, channels, 16), pcm16({samples.begin(), samples.end()})));
}

void writeWav8(const std::string &path, int rate, int channels, const std::vector<uint8_t> &samples) {
    writeFile(path, wavBytes(pcmLayout(rate, channels, 8), std::string(samples.begin(), samples.end())));
}

std::vector<int16_t> sineWave(int rate, double frequency, double seconds, double amplitude) {
    std::vector<int16_t> out(static_cast<size_t>(rate * seconds));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / rate)));
    return out;
}

void mixInto(std::vector<int16_t> &a, const std::vector<int16_t> &b, size_t offset) {
    if (a.size() < b.size() + offset) a.resize(b.size() + offset, 0);
    for (size_t i = 0; i < b.size(); ++i) {
        int v = a[i + offset] + b[i];
        a[i + offset] = static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    }
}
