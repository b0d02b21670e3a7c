// The table of transcriptions and its workers.
#include "app/starter/serve/jobs.h"

#include <filesystem>
#include <random>

#include <sys/stat.h>

#include "app/starter/pipeline/pipeline.h"

namespace fs = std::filesystem;

namespace {

// Ids are 128 random bits: a client cannot guess another's transcription.
std::string newId() {
    static std::mutex lock;
    static std::random_device device;
    std::lock_guard<std::mutex> guard(lock);
    std::string id;
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 4; ++i) {
        unsigned value = device();
        for (int k = 0; k < 8; ++k, value >>= 4)
            id += hex[value & 15];
    }
    return id;
}

void removeFolder(const std::string &dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// How a finished run ended, by what its outcome and the client's cancel say.
void settle(ServerJob &job) {
    const Outcome &out = job.job.outcome;
    bool wrote = out.kind == OutcomeKind::Summary && fs::exists(job.paths.midi);
    if (job.cancel)
        job.state = JobState::Cancelled;
    else
        job.state = wrote && out.code == 0 ? JobState::Done : JobState::Failed;
    (wrote ? job.summary : job.error) = publicText(out.message, job);
}

// The next queued transcription, or none when the server stops.
std::shared_ptr<ServerJob> nextJob(JobTable &table) {
    std::unique_lock<std::mutex> guard(table.lock);
    for (;;) {
        table.wake.wait(guard, [&] { return table.stopping || !table.queue.empty(); });
        if (table.stopping)
            return nullptr;
        std::shared_ptr<ServerJob> job = table.queue.front();
        table.queue.pop_front();
        if (job->state == JobState::Queued) {
            job->state = JobState::Running;
            return job;
        }
    }
}

void work(JobTable &table) {
    while (std::shared_ptr<ServerJob> job = nextJob(table)) {
        setThreadCancel(&job->cancel);
        runPipeline(job->job, job->plan, job->progress, 0, {});
        setThreadCancel(nullptr);
        std::lock_guard<std::mutex> guard(table.lock);
        settle(*job);
    }
}

// The share of a running transcription's work done, 0 to 1.
double progressOf(const ServerJob &job) {
    const JobProgress &p = job.progress;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.entered.load()).count();
    return fileShare(p.before, p.span, p.fraction, elapsed, p.expectedSeconds);
}

void replaceAll(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

}  // namespace

void startWorkers(JobTable &table, int count) {
    for (int i = 0; i < count; ++i)
        table.workers.emplace_back(work, std::ref(table));
}

std::string makeJobFolder(JobTable &table) {
    std::string dir;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        if (table.stopping)
            return "";
        dir = table.root + "job-" + std::to_string(++table.folders) + "/";
    }
    return mkdir(dir.c_str(), 0700) == 0 ? dir : "";
}

std::string enqueue(JobTable &table, std::shared_ptr<ServerJob> job) {
    job->id = newId();
    std::lock_guard<std::mutex> guard(table.lock);
    table.jobs[job->id] = job;
    table.queue.push_back(job);
    table.wake.notify_one();
    return job->id;
}

bool viewJob(JobTable &table, const std::string &id, JobView &view) {
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.jobs.find(id);
    if (found == table.jobs.end())
        return false;
    const ServerJob &job = *found->second;
    view.id = job.id;
    view.name = job.name;
    view.state = stateWord(job.state);
    view.stage = job.state == JobState::Running ? stageWord(job.progress.stage) : "";
    view.progress = job.state == JobState::Queued ? 0 : job.state == JobState::Running ? progressOf(job) : 1;
    view.summary = job.summary;
    view.error = job.error;
    view.results = (job.state == JobState::Done || job.state == JobState::Cancelled) && !job.summary.empty();
    return true;
}

std::string resultPath(JobTable &table, const std::string &id, const std::string &file) {
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.jobs.find(id);
    if (found == table.jobs.end())
        return "";
    const ServerJob &job = *found->second;
    bool ended = job.state == JobState::Done || job.state == JobState::Cancelled;
    const JobPaths &p = job.paths;
    std::string path = file == "result.mid" ? p.midi : file == "result.musicxml" ? p.score
                       : file == "notes.json" ? p.notes : "";
    return ended && !job.summary.empty() && !path.empty() && fs::exists(path) ? path : "";
}

Removal removeJob(JobTable &table, const std::string &id) {
    std::shared_ptr<ServerJob> job;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.jobs.find(id);
        if (found == table.jobs.end())
            return Removal::NoSuchJob;
        job = found->second;
        if (job->state == JobState::Running) {
            job->cancel = true;
            return Removal::Cancelling;
        }
        if (job->state == JobState::Queued) {
            job->cancel = true;
            job->state = JobState::Cancelled;  // its worker passes it by
            return Removal::Cancelling;
        }
        table.jobs.erase(found);
    }
    removeFolder(job->dir);
    return Removal::Removed;
}

void stopJobs(JobTable &table) {
    {
        std::lock_guard<std::mutex> guard(table.lock);
        table.stopping = true;
        for (auto &[id, job] : table.jobs)
            job->cancel = true;
        table.wake.notify_all();
    }
    for (std::thread &t : table.workers)
        t.join();
    table.workers.clear();
    removeFolder(table.root);
}

std::string stateWord(JobState state) {
    switch (state) {
    case JobState::Queued: return "queued";
    case JobState::Running: return "running";
    case JobState::Done: return "done";
    case JobState::Failed: return "failed";
    case JobState::Cancelled: return "cancelled";
    }
    return "";
}

std::string stageWord(Stage stage) {
    switch (stage) {
    case Stage::Waiting: return "waiting";
    case Stage::Checking: return "checking";
    case Stage::Converting: return "converting";
    case Stage::FindingBeats: return "finding beats";
    case Stage::WritingSettings: return "writing settings";
    case Stage::RunningEngine: return "transcribing";
    case Stage::Refining: return "refining";
    case Stage::Settling: return "writing files";
    case Stage::Done: return "done";
    }
    return "";
}

std::string publicText(const std::string &text, const ServerJob &job) {
    std::string shown = text;
    replaceAll(shown, job.paths.input, job.name);
    replaceAll(shown, job.dir, "");
    while (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    return shown;
}
