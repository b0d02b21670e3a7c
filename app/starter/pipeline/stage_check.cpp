// The first stage: the input can be read, the outputs can be written, and
// the audio is something the starter can decode.
#include "app/starter/pipeline/stages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/messages.h"
#include "app/starter/cli/names.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/score/score_file.h"

namespace fs = std::filesystem;

namespace {

// True when two paths name the same existing file.
bool sameFile(const std::string &a, const std::string &b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

// True when the output would replace one of the files never to be overwritten.
bool isProtected(const std::string &output, const BatchConfig &config) {
    for (const std::string &p : config.protectedPaths)
        if (sameFile(p, output) || fs::absolute(p).lexically_normal() == fs::absolute(output).lexically_normal())
            return true;
    return false;
}

// True when a file can be created in folder (a probe of a name of its own, as several
// files may be checked in one folder at once).
bool writableFolder(const std::string &folder) {
    std::string pattern = folder + "/.sonoscriptor-probe-XXXXXX";
    std::vector<char> probe(pattern.begin(), pattern.end());
    probe.push_back('\0');
    int fd = mkstemp(probe.data());
    if (fd < 0)
        return false;
    close(fd);
    unlink(probe.data());
    return true;
}

// Copies standard input into dest, where every stage can read it again; false with a sentence
// when there is nothing to read or it cannot be copied.
bool copyStandardInput(const std::string &dest, std::string &error) {
    if (isatty(STDIN_FILENO)) {
        error = "Standard input is a terminal; pipe a recording into it, for example: cat song.flac | "
                "sonoscriptor - -o song.mid";
        return false;
    }
    FILE *out = std::fopen(dest.c_str(), "wb");
    std::vector<char> chunk(1 << 16);
    size_t got = 0;
    bool ok = out != nullptr;
    while (ok && !stopRequested && (got = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0)
        ok = std::fwrite(chunk.data(), 1, got, out) == got;
    ok = ok && !stopRequested && !std::ferror(stdin);
    ok = (out && std::fclose(out) == 0) && ok;
    if (!ok)
        error = "Standard input could not be read into the temporary folder; make sure it is not full.";
    return ok;
}

// False, with the job ended, when the start asked for lies at or beyond the end of the audio:
// the engine would transcribe the whole file instead.
bool startWithinTheAudio(Job &job, const BatchConfig &config) {
    const double start = settingsRegion(config.settings).start;
    const double length = job.workspace.audio.seconds;
    if (start <= 0 || start < length)
        return true;
    failJob(job, exitStatus(ExitCode::BadCommandLine),
            "The start " + numberText(start) + " s lies beyond the end of the recording, which is " +
                durationText(length) + " long; give --start a time before its end.");
    return false;
}

}  // namespace

bool checkInput(const std::string &input, int &code, std::string &error) {
    struct stat st{};
    code = exitStatus(ExitCode::CannotOpen);
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
    code = exitStatus(ExitCode::CannotOpen);
    fs::path target(output);
    std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
    std::error_code ec;
    // The name itself is looked at (a link as a link), so that what the last stage meets is known now.
    OutputTarget kind = classifyOutput(output);
    if (isProtected(output, config))
        error = "The output " + output + " is one of the inputs; choose another name with -o.";
    else if (kind == OutputTarget::Stream || kind == OutputTarget::StandardOutput)
        return true;  // written into at the end, never replaced
    else if (kind == OutputTarget::Unwritable)
        error = "The output " + output + " is a socket or a block device, which is never replaced; choose a file "
                "name with -o.";
    else if (!isKnownOutputName(output))
        error = "sonoscriptor writes no " + target.extension().string() + " file; name the output " +
                KnownOutputExtensions + ".";
    else if (!fs::is_directory(folder, ec))
        error = "The output folder " + folder + " does not exist; create it or choose another with -o.";
    else if (kind == OutputTarget::Folder)
        error = "The output " + output + " is a folder; choose a file name with -o.";
    else if (kind == OutputTarget::Link && !config.force)
        error = "The output " + output + " is a symbolic link; add --force to replace the link (what it leads to "
                "stays as it is), or choose another name with -o.";
    else if (kind == OutputTarget::File && !config.force)
        error = "The output " + output + " already exists; add --force to replace it, or choose another "
                "name with -o.";
    else if (!writableFolder(folder))
        error = "The output folder " + folder + " is not writable; choose another with -o.";
    else
        return true;
    return false;
}

bool stageCheck(Job &job, const BatchConfig &config) {
    job.workspace.started = std::chrono::steady_clock::now();
    int code;
    std::string error;
    bool scoreApart = job.keepMidi && !job.scoreOutput.empty(), fromStandardInput = job.input == StandardInput;
    if ((!fromStandardInput && !checkInput(job.input, code, error)) ||
        (!config.beatsOnly && (!checkOutput(job.output, config, code, error) ||
                               (scoreApart && !checkOutput(job.scoreOutput, config, code, error))))) {
        failJob(job, code, error);
        return false;
    }
    job.workspace.tempDir = makePrivateTempDir();
    if (job.workspace.tempDir.empty()) {
        failJob(job, exitStatus(ExitCode::EngineFailed), "No temporary folder could be created; make sure TMPDIR "
                                                         "(or /tmp) is writable and not full.");
        return false;
    }
    job.workspace.source = fromStandardInput ? job.workspace.tempDir + "stdin" : job.input;
    if (fromStandardInput && !copyStandardInput(job.workspace.source, error)) {
        if (stopRequested)
            failInterrupted(job);
        else
            failJob(job, exitStatus(ExitCode::ReadFailed), error);
        return false;
    }
    if (!inspectAudio(job.workspace.source, job.workspace.audio, error)) {
        failJob(job, exitStatus(ExitCode::Unsupported), "The file " + error + "; give a WAV, FLAC or Ogg recording.");
        return false;
    }
    return startWithinTheAudio(job, config);
}
