// The --skip-existing check: any bytes as an existing MIDI file, CSV note list
// and JSON note list, each asked whether it reads back whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <stdlib.h>

#include "app/starter/pipeline/report.h"

namespace {

const std::string &folder() {
    static const std::string made = [] {
        char pattern[] = "/tmp/output-whole-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        return std::string(pattern) + "/";
    }();
    return made;
}

void writeBytes(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

// Whether one output alone, named with the extension given, is complete.
void askWhole(const std::string &name, bool keepMidi, const uint8_t *data, size_t size) {
    FilePlan file;
    file.input = folder() + "input.wav";
    file.output = folder() + "out.mid";
    file.keepMidi = keepMidi;
    if (!keepMidi) file.notesOutput = folder() + name;
    writeBytes(keepMidi ? file.output : file.notesOutput, data, size);
    outputsComplete(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    askWhole("out.mid", true, data, size);
    askWhole("notes.csv", false, data, size);
    askWhole("notes.json", false, data, size);
    return 0;
}
