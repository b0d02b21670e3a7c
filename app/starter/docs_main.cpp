// Writes the manual page sonoscriptor.1 and the bash completion script from the
// option definitions, for the build to install: sonoscriptor-docs DATA_DIR VERSION MAN COMPLETION.
#include <cstdio>
#include <fstream>
#include <string>

#include "app/starter/cli/options.h"

namespace {

// Writes text to path; false when it cannot.
bool writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: sonoscriptor-docs DATA_DIR VERSION MAN_PAGE COMPLETION\n");
        return 2;
    }
    if (!writeText(argv[3], manPageText(argv[1], argv[2])) || !writeText(argv[4], bashCompletionText())) {
        std::fprintf(stderr, "sonoscriptor-docs: cannot write %s or %s\n", argv[3], argv[4]);
        return 1;
    }
    return 0;
}
