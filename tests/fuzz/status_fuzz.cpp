// The status file as both sides read it: the starter's parse of any content
// into one kind with its fields in range, and the engine's control value (the
// leading integer of the first 63 bytes, the way it polls the file).
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/starter/protocol/status.h"
#include "input/input.h"

namespace {

bool keysInRange(const StatusLine &s) {
    return s.lowest >= 0 && s.lowest <= 128 && s.highest >= -1 && s.highest <= 127 && s.keySignature >= -7 &&
           s.keySignature <= 8 && (s.mode == 0 || s.mode == 1);
}

void checkStarterReading(const std::string &text) {
    const StatusLine s = parseStatus(text);
    switch (s.kind) {
    case StatusKind::Progress:
        if (!(s.percent >= 0 && s.percent <= 100) || !keysInRange(s)) std::abort();
        break;
    case StatusKind::Success:
        if (s.percent != 100 || !keysInRange(s)) std::abort();
        break;
    case StatusKind::Failure:
        if (s.code < 0 || s.code > 999 || s.detail < 0 || s.detail > 999 || !keysInRange(s)) std::abort();
        break;
    default:
        break;
    }
    if (isFinal(s.kind) != (s.kind == StatusKind::Success || s.kind == StatusKind::Failure)) std::abort();
}

void checkEngineReading(const std::string &text) {
    const std::string polled = text.substr(0, 63);
    const int value = parseInt(polled.c_str());
    // A control value the engine reads is a control value the starter reads, and the same one.
    const StatusLine s = parseStatus(polled);
    if (s.kind == StatusKind::Control && s.control != value) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    checkStarterReading(text);
    checkEngineReading(text);
    return 0;
}
