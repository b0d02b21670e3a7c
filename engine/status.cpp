// Status file: cancel requests in, progress and the final result out.
#include <cctype>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "input/input.h"
#include "midi/midi.h"

namespace {

// The leading decimal integer of the text ("%d" with blanks skipped), if any.
bool leadingInteger(const char *text, int &value) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const char *digits = text;
    if (*digits == '+' || *digits == '-') ++digits;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    value = parseInt(text);
    return true;
}

// A status path that names a file the run reads (the WAV input given as the status file) is
// never written: the line would replace that file.
void writeStatusLine(const std::string &line) {
    if (statusIsSpecialFile() || namesAFileTheRunReads(run.statusPath)) return;
    FILE *file = std::fopen(run.statusPath.c_str(), "w");
    if (!file) return;
    std::fputs(line.c_str(), file);
    std::fclose(file);
}

}  // namespace

bool statusIsSpecialFile() {
    struct stat st;
    if (stat(run.statusPath.c_str(), &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}

void pollStatus() {
    if (statusIsSpecialFile()) finish(CodeCancelled, 0);  // reads as a file that cannot be opened
    FILE *file = std::fopen(run.statusPath.c_str(), "r");
    bool cancel = file == nullptr;
    if (file) {
        char text[64] = {};
        size_t got = std::fread(text, 1, sizeof text - 1, file);
        text[got] = '\0';
        const bool unreadable = std::ferror(file) != 0;  // e.g. a directory
        std::fclose(file);
        leadingInteger(text, run.controlValue);
        cancel = unreadable || run.controlValue == -1;
    }
    if (cancel) {
        if (!namesAFileTheRunReads(run.statusPath)) unlink(run.statusPath.c_str());
        finish(CodeCancelled, 0);
    }
}

std::string progressLine() {
    char line[128];
    std::snprintf(line, sizeof line, "%f,%d,%d,8,0", static_cast<double>(run.progressPercent),
                  tracker.lowestKeyWritten, tracker.highestKeyWritten);
    return line;
}

void reportProgress() {
    time_t now = std::time(nullptr);
    if (now == run.lastReportTime) return;
    run.lastReportTime = now;
    writeStatusLine(progressLine());
}

std::string finalStatusLine(int code, int detail) {
    char line[128];
    if (code == CodeSuccess)
        std::snprintf(line, sizeof line, "100,%d,%d,%d,%d", tracker.lowestKeyWritten, tracker.highestKeyWritten,
                      settings.KeySignature, run.detectedMode);
    else
        std::snprintf(line, sizeof line, "-%.3f,%d,%d,%d,%d", code + detail * 0.001, tracker.lowestKeyWritten,
                      tracker.highestKeyWritten, settings.KeySignature, run.detectedMode);
    return line;
}

void writeFinalStatus(int code, int detail) { writeStatusLine(finalStatusLine(code, detail)); }
