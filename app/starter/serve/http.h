// The HTTP side of the server: the page's files, the JSON API and the checks
// that keep other sites and other hosts out.
#pragma once

#include <map>
#include <string>

#include <httplib.h>

#include "app/starter/serve/jobs.h"

// What the routes need: the table, the page's files and how uploads are planned.
struct ServerSetup {
    JobTable *table = nullptr;
    std::map<std::string, std::string> assets;  // URL path -> the file's bytes, read at start
    std::string dataDir;
    std::string enginePath;
    uint64_t maxUpload = 0;
    bool loopbackOnly = true;                    // Host must name this machine (no DNS rebinding)
};

/** Reads every file under dir into URL paths ("/" for index.html); false with a sentence when
 *  the folder has no index.html. */
bool loadAssets(const std::string &dir, std::map<std::string, std::string> &assets, std::string &error);
/** Sets the routes, the upload limit and the cross-site checks of the server. */
void setRoutes(httplib::Server &server, const ServerSetup &setup);
