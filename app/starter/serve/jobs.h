// The transcriptions of a server: a table shared by the HTTP threads and the
// workers, guarded by one lock. Each transcription runs through the command's
// pipeline on a worker, at most as many at once as there are workers, with a
// cancel flag of its own; its files live in a private folder of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/starter/pipeline/batch.h"
#include "app/starter/serve/forms.h"

enum class JobState { Queued, Running, Done, Failed, Cancelled };

// One transcription. id, dir, name, paths and plan are set before it is shared and never change;
// the pipeline's job and progress belong to its worker while it runs; the rest is guarded by the
// table's lock.
struct ServerJob {
    std::string id;
    std::string dir;                 // its private folder, with a trailing '/'
    std::string name;                // the upload's name, as shown
    JobPaths paths;
    RunPlan plan;
    Job job;
    JobProgress progress;
    std::atomic<bool> cancel{false}; // asked to stop, as a Ctrl-C asks the command
    JobState state = JobState::Queued;
    std::string summary;             // the command's summary, when it wrote files
    std::string error;               // the command's sentence, when it failed
};

// What a client is shown of a transcription, copied under the lock.
struct JobView {
    std::string id, name, state, stage, summary, error;
    double progress = 0;
    bool results = false;            // result.mid, result.musicxml and notes.json can be fetched
};

// The table and its workers.
struct JobTable {
    std::string root;                // the server's private folder, with a trailing '/'
    std::mutex lock;                 // guards everything below and each job's guarded fields
    std::condition_variable wake;
    std::map<std::string, std::shared_ptr<ServerJob>> jobs;
    std::deque<std::shared_ptr<ServerJob>> queue;
    bool stopping = false;
    unsigned long long folders = 0;  // folders made, for their names
    std::vector<std::thread> workers;
};

/** Starts count workers that run the queued transcriptions. */
void startWorkers(JobTable &table, int count);
/** A new private folder for an upload, inside the root; "" when it cannot be made. */
std::string makeJobFolder(JobTable &table);
/** Puts a planned transcription in the table and the queue; returns its id. */
std::string enqueue(JobTable &table, std::shared_ptr<ServerJob> job);
/** What a client is shown of a transcription; false when there is none of that id. */
bool viewJob(JobTable &table, const std::string &id, JobView &view);
/** The path of one of a finished transcription's results; "" when there is no such job or file yet. */
std::string resultPath(JobTable &table, const std::string &id, const std::string &file);
// What a DELETE did.
enum class Removal { NoSuchJob, Cancelling, Removed };
/** Cancels a queued or running transcription, or removes an ended one with its folder. */
Removal removeJob(JobTable &table, const std::string &id);
/** Cancels everything, waits for the workers and removes the root folder with every file in it. */
void stopJobs(JobTable &table);
/** Words of a state and a stage, as the API says them. */
std::string stateWord(JobState state);
std::string stageWord(Stage stage);
/** A sentence of the pipeline with the private folder's paths replaced by the upload's name. */
std::string publicText(const std::string &text, const ServerJob &job);
