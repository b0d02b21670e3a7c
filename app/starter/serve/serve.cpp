// sonoscriptor serve: the options, the private folder, the listening socket and
// the wait for SIGINT or SIGTERM, after which every job ends as the command's
// files do and every upload and result is removed.
#include "app/starter/serve/serve.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fftw3.h>
#include <unistd.h>

#include "app/starter/cli/options.h"
#include "app/starter/pipeline/pipeline.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/serve/http.h"
#include "app/starter/serve/options.h"

namespace {

constexpr auto LookForSignalsEvery = std::chrono::milliseconds(100);
// How long a stop waits for the requests being answered: as long as the HTTP library waits for a
// client's next bytes, so only a client that keeps sending a byte at a time is left behind.
constexpr auto StopGrace = std::chrono::seconds(6);

int refuse(const std::string &sentence, ExitCode code) {
    std::fprintf(stderr, "sonoscriptor serve: %s\n", sentence.c_str());
    return exitStatus(code);
}

// The page's files: --web, else beside the data (installed: share/sonoscriptor/web; in the
// source tree: web/page/ beside data/).
std::string webDirOf(const ServeOptions &o, const std::string &dataDir) {
    if (!o.webDir.empty())
        return o.webDir;
    std::string installed = dataDir + "web/";
    return access((installed + "index.html").c_str(), R_OK) == 0 ? installed : dataDir + "../web/page/";
}

// The server's private folder (mode 0700), where every upload and result lives; the pipeline's
// own temporary folders go inside it too.
bool makeRoot(JobTable &table) {
    table.root = makePrivateTempDir();
    if (table.root.empty())
        return false;
    if (table.root.back() != '/')
        table.root += '/';
    setenv("TMPDIR", table.root.c_str(), 1);  // before any thread starts
    return true;
}

std::string addressOf(const std::string &host, int port) {
    return "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

// Waits up to StopGrace for the listener to end once the server is stopped; false when a request is
// still being read (a client sending its request a byte at a time holds its thread).
bool listenerEnded(const std::atomic<bool> &listening) {
    auto until = std::chrono::steady_clock::now() + StopGrace;
    while (listening && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(LookForSignalsEvery / 10);
    return !listening;
}

}  // namespace

bool isServeCommand(const std::vector<std::string> &args) {
    return !args.empty() && args.front() == "serve";
}

int runServe(const std::vector<std::string> &args, const std::string &dataDir) {
    ServeOptions o;
    std::string error;
    if (!parseServeOptions(args, o, error))
        return refuse(error + "\nTry 'sonoscriptor serve --help' for the options.", ExitCode::BadCommandLine);
    if (o.help) {
        std::fputs(serveHelp().c_str(), stdout);
        return exitStatus(ExitCode::Done);
    }
    ServerSetup setup;
    setup.dataDir = dataDir;
    setup.enginePath = o.enginePath.empty() ? defaultEnginePath() : o.enginePath;
    setup.maxUpload = o.maxUpload;
    setup.loopbackOnly = isLoopback(o.host);
    if (!loadAssets(webDirOf(o, dataDir), setup.assets, error))
        return refuse(error, ExitCode::BadCommandLine);
    if (access(setup.enginePath.c_str(), X_OK) != 0)
        return refuse("the engine " + setup.enginePath + " was not found; build it with make, or name it with --engine.",
                      ExitCode::EngineFailed);
    JobTable table;
    setup.table = &table;
    if (!makeRoot(table))
        return refuse("no private folder could be made for the uploads; check TMPDIR.", ExitCode::WriteFailed);
    installSignalHandlers();
    fftwf_make_planner_thread_safe();
    httplib::Server server;
    setRoutes(server, setup);
    int port = o.port == 0 ? server.bind_to_any_port(o.host) : (server.bind_to_port(o.host, o.port) ? o.port : -1);
    if (port < 0) {
        stopJobs(table);
        return refuse("cannot listen on " + o.host + " port " + std::to_string(o.port) +
                      " (is another server using it?); choose another with --port.", ExitCode::BadCommandLine);
    }
    if (!setup.loopbackOnly)
        std::fprintf(stderr, "sonoscriptor serve: warning: listening on %s, not on this machine alone: anyone who "
                             "reaches it can upload recordings.\n", o.host.c_str());
    startWorkers(table, o.jobs > 0 ? o.jobs : coreCount());
    std::atomic<bool> listening{true};
    std::thread listener([&server, &listening] {
        server.listen_after_bind();
        listening = false;
    });
    std::printf("Sonoscriptor is serving on %s (Ctrl-C stops it)\n", addressOf(o.host, port).c_str());
    std::fflush(stdout);
    while (!stopRequested)
        std::this_thread::sleep_for(LookForSignalsEvery);
    server.stop();
    bool ended = listenerEnded(listening);
    if (ended)
        listener.join();
    stopJobs(table);
    std::fprintf(stderr, "sonoscriptor serve: stopped; every upload and result was removed.\n");
    if (!ended) {  // a slow client still holds a thread of the HTTP library: end without it
        std::fflush(stderr);
        std::_Exit(exitStatus(ExitCode::Done));
    }
    return exitStatus(ExitCode::Done);
}
