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

#include "app/starter/cli/failures.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/score/score_file.h"

namespace fs = std::filesystem;

namespace {

// True when the output would replace one of the files never to be overwritten.
bool isProtected(const std::string &output, const RunPlan &plan) {
    for (const std::string &p : plan.protectedPaths)
        if (namesSameFile(p, output))
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

// Copies standard input into dest, where every stage can read it again; the failure when there is
// nothing to read or it cannot be copied.
Failure copyStandardInput(const std::string &dest) {
    if (isatty(STDIN_FILENO))
        return failureOf(FailureKind::StandardInputTerminal);
    FILE *out = std::fopen(dest.c_str(), "wb");
    std::vector<char> chunk(1 << 16);
    size_t got = 0;
    bool ok = out != nullptr;
    while (ok && !stopRequested && (got = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0)
        ok = std::fwrite(chunk.data(), 1, got, out) == got;
    ok = ok && !stopRequested && !std::ferror(stdin);
    ok = (out && std::fclose(out) == 0) && ok;
    return ok ? Failure{} : failureOf(FailureKind::StandardInputUnread);
}

// The failure of a start asked for at or beyond the end of the audio (the engine would
// transcribe the whole file instead); kind None when it lies within.
Failure startWithinTheAudio(const RunPlan &plan, const AudioInfo &audio) {
    const double start = plan.region.start, length = audio.seconds;
    if (start <= 0 || start < length)
        return Failure{};
    Failure f = failureOf(FailureKind::StartBeyondEnd);
    f.start = start;
    f.length = length;
    return f;
}

// The failure of an output's place: the name is looked at, its folder and what is there now
// (knownName false: the name's type is refused).
Failure checkPlace(const std::string &output, const RunPlan &plan, bool knownName) {
    fs::path target(output);
    std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
    std::error_code ec;
    // The name itself is looked at (a link as a link), so that what the last stage meets is known now.
    OutputTarget kind = classifyOutput(output);
    if (isProtected(output, plan))
        return failureOf(FailureKind::OutputIsInput, output);
    if (kind == OutputTarget::Stream || kind == OutputTarget::StandardOutput)
        return Failure{};  // written into at the end, never replaced
    if (kind == OutputTarget::Unwritable)
        return failureOf(FailureKind::OutputUnwritable, output);
    if (!knownName)
        return failureOf(FailureKind::OutputUnknownType, target.extension().string());
    if (!fs::is_directory(folder, ec))
        return failureOf(FailureKind::OutputFolderMissing, folder);
    if (kind == OutputTarget::Folder)
        return failureOf(FailureKind::OutputIsFolder, output);
    if (kind == OutputTarget::Link && !plan.force)
        return failureOf(FailureKind::OutputIsLink, output);
    // With --skip-existing a file here means the input was not skipped: its outputs are not all whole.
    if (kind == OutputTarget::File && !plan.force)
        return failureOf(plan.skipExisting ? FailureKind::OutputNotSkipped : FailureKind::OutputExists, output);
    if (!writableFolder(folder))
        return failureOf(FailureKind::OutputFolderNotWritable, folder);
    return Failure{};
}

// The failure of the first input or output that cannot be used; kind None when all can.
Failure checkFiles(const FilePlan &file, const RunPlan &plan) {
    Failure f;
    if (file.input != StandardInput)
        f = checkInput(file.input);
    if (f.kind == FailureKind::None && !plan.beatsOnly)
        f = checkOutput(file.output, plan);
    if (f.kind == FailureKind::None && !plan.beatsOnly && file.keepMidi && !file.scoreOutput.empty())
        f = checkOutput(file.scoreOutput, plan);
    if (f.kind == FailureKind::None && !plan.beatsOnly && !file.notesOutput.empty()) {
        f = checkPlace(file.notesOutput, plan, true);  // its name was checked with --notes
        f.option = "--notes";
    }
    return f;
}

}  // namespace

Failure checkInput(const std::string &input) {
    struct stat st{};
    if (stat(input.c_str(), &st) != 0)
        return errno == ENOENT ? failureOf(FailureKind::NoSuchInput)
                               : failureOf(FailureKind::InputUnreachable, input, std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return failureOf(FailureKind::InputIsFolder, input);
    int fd = openWithoutBlocking(input, st);
    if (fd < 0)
        return failureOf(FailureKind::InputUnreadable, input, std::strerror(errno));
    close(fd);
    return S_ISREG(st.st_mode) ? Failure{} : failureOf(FailureKind::InputNotRegular, input);
}

Failure checkOutput(const std::string &output, const RunPlan &plan) {
    return checkPlace(output, plan, isKnownOutputName(output));
}


Staged<Workspace> stageCheck(const FilePlan &file, const RunPlan &plan) {
    Staged<Workspace> r;
    Workspace &w = r.value;
    w.started = std::chrono::steady_clock::now();
    r.failure = checkFiles(file, plan);
    if (!r.ok())
        return r;
    w.tempDir = makePrivateTempDir();
    if (w.tempDir.empty()) {
        r.failure = failureOf(FailureKind::NoTempFolder);
        return r;
    }
    const bool fromStandardInput = file.input == StandardInput;
    w.source = fromStandardInput ? w.tempDir + "stdin" : file.input;
    if (fromStandardInput)
        r.failure = copyStandardInput(w.source);
    if (!r.ok() && stopRequested)
        r.failure = interrupted();
    std::string cause;
    if (r.ok() && !inspectAudio(w.source, w.audio, cause))
        r.failure = audioFailure(file.input, w.audio, cause);
    if (r.ok())
        r.failure = startWithinTheAudio(plan, w.audio);
    return r;
}
