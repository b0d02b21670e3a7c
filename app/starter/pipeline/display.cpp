// Progress lines and the sentences printed above them.
#include "app/starter/pipeline/display.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <sys/ioctl.h>
#include <unistd.h>

#include "app/starter/cli/exit_code.h"

namespace {

// Width of the terminal on standard error.
int terminalWidth() {
    winsize w{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 20 ? w.ws_col : 80;
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

// What a file does before and after its engine, in words; how far it has got comes first,
// so that it shows on a narrow terminal too.
std::string stageWords(const Job &job, Stage stage, double fraction) {
    switch (stage) {
    case Stage::Converting:
        return percentText(fraction) + "  converting " + job.workspace.audio.description + " to 44100 Hz 16-bit...";
    case Stage::FindingBeats:
        return percentText(fraction) + "  finding the beats...";
    case Stage::Refining:
        return percentText(fraction) + "  refining the notes...";
    default:
        return "starting";
    }
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
    int width = terminalWidth();
    for (size_t i = 0; i < d.jobs->size(); ++i) {
        Stage stage = (*d.progress)[i].stage;
        if (stage == Stage::Waiting || stage == Stage::Done)
            continue;
        std::fprintf(stderr, "%s\n", progressLine((*d.jobs)[i], (*d.progress)[i], width).c_str());
        ++d.liveLines;
    }
    std::fflush(stderr);
}

}  // namespace

std::string progressLine(const Job &job, const JobProgress &progress, int width) {
    std::string name = shortName(job.input, 28);
    std::string line = name + std::string(std::max<int>(1, 30 - int(name.size())), ' ');
    Stage stage = progress.stage;
    double fraction = progress.fraction;
    if (stage != Stage::RunningEngine && stage != Stage::Settling)
        return (line + stageWords(job, stage, fraction)).substr(0, static_cast<size_t>(width - 1));
    int bar = std::clamp(width - int(line.size()) - 20, 10, 40);
    int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * bar + 0.5);
    line.append(1, '[').append(filled, '#').append(bar - filled, '-').append("] ").append(percentText(fraction));
    if (progress.cancelling)
        line += "  cancelling";
    return line.substr(0, static_cast<size_t>(width - 1));
}

void clearLive(Display &d) {
    if (!d.enabled || d.liveLines == 0)
        return;
    std::fprintf(stderr, "\r\033[%dA\033[J", d.liveLines);
    d.liveLines = 0;
}

void redraw(Display &d) {
    clearLive(d);
    drawLive(d);
}

void printAbove(Display &d, FILE *stream, const std::string &text) {
    clearLive(d);
    bool terminal = isatty(fileno(stream));
    std::fprintf(stream, "%s\n", terminal ? wrapped(text, size_t(terminalWidth() - 1)).c_str() : text.c_str());
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
        printAbove(d, d.summariesToStderr ? stderr : stdout, out.message);
    } else {
        printAbove(d, stderr, "sonoscriptor: " + job.input + ": " + out.message);
    }
}
