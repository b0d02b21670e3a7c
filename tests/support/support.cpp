// Temporary folders, files and engine runs from a settings text.
#include "tests/support/support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string &parent) {
    std::string pattern = ((parent.empty() ? fs::temp_directory_path() : fs::path(parent)) /
                           "sonoscriptor-test-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path.empty())
        fs::remove_all(path, ignored);
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

EngineOutcome runEngineWith(const TempDir &dir, const std::string &settingsText, const std::string &statusText) {
    writeFile(dir.file("settings.txt"), settingsText);
    writeFile(dir.file("status.txt"), statusText);
    return runEngineArgs({dir.file("settings.txt"), dir.file("status.txt"), "+"}, dir.file("status.txt"));
}
