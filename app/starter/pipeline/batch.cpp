// The batch runner: preparing each file, watching the engines, reporting.
#include "app/starter/pipeline/batch.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/starter/protocol/engine_process.h"
#include "app/starter/cli/messages.h"
#include "app/starter/midi/midi_reader.h"
#include "app/starter/refine/refine.h"
#include "app/starter/pipeline/regular_file.h"
#include "app/starter/score/score_file.h"
#include "app/starter/protocol/settings_check.h"

namespace fs = std::filesystem;

volatile std::sig_atomic_t interruptCount = 0;
volatile std::sig_atomic_t terminateSignal = 0;
volatile std::sig_atomic_t stopRequested = 0;

namespace {

using Clock = std::chrono::steady_clock;

// Progress lines at the bottom of the terminal.
struct Display {
    bool enabled = false;
    int liveLines = 0;
};

void onInterrupt(int) {
    interruptCount = interruptCount + 1;
    stopRequested = 1;
}
void onTerminate(int sig) {
    terminateSignal = sig;
    stopRequested = 1;
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void sleepMilliseconds(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// True when two paths name the same existing file.
bool sameFile(const std::string &a, const std::string &b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

// Width of the terminal on standard error.
int terminalWidth() {
    winsize w{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 20 ? w.ws_col : 80;
}

// The file name shown on a progress line, cut to width.
std::string shortName(const std::string &input, size_t width) {
    std::string name = fs::path(input).filename().string();
    if (name.size() <= width)
        return name;
    std::string cut = "...";
    cut.append(name, name.size() - (width - 3), std::string::npos);
    return cut;
}

// One progress line: name, bar, percentage.
std::string progressLine(const Job &job, int width) {
    std::string name = shortName(job.input, 28);
    std::string line = name + std::string(std::max<int>(1, 30 - int(name.size())), ' ');
    if (job.refining)
        return line + "refining the notes...";
    if (job.pid < 0 && job.findingBeats)
        return line + "finding the beats...";
    if (job.pid < 0)
        return line + (job.audio.description.empty() || job.audio.readableAsIs
                           ? "starting"
                           : "converting " + job.audio.description + " to 44100 Hz 16-bit...");
    int bar = std::clamp(width - int(line.size()) - 20, 10, 40);
    int filled = static_cast<int>(job.percent / 100.0 * bar + 0.5);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3.0f%%", job.percent);
    line.append(1, '[').append(filled, '#').append(bar - filled, '-').append("] ").append(percent);
    if (job.cancelRequested)
        line += "  cancelling";
    return line.substr(0, static_cast<size_t>(width - 1));
}

// Clears the progress lines drawn last.
void clearLive(Display &d) {
    if (!d.enabled || d.liveLines == 0)
        return;
    std::fprintf(stderr, "\r\033[%dA\033[J", d.liveLines);
    d.liveLines = 0;
}

// Draws a progress line for every running job.
void drawLive(Display &d, const std::vector<Job> &jobs) {
    if (!d.enabled)
        return;
    int width = terminalWidth();
    for (const Job &job : jobs) {
        if (job.state != JobState::Running)
            continue;
        std::fprintf(stderr, "%s\n", progressLine(job, width).c_str());
        ++d.liveLines;
    }
    std::fflush(stderr);
}

void redraw(Display &d, const std::vector<Job> &jobs) {
    clearLive(d);
    drawLive(d, jobs);
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

// Prints text above the progress lines, wrapped to the terminal's width on a terminal.
void printAbove(Display &d, FILE *stream, const std::string &text, const std::vector<Job> &jobs) {
    clearLive(d);
    bool terminal = isatty(fileno(stream));
    std::fprintf(stream, "%s\n", terminal ? wrapped(text, size_t(terminalWidth() - 1)).c_str() : text.c_str());
    std::fflush(stream);
    drawLive(d, jobs);
}

// Reports a finished job: its summary on standard output, a failure on standard error.
void reportJob(Display &d, const Job &job, const std::vector<Job> &jobs) {
    if (job.listing) {
        clearLive(d);
        std::fputs(job.message.c_str(), stdout);
        std::fflush(stdout);
        drawLive(d, jobs);
    } else if (job.code <= 1 && job.pid >= 0)
        printAbove(d, stdout, job.message, jobs);
    else
        printAbove(d, stderr, "sonoscriptor: " + job.input + ": " + job.message, jobs);
}

void failJob(Job &job, int code, const std::string &message) {
    job.state = JobState::Done;
    job.code = code;
    job.message = message;
    removeTempDir(job.tempDir);
    job.tempDir.clear();
}

// Seconds of audio the settings ask to analyse.
double analysedSeconds(const Job &job) {
    double duration = job.audio.seconds;
    if (settingInt(job.settings, "EntireWave", 0) != 0)
        return duration;
    double start = settingDecimal(job.settings, "StartPoint", 0);
    double end = settingDecimal(job.settings, "EndPoint", 0);
    start = start > duration || start < 0 ? 0 : start;
    end = end <= start || end > duration ? duration : end;
    return end - start;
}

// A decimal for the settings file, exact to the microsecond and beyond.
std::string decimalText(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
}

// A decimal that reads back as the very same double.
std::string exactText(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

// The region of the file the settings ask to analyse, in seconds (end 0: to the end).
void regionOf(const SettingsList &settings, double &start, double &end) {
    bool entire = settingInt(settings, "EntireWave", 0) != 0;
    start = entire ? 0 : settingDecimal(settings, "StartPoint", 0);
    end = entire ? 0 : settingDecimal(settings, "EndPoint", 0);
}

// Writes the path settings of a job and its settings and status files.
bool writeJobFiles(Job &job, const BatchConfig &config, const std::string &wave) {
    job.settings = config.settings;
    setSetting(job.settings, "WaveFile", settingsSafePath(wave, job.tempDir + "input"));
    job.midiPath = job.tempDir + "out.mid";
    setSetting(job.settings, "MidiFile", job.midiPath);
    if (!hasSetting(job.settings, "ExePath")) {
        std::string data = settingsSafePath(config.dataDir, job.tempDir + "data");
        setSetting(job.settings, "ExePath", data.back() == '/' ? data : data + "/");
    }
    std::string tempo = getSetting(job.settings, "TempoFile");
    if (!tempo.empty())
        setSetting(job.settings, "TempoFile", settingsSafePath(tempo, job.tempDir + "tempo"));
    if (job.tempo.tracked) {
        // The grid starts on the first beat and follows the beats from there.
        std::string map = job.tempDir + "tempo.map";
        if (!writeTempoMap(map, job.tempo.map))
            return false;
        setSetting(job.settings, "TempoFile", map);
        setSetting(job.settings, "Tempo", decimalText(job.tempo.tempo));
        if (!job.tempo.metreGiven) {
            setSetting(job.settings, "TimeSignatureNumerator", std::to_string(job.tempo.numerator));
            setSetting(job.settings, "TimeSignatureDenominator", std::to_string(job.tempo.denominatorPower));
            // The chord blocks keep their four beats: a block a bar lost notes in 3/4.
            if (!hasSetting(job.settings, "ChordRes"))
                setSetting(job.settings, "ChordRes", "4");
        }
        // The first beat, a downbeat, may lie before the audio: the engine reads silence there
        // and keeps of it only what lies within the bar of the first note.
        double start = engineStartPoint(job.tempo.startPoint, readWaveFileHeader(wave));
        setSetting(job.settings, "StartPoint", exactText(start));
        // "To the end" must be said: after a start below 0, an end of 0 is a time.
        double unused, end;
        regionOf(config.settings, unused, end);
        if (!(end > 0 && end > start))
            setSetting(job.settings, "EndPoint", exactText(job.tempo.endPoint));
        setSetting(job.settings, "EntireWave", "0");
    }
    job.statusPath = job.tempDir + "status.txt";
    return writeSettingsFile(job.tempDir + "settings.txt", job.settings) &&
           replaceFileText(job.statusPath, "0");
}

// Finds the beats of the audio the engine will read and plans the tempo; false when the job ended.
bool followBeats(Job &job, const BatchConfig &config, const std::string &wave) {
    double start, end, tempo = settingDecimal(config.settings, "Tempo", 120);
    regionOf(config.settings, start, end);
    BeatTrack track;
    std::string error;
    if (!trackBeats(wave, start, end, track, &stopRequested, error)) {
        failJob(job, 4, "The file " + error + "; export it as a WAV, FLAC or Ogg file.");
        return false;
    }
    if (stopRequested) {
        failJob(job, 1, "cancelled before the transcription started; no MIDI file was written.");
        return false;
    }
    job.tempo = planTempo(track, config.settings, tempo > 0 ? tempo : 120);
    job.beatsTracked = true;
    return true;
}

// Ends a --beats job with its listing.
void finishListing(Job &job) {
    job.state = JobState::Done;
    job.code = 0;
    job.message = beatListing(job);
    job.listing = true;
    removeTempDir(job.tempDir);
    job.tempDir.clear();
}

// Converts the input when the engine cannot read it as it is; false when that fails.
bool prepareAudio(Job &job, std::string &wave) {
    wave = job.input;
    if (job.audio.readableAsIs)
        return true;
    wave = job.tempDir + "audio.wav";
    std::string error;
    if (convertForEngine(job.input, wave, &stopRequested, error)) {
        job.converted = true;
        return true;
    }
    if (stopRequested)
        failJob(job, 1, "cancelled before the transcription started; no MIDI file was written.");
    else
        failJob(job, 4, "The file " + error + "; export it as a WAV, FLAC or Ogg file.");
    return false;
}

// Moves a finished file to its place: never over a file that appeared meanwhile
// unless it may be replaced (code 3), else a failed write (code 5).
bool placeFile(const Job &job, const std::string &from, const std::string &to, int &code, std::string &error) {
    if (moveFile(from, to, job.mayReplace))
        return true;
    bool taken = errno == EEXIST;
    code = taken ? 3 : 5;
    error = taken ? "The output " + to + " appeared while this file was being transcribed (another run?) and "
                    "was left as it is; add --force to replace it, or choose another name with -o."
                  : "The file could not be written to " + to + "; make sure the disk is not full.";
    return false;
}

// The metre of a tempo plan in words; weak when the pulse or the bar is.
std::string planMetreWords(const TempoPlan &t) {
    return metreWords(t.numerator, t.denominatorPower, t.metreGiven, t.metreJudged, t.metreWeak || t.pulseWeak);
}

// Fills the report of a finished or cancelled run from the MIDI file and the status.
RunReport reportOf(const Job &job, const StatusLine &status, const MidiContent &midi) {
    RunReport r;
    r.input = job.input;
    r.output = job.output + (job.keepMidi && !job.scoreOutput.empty() ? " and " + job.scoreOutput : "");
    r.code = job.code;
    r.percent = job.code == 0 ? 100 : job.percent;
    r.notes = static_cast<int>(midi.notes.size());
    for (const MidiNote &n : midi.notes) {
        r.lowest = std::min(r.lowest, n.key);
        r.highest = std::max(r.highest, n.key);
    }
    // The MIDI file writes "no key signature" as C major; the final status line keeps 8 for it.
    r.keySignature = isFinal(status.kind) ? status.keySignature
                     : midi.hasKeySignature ? midi.keySignature : 8;
    r.mode = midi.hasKeySignature ? midi.mode : status.mode;
    int sig = settingInt(job.settings, "KeySignature", 8);
    bool constrained = settingInt(job.settings, "Constrain", 0) != 0 && sig >= -7 && sig <= 7;
    r.keyDetected = settingInt(job.settings, "AutoDetectKey", 1) != 0 && !constrained;
    r.audioSeconds = analysedSeconds(job) * r.percent / 100.0;
    r.elapsedSeconds = secondsSince(job.started);
    r.conversion = job.converted ? job.audio.description : "";
    r.tempo = settingDecimal(job.settings, "Tempo", 120);
    r.tempoSource = job.tempo.tracked              ? TempoSource::Tracked
                    : job.beatsTracked              ? TempoSource::Fallback
                    : !getSetting(job.settings, "TempoFile").empty() ? TempoSource::Map
                                                                     : TempoSource::Given;
    r.beats = job.tempo.beatCount;
    if (job.tempo.tracked)
        r.metre = planMetreWords(job.tempo);
    r.tempoFallback = job.tempo.fallback;
    r.refined = job.refined;
    r.moved = job.refineCounts.moved;
    r.split = job.refineCounts.split;
    r.dropped = job.refineCounts.dropped;
    if (r.tempoSource == TempoSource::Fallback)
        r.tempo = job.tempo.tempo;
    return r;
}

// Writes the score of the MIDI file into the temporary folder and moves it into place.
bool placeScore(const Job &job, const MidiContent &midi, bool read, int &code, std::string &error) {
    std::string score = job.tempDir + "score";
    ScoreRequest request{scoreTitle(job.input), settingDecimal(job.settings, "Resolution", 4),
                         isCompressedScoreName(job.scoreOutput)};
    if (read && writeScoreFile(midi, request, score, error))
        return placeFile(job, score, job.scoreOutput, code, error);
    code = 5;
    error = "The score " + job.scoreOutput + " could not be written: " +
            (read ? error : "the engine's MIDI file cannot be read") + ".";
    return false;
}

// Copies the settings file, the tempo map and the engine's MIDI file of a job into the keep folder.
void keepEngineFiles(const Job &job, const std::string &dir) {
    std::string name = (fs::path(dir) / fs::path(job.input).stem()).string();
    std::error_code ec;
    auto copy = [&](const std::string &from, const char *suffix) {
        if (!from.empty() && fs::is_regular_file(from, ec))
            fs::copy_file(from, name + suffix, fs::copy_options::overwrite_existing, ec);
    };
    copy(job.tempDir + "settings.txt", ".settings.txt");
    copy(getSetting(job.settings, "TempoFile"), ".tempo.bin");
    copy(job.midiPath, ".engine.mid");
}

// Refines the engine's notes by the attacks in the recording; the engine's file stays when that cannot be done.
void refineNotes(Job &job, const BatchConfig &config, const std::function<void()> &onSlowStep) {
    job.refining = true;
    job.state = JobState::Running;  // on the progress lines until the file is settled
    if (onSlowStep)
        onSlowStep();
    RefineInput input{getSetting(job.settings, "WaveFile"), job.midiPath, job.settings, {}};
    std::string map = getSetting(job.settings, "TempoFile"), error;
    if (!map.empty() && !readTempoMap(map, input.tempoMap))
        input.tempoMap.clear();
    RefineSession session;
    std::string refined = job.tempDir + "refined.mid";
    try {
        if (prepareRefinement(input, session, &stopRequested, error) &&
            writeRefinement(session, RefineThresholds{}, config.quantize, refined, job.refineCounts, error)) {
            job.midiPath = refined;
            job.refined = true;
        }
    } catch (const std::bad_alloc &) {
        // Too long a recording for the memory at hand: the engine's notes are written as they are.
    }
    job.refining = false;
    job.state = JobState::Done;
}

// Settles a run that ended with code 0 or 1: the MIDI file goes to its place.
void settleTranscription(Job &job, const BatchConfig &config, const StatusLine &status,
                         const std::function<void()> &onSlowStep) {
    std::string error;
    MidiContent midi;
    if (!fs::exists(job.midiPath)) {
        failJob(job, ExitEngineProblem, "The engine ended without writing a MIDI file; check that --engine "
                                        "names sonoscriptor-engine.");
        return;
    }
    if (!config.keepDir.empty())
        keepEngineFiles(job, config.keepDir);
    if (!config.raw && job.code == 0)
        refineNotes(job, config, onSlowStep);
    if (terminateSignal || interruptCount >= 2)
        return failJob(job, 130, "stopped at once");
    bool read = readMidiFile(job.midiPath, midi, error);
    if (!read)
        midi = MidiContent{};
    job.message = summaryParagraph(reportOf(job, status, midi));
    int code = 0;
    if (!job.scoreOutput.empty() && !placeScore(job, midi, read, code, error))
        job.code = std::max(job.code, code), job.message = error;
    if (job.keepMidi && !placeFile(job, job.midiPath, job.output, code, error))
        job.code = std::max(job.code, code), job.message = error;
}

// Writes -1 into the status file again when the engine may have overwritten it.
void sendCancel(Job &job) {
    if (job.cancelRequested && secondsSince(job.lastCancel) < 0.3)
        return;
    job.cancelRequested = true;
    job.lastCancel = Clock::now();
    requestCancel(job.statusPath);
}

// Polls one running job; settles it when its engine has ended.
bool pollJob(Job &job, const BatchConfig &config, const std::function<void()> &onSlowStep) {
    int exitCode;
    bool signalled;
    if (!processEnded(job.pid, exitCode, signalled)) {
        StatusLine s = readStatus(job.statusPath);
        if (s.kind == StatusKind::Progress)
            job.percent = s.percent;
        return false;
    }
    finishJob(job, config, exitCode, signalled, onSlowStep);
    return true;
}

// Ends every running engine at once and removes what they left.
int abortAll(std::vector<Job> &jobs, Display &d, int signal) {
    int stopped = 0;
    for (Job &job : jobs) {
        if (job.state != JobState::Running || job.pid < 0)
            continue;
        kill(job.pid, SIGKILL);
        bool signalled;
        waitProcess(job.pid, signalled);
        failJob(job, 130, "stopped at once");
        ++stopped;
    }
    clearLive(d);
    std::fprintf(stderr, "sonoscriptor: stopped at once; no MIDI file was written for the %d file%s in "
                         "progress.\n", stopped, stopped == 1 ? "" : "s");
    return signal == SIGINT ? 130 : 128 + signal;
}

// Turns the first Ctrl-C into cancel requests and skips the files not started.
void beginCancel(std::vector<Job> &jobs, Display &d) {
    printAbove(d, stderr, "sonoscriptor: cancelling; the engine finishes the MIDI file with the notes found "
                          "so far (press Ctrl-C again to stop at once).", jobs);
    for (Job &job : jobs) {
        if (job.state == JobState::Pending)
            failJob(job, 1, "not started (cancelled).");
        else if (job.state == JobState::Running && job.pid >= 0)
            sendCancel(job);
    }
}

int runningCount(const std::vector<Job> &jobs) {
    return static_cast<int>(std::count_if(jobs.begin(), jobs.end(),
                                          [](const Job &j) { return j.state == JobState::Running; }));
}

}  // namespace

void installSignalHandlers() {
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = onTerminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string defaultOutputName(const std::string &input, const std::string &folder) {
    fs::path in(input);
    fs::path name = in.filename();
    name.replace_extension(".mid");
    fs::path dir = folder.empty() ? in.parent_path() : fs::path(folder);
    return (dir / name).string();
}

bool planJobs(const std::vector<std::string> &inputs, const std::string &output,
              std::vector<Job> &jobs, std::string &error) {
    std::error_code ec;
    bool outputIsFolder = !output.empty() && (fs::is_directory(output, ec) || output.back() == '/');
    if (inputs.size() > 1 && !output.empty() && !outputIsFolder) {
        error = "With several inputs, -o names a folder that exists; " + output + " is none.";
        return false;
    }
    std::set<std::string> taken;
    for (const std::string &input : inputs) {
        Job job;
        job.input = input;
        job.output = output.empty() || outputIsFolder ? defaultOutputName(input, output) : output;
        std::string key = fs::absolute(job.output).lexically_normal().string();
        if (!taken.insert(key).second) {
            error = "Two inputs would both be written to " + job.output +
                    "; rename one of them or transcribe them one at a time with -o.";
            return false;
        }
        jobs.push_back(job);
    }
    return true;
}

bool checkInput(const std::string &input, int &code, std::string &error) {
    struct stat st{};
    code = 3;
    if (stat(input.c_str(), &st) != 0) {
        error = errno == ENOENT ? "The file does not exist; check its name."
                                : "The file cannot be reached (" + std::string(std::strerror(errno)) + ").";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "This is a folder, not an audio file; give the audio files inside it.";
        return false;
    }
    int fd = openWithoutBlocking(input, st);
    if (fd < 0) {
        error = "The file cannot be read (" + std::string(std::strerror(errno)) + "); check its permissions.";
        return false;
    }
    close(fd);
    if (!S_ISREG(st.st_mode))
        error = "This is not a regular file (a pipe, a socket or a device); save the recording as a file first.";
    return S_ISREG(st.st_mode);
}

bool checkOutput(const std::string &output, const BatchConfig &config, int &code, std::string &error) {
    code = 3;
    fs::path target(output);
    std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
    std::error_code ec;
    for (const std::string &p : config.protectedPaths) {
        if (sameFile(p, output) || fs::absolute(p).lexically_normal() == fs::absolute(output).lexically_normal()) {
            error = "The output " + output + " is one of the inputs; choose another name with -o.";
            return false;
        }
    }
    if (!fs::is_directory(folder, ec)) {
        error = "The output folder " + folder + " does not exist; create it or choose another with -o.";
        return false;
    }
    if (fs::is_directory(target, ec)) {
        error = "The output " + output + " is a folder; choose a file name with -o.";
        return false;
    }
    if (fs::exists(target, ec) && !config.force) {
        error = "The output " + output + " already exists; add --force to replace it, or choose another "
                "name with -o.";
        return false;
    }
    std::string probe = folder + "/.sonoscriptor-probe-" + std::to_string(getpid());
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        error = "The output folder " + folder + " is not writable; choose another with -o.";
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

std::string beatListing(const Job &job) {
    const TempoPlan &t = job.tempo;
    char line[200];
    if (!t.tracked)
        return "# " + job.input + ": " + fallbackSentence(t.fallback, t.tempo) + "\n";
    std::snprintf(line, sizeof line, ": %zu beats, median tempo %.2f beats per minute; %s\n", t.beats.size(),
                  t.beatTempo, planMetreWords(t).c_str());
    std::string text = "# " + job.input + line;
    for (size_t i = 0; i < t.beats.size(); ++i) {
        std::snprintf(line, sizeof line, i < t.downbeats.size() && t.downbeats[i] ? "%.3f downbeat\n" : "%.3f\n",
                      t.beats[i]);
        text += line;
    }
    return text;
}

void startJob(Job &job, const BatchConfig &config, const std::function<void()> &onSlowStep) {
    job.state = JobState::Running;
    job.mayReplace = config.force;
    job.started = Clock::now();
    int code;
    std::string error, wave;
    bool scoreApart = job.keepMidi && !job.scoreOutput.empty();
    if (!checkInput(job.input, code, error) ||
        (!config.beatsOnly && (!checkOutput(job.output, config, code, error) ||
                               (scoreApart && !checkOutput(job.scoreOutput, config, code, error)))))
        return failJob(job, code, error);
    job.tempDir = makePrivateTempDir();
    if (job.tempDir.empty())
        return failJob(job, ExitEngineProblem, "No temporary folder could be created; make sure TMPDIR "
                                               "(or /tmp) is writable and not full.");
    if (!inspectAudio(job.input, job.audio, error))
        return failJob(job, 4, "The file " + error + "; give a WAV, FLAC or Ogg recording.");
    if (!job.audio.readableAsIs && onSlowStep)
        onSlowStep();
    if (!prepareAudio(job, wave))
        return;
    if (config.trackBeats || config.beatsOnly) {
        job.findingBeats = true;
        if (onSlowStep)
            onSlowStep();
        if (!followBeats(job, config, wave))
            return;
        job.findingBeats = false;
    }
    if (config.beatsOnly)
        return finishListing(job);
    if (!writeJobFiles(job, config, wave))
        return failJob(job, ExitEngineProblem, "The engine's settings could not be written into the "
                                               "temporary folder; make sure it is not full.");
    std::string problem = settingsFileProblem(job.tempDir + "settings.txt", job.settings);
    if (!problem.empty())
        return failJob(job, ExitUsage, problem);
    if (!startEngine(config.enginePath, job.tempDir + "settings.txt", job.statusPath, job.pid, error))
        return failJob(job, ExitEngineProblem, error);
}

void finishJob(Job &job, const BatchConfig &config, int exitCode, bool signalled,
               const std::function<void()> &onSlowStep) {
    StatusLine status = readStatus(job.statusPath);
    job.state = JobState::Done;
    job.code = exitCode;
    job.detail = status.kind == StatusKind::Failure && status.code == exitCode ? status.detail : -1;
    if (signalled) {
        failJob(job, ExitEngineProblem, "The engine stopped unexpectedly (signal " + std::to_string(exitCode - 128) +
                                            "); this is a fault in sonoscriptor-engine, please report it "
                                            "with the recording.");
    } else if (exitCode == 0 && !isFinal(status.kind)) {
        failJob(job, ExitEngineProblem, "The engine ended without a result: it did not accept the launch token; "
                                        "check that --engine names sonoscriptor-engine.");
    } else if (exitCode <= 1) {
        settleTranscription(job, config, status, onSlowStep);
    } else if (exitCode <= 7) {
        job.message = failureSentence(exitCode, job.detail, job.settings);
    } else {
        job.message = "The engine ended with the unknown code " + std::to_string(exitCode) +
                      "; check that --engine names sonoscriptor-engine.";
        job.code = ExitEngineProblem;
    }
    removeTempDir(job.tempDir);
    job.tempDir.clear();
}

int runBatch(std::vector<Job> &jobs, const BatchConfig &config) {
    Display d;
    d.enabled = !config.quiet && isatty(STDERR_FILENO);
    size_t next = 0;
    bool cancelling = false;
    while (true) {
        if (terminateSignal || interruptCount >= 2)
            return abortAll(jobs, d, terminateSignal ? terminateSignal : SIGINT);
        if (interruptCount == 1 && !cancelling) {
            cancelling = true;
            beginCancel(jobs, d);
        }
        while (interruptCount == 0 && next < jobs.size() && runningCount(jobs) < std::max(1, config.jobs)) {
            Job &job = jobs[next++];
            job.state = JobState::Running;
            redraw(d, jobs);
            startJob(job, config, [&] { redraw(d, jobs); });
            if (job.state == JobState::Done)
                reportJob(d, job, jobs);
        }
        for (Job &job : jobs) {
            if (job.state != JobState::Running)
                continue;
            if (cancelling)
                sendCancel(job);
            if (pollJob(job, config, [&] { redraw(d, jobs); }))
                reportJob(d, job, jobs);
        }
        redraw(d, jobs);
        if (runningCount(jobs) == 0 && (next >= jobs.size() || cancelling))
            break;
        sleepMilliseconds(50);
    }
    if (terminateSignal || interruptCount >= 2)  // met while a file was being prepared
        return abortAll(jobs, d, terminateSignal ? terminateSignal : SIGINT);
    clearLive(d);
    int worst = 0;
    for (const Job &job : jobs)
        worst = std::max(worst, job.code);
    return worst;
}
