// Where the library finds the engine and the filter records: beside its own
// installation first (from the library's folder, the programs' and the data's
// folders as the installation lays them out), then in the build tree when the
// library is the one built there, then where the command would look.
#include "app/library/library.h"

#include <filesystem>

#include <dlfcn.h>
#include <unistd.h>

#include "app/starter/protocol/engine_process.h"

#ifndef LIBRARY_RELATIVE_BIN_DIR
#define LIBRARY_RELATIVE_BIN_DIR "../bin/"
#endif
#ifndef LIBRARY_RELATIVE_DATA_DIR
#define LIBRARY_RELATIVE_DATA_DIR "../share/sonoscriptor/"
#endif
#ifndef LIBRARY_BUILD_DIR
#define LIBRARY_BUILD_DIR ""
#endif
#ifndef LIBRARY_SOURCE_DATA_DIR
#define LIBRARY_SOURCE_DATA_DIR ""
#endif

namespace fs = std::filesystem;

namespace {

// The folder of the file that holds this code (the shared library, or the program a static
// library was linked into), with a trailing '/'; "" when the system does not say.
std::string libraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&libraryFolder), &info) == 0 || !info.dli_fname)
        return "";
    std::error_code ec;
    fs::path file = fs::canonical(info.dli_fname, ec);
    return ec ? std::string() : file.parent_path().string() + "/";
}

// True when the library is the one in the build tree.
bool inBuildTree() {
    std::string build = LIBRARY_BUILD_DIR;
    return !build.empty() && libraryFolder().rfind(build + "/", 0) == 0;
}

// The plain path of relative under the library's folder, without a trailing '/'; "" when there
// is no such folder.
std::string besideLibrary(const std::string &relative) {
    std::string folder = libraryFolder();
    std::error_code ec;
    std::string path = fs::weakly_canonical(fs::path(folder) / relative, ec).string();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return folder.empty() || ec ? std::string() : path;
}

}  // namespace

std::string libraryEnginePath(const std::string &named) {
    if (!named.empty())
        return named;
    std::string installed = besideLibrary(LIBRARY_RELATIVE_BIN_DIR "sonoscriptor-engine");
    if (!installed.empty() && access(installed.c_str(), X_OK) == 0)
        return installed;
    if (inBuildTree())
        return std::string(LIBRARY_BUILD_DIR) + "/sonoscriptor-engine";
    return defaultEnginePath();
}

std::string libraryDataDir() {
    std::string installed = besideLibrary(LIBRARY_RELATIVE_DATA_DIR);
    if (!installed.empty() && access((installed + "/filter.txt").c_str(), R_OK) == 0)
        return installed + "/";
    if (inBuildTree())
        return LIBRARY_SOURCE_DATA_DIR;
    return defaultDataDir();
}
