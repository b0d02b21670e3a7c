// Settings files: the text-mode line reader, the key match and every value
// conversion. The pieces must cover the text's lines exactly, at most 254
// characters each, and be marked cut exactly when their line is longer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "input/input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain.push_back(text[i]);
    const std::vector<TextPiece> pieces = splitTextLines(text);
    size_t k = 0;
    for (size_t pos = 0; pos < plain.size();) {
        size_t end = plain.find('\n', pos);
        size_t length = end == std::string::npos ? plain.size() - pos : end + 1 - pos;
        for (size_t at = 0; at < length; at += MaxLinePiece, ++k) {
            if (k >= pieces.size() || pieces[k].cut != (length > MaxLinePiece)) std::abort();
            if (pieces[k].text != plain.substr(pos + at, std::min(MaxLinePiece, length - at))) std::abort();
        }
        pos += length;
    }
    if (k != pieces.size()) std::abort();
    resetSettings();
    for (const TextPiece &piece : pieces) {
        std::string value;
        int index = settingsLineEntry(piece.text, value);
        if (index >= SettingsKeyCount || (index >= 0 && value.empty())) std::abort();
        applySettingsLine(piece.text);
    }
    return 0;
}
