// The first stage: the input can be read, the outputs can be written, and
// the audio is something the starter can decode.
#include "app/starter/pipeline/pipeline.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "app/starter/cli/exit_code.h"
#include "app/starter/pipeline/regular_file.h"
#include "app/starter/protocol/engine_process.h"

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
    bool scoreApart = job.keepMidi && !job.scoreOutput.empty();
    if (!checkInput(job.input, code, error) ||
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
    if (!inspectAudio(job.input, job.workspace.audio, error)) {
        failJob(job, exitStatus(ExitCode::Unsupported), "The file " + error + "; give a WAV, FLAC or Ogg recording.");
        return false;
    }
    return true;
}
