// Tempo file: beat durations that space the frames of each beat. The file is
// read here without run state, so the starter reads a tempo file it is given,
// and its tests read the ones it writes, with these same functions.
#include <sys/stat.h>

#include "input/input.h"

FILE *openTempoStream(const std::string &path) {
    // Only a regular file is opened: a FIFO or a device could block or never end.
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

int nextTempoValue(FILE *file) {
    int low = std::fgetc(file);
    int high = std::fgetc(file);
    if (low == EOF) low = 255;
    if (high == EOF) high = 255;
    return low | (high << 8);
}

bool readTempoValues(const std::string &path, std::vector<uint16_t> &values) {
    values.clear();
    FILE *file = openTempoStream(path);
    if (!file) return false;
    for (int value = nextTempoValue(file); value != TempoFileEnd; value = nextTempoValue(file))
        values.push_back(static_cast<uint16_t>(value));
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    if (!read) values.clear();
    return read;
}

void openTempoFile() {
    inputFiles.tempo = openTempoStream(settings.TempoFile);
    if (!inputFiles.tempo) return;
    derived.frameTempo = tempoSpacing(derived.framesPerBeat, settings.VirtualSR);
}

int readTempoValue() { return nextTempoValue(inputFiles.tempo); }
