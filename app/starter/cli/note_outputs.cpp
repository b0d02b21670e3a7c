// Where the note lists go: --notes names the list of one input; with several
// inputs it gives only the format, and each list lies beside its MIDI file,
// named like it (song.mid, song.csv).
#include "app/starter/cli/run_plan.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool sameFile(const std::string &a, const std::string &b) {
    return !b.empty() && fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
}

}  // namespace

bool planNoteLists(std::vector<FilePlan> &files, const std::string &notes, std::string &error) {
    if (notes.empty())
        return true;
    std::string extension = fs::path(notes).extension().string();
    for (FilePlan &file : files) {
        file.notesOutput = files.size() == 1 ? notes : fs::path(file.output).replace_extension(extension).string();
        if (sameFile(file.notesOutput, file.output) || sameFile(file.notesOutput, file.scoreOutput) ||
            sameFile(file.notesOutput, file.input)) {
            error = "The note list " + file.notesOutput + " would take the name of another file of " + file.input +
                    "; name it differently.";
            return false;
        }
    }
    return true;
}
