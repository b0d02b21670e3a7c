// The filter index: the line chosen for a record number and the defaults it
// gives. The chosen line starts with the record number; a default is taken
// only into a setting that was unset.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    std::vector<std::string> lines;
    for (TextPiece &piece : splitTextLines(std::string(reinterpret_cast<const char *>(data) + 2, size - 2)))
        lines.push_back(piece.text);
    resetSettings();
    settings.Filter = static_cast<int8_t>(data[0]) * 256 + data[1];
    settings.KeyMax = 40;  // set: no default may replace it
    int n = findIndexLine(lines);
    if (n < 0 || n > static_cast<int>(lines.size())) std::abort();
    if (n == 0) return 0;
    if (parseInt(lines[n - 1].c_str()) != settings.Filter) std::abort();
    applyIndexLine(lines[n - 1]);
    if (settings.KeyMax != 40 || settings.KeyMin == 0 || settings.PitchMode == 0) std::abort();
    return 0;
}
