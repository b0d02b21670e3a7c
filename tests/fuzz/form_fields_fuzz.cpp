// The web server's form fields: any names and values, NUL-parted in pairs
// after the upload's name, through the name as shown and as the score's title,
// and the run plan the command line's parser makes of them. A plan names only
// the job's own files; a refusal says why, in the words the client is shown.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "app/starter/score/score_file.h"
#include "app/starter/serve/forms.h"
#include "app/starter/serve/jobs.h"

namespace {

const std::string DataDir = SONOSCRIPTOR_FUZZ_DATA_DIR;

// A private folder holding an empty upload, made once.
const std::string &jobFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/form-fields-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        return std::string(pattern) + "/";
    }();
    return folder;
}

std::vector<std::string> parts(const std::string &text) {
    std::vector<std::string> out;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::vector<std::string> p = parts(std::string(reinterpret_cast<const char *>(data), size));
    // The first part is the upload's name, the rest the fields.
    const std::string shown = displayName(p[0]);
    if (shown.empty() || shown.size() > 200 || shown.find('/') != std::string::npos) std::abort();
    for (unsigned char c : shown)
        if (c < 0x20 || c == 0x7f) std::abort();
    JobPaths paths = jobPaths(jobFolder(), p[0]);
    if (paths.input.compare(0, jobFolder().size(), jobFolder()) != 0 ||
        paths.input.find('/', jobFolder().size()) != std::string::npos)
        std::abort();
    if (access(paths.input.c_str(), F_OK) != 0) {
        FILE *f = std::fopen(paths.input.c_str(), "wb");
        if (!f || std::fclose(f) != 0) std::abort();
    }
    std::vector<FormField> fields;
    for (size_t i = 1; i + 1 < p.size(); i += 2) fields.emplace_back(p[i], p[i + 1]);
    RunPlan plan;
    std::string error;
    if (!planFromForm(fields, paths, scoreTitle(p[0]), DataDir, "/bin/false", plan, error)) {
        ServerJob job;
        job.dir = jobFolder();
        job.name = p[0];
        job.paths = paths;
        if (error.empty()) std::abort();
        publicText(error, job);
        return 0;
    }
    if (plan.files.size() != 1 || plan.files[0].input != paths.input || plan.files[0].output != paths.midi ||
        plan.files[0].scoreOutput != paths.score || plan.files[0].notesOutput != paths.notes || plan.tempoMap != "")
        std::abort();
    return 0;
}
