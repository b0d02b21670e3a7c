// The options of sonoscriptor serve.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The loopback address the server listens on unless told otherwise.
inline const std::string LoopbackHost = "127.0.0.1";
constexpr int DefaultPort = 8765;
// An hour of 48 kHz 24-bit stereo WAV is about 1 GB: the largest upload taken unless told otherwise.
constexpr uint64_t DefaultMaxUpload = 1000000000;

struct ServeOptions {
    std::string host = LoopbackHost;
    int port = DefaultPort;          // 0: any free port (the address printed says which)
    uint64_t maxUpload = DefaultMaxUpload;
    int jobs = 0;                    // transcriptions at once; 0: the number of cores
    std::string webDir;              // the page's files; "": the installed ones
    std::string enginePath;          // "": the engine beside this program
    bool help = false;
};

/** Parses the arguments after "serve"; false with a sentence in error. */
bool parseServeOptions(const std::vector<std::string> &args, ServeOptions &options, std::string &error);
/** The help text of sonoscriptor serve. */
std::string serveHelp();
/** True for an address that only this machine reaches (127.0.0.0/8, ::1, localhost). */
bool isLoopback(const std::string &host);
/** True when a request's Host header (a name, with or without its port) names this machine:
 *  localhost, [::1], or a numeric address of 127.0.0.0/8, the ones a loopback server listens on;
 *  never a name, which another site could resolve to this machine (DNS rebinding). */
bool hostNamesThisMachine(const std::string &hostHeader);
