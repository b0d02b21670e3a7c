// A transcription: the library's options become the command's run plan for one
// file, written into a private folder; the pipeline runs it on a worker thread
// while the calling thread reports progress and passes on a cancel; the MIDI file
// written and what the run found become the Transcription.
#include "app/library/library.h"

#include <chrono>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include <fftw3.h>

#include "app/starter/cli/messages.h"
#include "app/starter/cli/run_plan.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/exit_code.h"

namespace sonoscriptor {

Error::Error(ErrorKind kind, const std::string &sentence, const std::string &line)
    : std::runtime_error(line), kind_(kind), sentence_(sentence) {}

}  // namespace sonoscriptor

namespace {

using sonoscriptor::Error;
using sonoscriptor::ErrorKind;

// How often the calling thread looks at the work: the command's progress line does so as often.
constexpr auto LookEvery = std::chrono::milliseconds(50);

// The stages in the words Progress::stage gives them.
const char *stageName(Stage stage) {
    switch (stage) {
    case Stage::Waiting:
    case Stage::Checking: return "checking";
    case Stage::Converting: return "converting";
    case Stage::FindingBeats: return "finding beats";
    case Stage::WritingSettings: return "writing settings";
    case Stage::RunningEngine: return "running the engine";
    case Stage::Refining: return "refining";
    case Stage::Settling: return "settling";
    case Stage::Done: return "done";
    }
    return "";
}

// The kind of a command's exit code.
ErrorKind kindOf(int code) {
    if (code > static_cast<int>(ErrorKind::BadOptions))
        return ErrorKind::Interrupted;
    return code >= 1 ? static_cast<ErrorKind>(code) : ErrorKind::EngineFailed;
}

// The error of a file that ended with this outcome: the command's sentence and its line.
Error errorOf(const std::string &input, const Outcome &outcome) {
    bool failure = outcome.kind == OutcomeKind::Failure;
    return Error(kindOf(outcome.code), outcome.message,
                 failure ? fileFailureLine(input, outcome.message) : outcome.message);
}

// Text of the command about a run in the private folder, with the names a caller knows: the
// input as shown (the samples, for those written there), and no name of the MIDI file read back.
// (An empty input names nothing to replace.)
std::string shownText(std::string text, const std::string &input, const std::string &output, const std::string &shown) {
    for (const std::string &from : {input + " -> " + output, input})
        for (size_t at = 0; !input.empty() && (at = text.find(from, at)) != std::string::npos; at += shown.size())
            text.replace(at, from.size(), shown);
    return text;
}

// An error of a run in the private folder, as shownText names its files.
Error shownError(const Error &e, const std::string &input, const std::string &output, const std::string &shown) {
    return Error(e.kind(), shownText(e.sentence(), input, output, shown), shownText(e.what(), input, output, shown));
}

// The error of options the command would refuse.
Error optionsError(const std::string &sentence) {
    return Error(ErrorKind::BadOptions, sentence, "sonoscriptor: " + sentence);
}

// A private folder that removes itself with everything in it.
struct PrivateFolder {
    std::string path = makePrivateTempDir();
    explicit PrivateFolder(const std::string &input) {
        if (path.empty())
            throw errorOf(input, outcomeOf(failureOf(FailureKind::NoTempFolder)));
    }
    ~PrivateFolder() { removeTempDir(path); }
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;
};

// The command's run plan for the options, one input written to output.
RunPlan planOf(sonoscriptor::Options options, const std::string &input, const std::string &output) {
    options.engine = libraryEnginePath(options.engine);
    std::string dataDir = libraryDataDir(), error;
    StarterOptions parsed;
    RunPlan plan;
    if (!parseCommandLine(commandArguments(options, input, output), dataDir, parsed, error))
        throw optionsError(error);
    std::string refused = refusedCommandOptions(options.command_options, dataDir);
    if (!refused.empty())
        throw optionsError(refused);
    if (!buildRunPlan(parsed, dataDir, plan, error))
        throw optionsError(error);
    return plan;
}

// Reports the progress of a file to the options' callback.
void report(const sonoscriptor::Options &options, const JobProgress &p) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.entered.load()).count();
    options.progress({fileShare(p.before, p.span, p.fraction, elapsed, p.expectedSeconds), stageName(p.stage)});
}

// Reports the progress of the work and passes on a cancel until it has ended; the exception a
// callback threw, which stopped the work, or none.
std::exception_ptr watch(const sonoscriptor::Options &options, const JobProgress &progress,
                         const std::atomic<bool> &ended, std::atomic<bool> &stop) {
    std::exception_ptr thrown;
    while (!ended) {
        try {
            if (options.progress && !thrown)
                report(options, progress);
        } catch (...) {
            // The thread being ended (pthread_exit, a cancel) unwinds as no C++ exception: it
            // has no exception_ptr, and it goes on.
            thrown = std::current_exception();
            if (!thrown)
                throw;
        }
        if (thrown || (options.cancel && options.cancel->load()))
            stop = true;
        std::this_thread::sleep_for(LookEvery);
    }
    return thrown;
}

// Runs the plan's one file on a worker thread; this thread reports its progress and passes on a
// cancel until it ends. A callback's exception stops the work and is thrown once it has ended.
// When this thread is ended while it watches (pthread_exit or a cancel, as an interpreter ends a
// thread that calls in while it shuts down), the work is stopped and waited for first, so that
// neither the engine nor the private folder outlives the call.
Job runWatched(const RunPlan &plan, const sonoscriptor::Options &options) {
    Job job{plan.files.front(), "", {}, {}};
    JobProgress progress;
    std::atomic<bool> ended{false};
    // The work's own stop flag: a cancel ends this transcription as a first Ctrl-C ends the
    // command's (the engine finishes early), and leaves others running in the process alone.
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        setThreadCancel(&stop);
        runPipeline(job, plan, progress, 0, {});
        setThreadCancel(nullptr);
        ended = true;
    });
    std::exception_ptr thrown;
    try {
        thrown = watch(options, progress, ended, stop);
    } catch (...) {  // only the thread's own ending leaves watch
        stop = true;
        worker.join();
        throw;
    }
    worker.join();
    if (thrown)
        std::rethrow_exception(thrown);
    if (options.progress)
        options.progress({1.0, stageName(Stage::Done)});
    return job;
}

// The bytes of a file; false when it cannot be read.
bool readBytes(const std::string &path, std::vector<uint8_t> &bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

// Transcribes one input into the private folder and reads back what was written; shown is the
// input as the caller knows it.
sonoscriptor::Transcription run(const std::string &input, const std::string &shown, const std::string &title,
                                const PrivateFolder &folder, const sonoscriptor::Options &options) {
    static std::once_flag fftwThreads;
    // libaubio and the attack evidence plan FFTs on several threads at once.
    std::call_once(fftwThreads, [] { fftwf_make_planner_thread_safe(); });
    RunPlan plan = planOf(options, input, folder.path + "transcription.mid");
    Job job = runWatched(plan, options);
    if (job.outcome.code != 0)
        throw shownError(errorOf(input, job.outcome), input, job.file.output, shown);
    std::vector<uint8_t> bytes;
    MidiContent midi;
    std::string error;
    if (!readBytes(job.file.output, bytes) || !parseMidi(bytes, midi, error))
        throw errorOf(input, outcomeOf(failureOf(FailureKind::Crashed, "", "the MIDI file written cannot be read: " + error)));
    sonoscriptor::Transcription t = transcriptionOf(bytes, midi, job.findings, plan.region.start);
    t.title = title;
    t.grid = plan.grid;
    return t;
}

}  // namespace

namespace sonoscriptor {

Transcription transcribe(const std::string &path, const Options &options) {
    if (isMidiInput(path)) {
        std::string sentence = "This is a MIDI file already, so there is nothing to transcribe; give a recording "
                               "(the sonoscriptor command writes a MIDI file's score).";
        throw Error(ErrorKind::BadOptions, sentence, fileFailureLine(path, sentence));
    }
    PrivateFolder folder(path);
    return run(path, path, scoreTitle(path), folder, options);
}

Transcription transcribe(const float *samples, std::size_t frames, int sample_rate, int channels,
                         const Options &options) {
    if (channels < 1 || sample_rate < 1 || (frames > 0 && !samples))
        throw optionsError("give samples with at least one channel and a sample rate of at least 1 Hz");
    if (frames == 0)
        throw optionsError("give at least one frame of samples");
    std::string refused = refusedSamples(sample_rate, channels);
    if (!refused.empty())
        throw optionsError(refused);
    PrivateFolder folder("samples");
    std::string wave = folder.path + "samples.wav", error;
    if (!writeSamplesFile(samples, frames, sample_rate, channels, wave, error))
        throw errorOf("samples", outcomeOf(failureOf(FailureKind::ConversionNotWritten, "samples", error)));
    return run(wave, "samples", "", folder, options);
}

Transcription transcribe(const std::vector<float> &samples, int sample_rate, int channels, const Options &options) {
    if (channels >= 1 && samples.size() % static_cast<size_t>(channels) != 0)
        throw optionsError("give whole frames: the number of samples must be a multiple of the channels");
    size_t frames = channels >= 1 ? samples.size() / static_cast<size_t>(channels) : 0;
    return transcribe(samples.data(), frames, sample_rate, channels, options);
}

std::string version() { return LIBRARY_VERSION; }

}  // namespace sonoscriptor
