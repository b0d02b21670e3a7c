// sonoscriptor serve: a local web server with a page and a small JSON API that
// run each uploaded recording through the same pipeline as the command. This
// folder owns the server's options, the uploads and their private folders, the
// table of transcriptions and the workers that run them, and the HTTP routes.
#pragma once

#include <string>
#include <vector>

/** True when the arguments ask for the server (the first is "serve"). */
bool isServeCommand(const std::vector<std::string> &args);
/** Runs the server until SIGINT or SIGTERM; args without "serve". Returns the exit code. */
int runServe(const std::vector<std::string> &args, const std::string &dataDir);
