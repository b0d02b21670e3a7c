#include "tests/support/support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir() {
    char pattern[] = "/tmp/sonoscriptor-test-XXXXXX";
    path = mkdtemp(pattern);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

namespace {

void put32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put16(std::string &out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void writeWavBytes(const std::string &path, int rate, int channels, int bits, const std::string &data) {
    std::string out = "RIFF";
    put32(out, static_cast<uint32_t>(36 + data.size()));
    out += "WAVEfmt ";
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(channels));
    put32(out, static_cast<uint32_t>(rate));
    put32(out, static_cast<uint32_t>(rate * channels * bits / 8));
    put16(out, static_cast<uint16_t>(channels * bits / 8));
    put16(out, static_cast<uint16_t>(bits));
    out += "data";
    put32(out, static_cast<uint32_t>(data.size()));
    out += data;
    writeFile(path, out);
}

}  // namespace

void writeWav16(const std::string &path, int rate, int channels, const std::vector<int16_t> &samples) {
    std::string data;
    for (int16_t s : samples) put16(data, static_cast<uint16_t>(s));
    writeWavBytes(path, rate, channels, 16, data);
}

void writeWav8(const std::string &path, int rate, int channels, const std::vector<uint8_t> &samples) {
    writeWavBytes(path, rate, channels, 8, std::string(samples.begin(), samples.end()));
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

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

EngineRun runEngineArgs(const std::vector<std::string> &args, const std::string &statusPath) {
    std::string command = "'" ENGINE_PATH "'";
    for (const std::string &a : args) command += " '" + a + "'";
    command += " 2>&1";
    EngineRun result{};
    FILE *pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.stdoutText.append(buffer, got);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.status = readFile(statusPath);
    return result;
}

EngineRun runEngineWith(const TempDir &dir, const std::string &settingsText, const std::string &statusText) {
    writeFile(dir.file("settings.txt"), settingsText);
    writeFile(dir.file("status.txt"), statusText);
    return runEngineArgs({dir.file("settings.txt"), dir.file("status.txt"), "+"}, dir.file("status.txt"));
}

namespace {

int64_t readVarLen(const std::string &d, size_t &pos) {
    int64_t value = 0;
    while (pos < d.size()) {
        unsigned char b = static_cast<unsigned char>(d[pos++]);
        value = (value << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
    }
    return value;
}

}  // namespace

std::vector<MidiNote> readMidiNotes(const std::string &path) {
    std::string d = readFile(path);
    std::vector<MidiNote> notes;
    if (d.size() < 22) return notes;
    size_t pos = 22;
    int64_t tick = 0;
    int status = 0;
    while (pos < d.size()) {
        tick += readVarLen(d, pos);
        unsigned char b = static_cast<unsigned char>(d[pos]);
        if (b == 0xFF) {
            pos += 2;
            int64_t length = readVarLen(d, pos);
            pos += static_cast<size_t>(length);
            status = 0;
            continue;
        }
        if (b & 0x80) {
            status = b;
            ++pos;
        }
        if ((status & 0xF0) == 0xC0) {
            ++pos;
            continue;
        }
        int note = static_cast<unsigned char>(d[pos]);
        int vel = static_cast<unsigned char>(d[pos + 1]);
        pos += 2;
        notes.push_back({tick, status & 0xF0, note, vel});
    }
    return notes;
}
