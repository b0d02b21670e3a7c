// Progress lines and the sentences printed above them.
#include "app/starter/pipeline/display.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include <sys/ioctl.h>
#include <unistd.h>

#include "app/starter/cli/messages.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/pipeline/pipeline.h"

namespace {

// Width of the terminal a stream writes to.
int terminalWidth(FILE *stream) {
    winsize w{};
    return ioctl(fileno(stream), TIOCGWINSZ, &w) == 0 && w.ws_col > 20 ? w.ws_col : 80;
}

// The file name shown on a progress line, cut to width.
std::string shortName(const std::string &input, size_t width) {
    std::string name = std::filesystem::path(input).filename().string();
    if (name.size() <= width)
        return name;
    std::string cut = "...";
    cut.append(name, name.size() - (width - 3), std::string::npos);
    return cut;
}

// A share from 0 to 1 as a percentage, three wide.
std::string percentText(double fraction) {
    char text[16];
    std::snprintf(text, sizeof text, "%3.0f%%", std::clamp(fraction, 0.0, 1.0) * 100);
    return text;
}

// The share of a running file's work done, never less than what was shown before.
double shownShare(Display &d, size_t i) {
    const JobProgress &p = (*d.progress)[i];
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.entered.load()).count();
    double share = fileShare(p.before, p.span, p.fraction, elapsed, p.expectedSeconds);
    d.shown.resize(d.progress->size(), 0.0);
    d.shown[i] = std::max(d.shown[i], share);
    return d.shown[i];
}

// Text broken into lines of at most width characters at blanks.
std::string wrapped(const std::string &text, size_t width) {
    std::string out, line;
    size_t start = 0;
    while (start <= text.size()) {
        size_t blank = text.find(' ', start);
        std::string word = text.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        if (blank == std::string::npos)
            break;
        start = blank + 1;
    }
    return out + line;
}

// Draws a progress line for every running file.
void drawLive(Display &d) {
    if (!d.enabled)
        return;
    int width = terminalWidth(d.errors);
    for (size_t i = 0; i < d.jobs->size(); ++i) {
        Stage stage = (*d.progress)[i].stage;
        if (stage == Stage::Waiting || stage == Stage::Done)
            continue;
        const JobProgress &p = (*d.progress)[i];
        std::fprintf(d.errors, "%s\n", progressLine((*d.jobs)[i], stage, shownShare(d, i), p.cancelling, width).c_str());
        ++d.liveLines;
    }
    std::fflush(d.errors);
}

}  // namespace

std::string progressLine(const Job &job, Stage stage, double share, bool cancelling, int width) {
    std::string name = shortName(job.file.input, 28);
    std::string line = name + std::string(std::max<int>(1, 30 - int(name.size())), ' ');
    int bar = std::clamp(width - int(line.size()) - 40, 10, 30);
    int filled = static_cast<int>(std::clamp(share, 0.0, 1.0) * bar + 0.5);
    line.append(1, '[').append(filled, '#').append(bar - filled, '-').append("] ").append(percentText(share));
    line += "  " + stageWords(stage, job.audioDescription, cancelling);
    return line.substr(0, static_cast<size_t>(width - 1));
}

void clearLive(Display &d) {
    if (!d.enabled || d.liveLines == 0)
        return;
    std::fprintf(d.errors, "\r\033[%dA\033[J", d.liveLines);
    d.liveLines = 0;
}

void passOnNotes(Display &d) {
    if (!d.notes)
        return;
    for (const std::string &line : takeLibraryNotes(*d.notes))
        if (!d.quiet && !line.empty())
            printAbove(d, d.errors, decoderNoteLine(line));
}

void redraw(Display &d) {
    passOnNotes(d);
    clearLive(d);
    drawLive(d);
}

void printAbove(Display &d, FILE *stream, const std::string &text) {
    clearLive(d);
    bool terminal = isatty(fileno(stream));
    std::fprintf(stream, "%s\n", terminal ? wrapped(text, size_t(terminalWidth(stream) - 1)).c_str() : text.c_str());
    std::fflush(stream);
    drawLive(d);
}

void reportJob(Display &d, const Job &job) {
    const Outcome &out = job.outcome;
    if (out.kind == OutcomeKind::Listing) {
        clearLive(d);
        std::fputs(out.message.c_str(), stdout);
        std::fflush(stdout);
        drawLive(d);
    } else if (out.kind == OutcomeKind::Summary && out.code <= exitStatus(ExitCode::Cancelled)) {
        printAbove(d, d.summariesToStderr ? d.errors : stdout, out.message);
    } else {
        printAbove(d, d.errors, fileFailureLine(job.file.input, out.message));
    }
}
