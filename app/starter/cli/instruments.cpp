// Instrument names and record numbers, looked up the way the engine loads them.
#include "app/starter/cli/instruments.h"

#include <cctype>
#include <map>
#include <vector>

#include "app/starter/cli/names.h"
#include "input/input.h"

namespace {

// The leading numbers of the index lines, as a list for a sentence.
std::string recordNumbers(const std::vector<std::string> &lines) {
    std::string numbers;
    for (const std::string &line : lines)
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(parseInt(line.c_str()));
    return numbers;
}

// Whether word (lower case, starting with a letter) stands as a whole word in text.
bool namesWord(const std::string &text, const std::string &word) {
    size_t at = text.find(word);
    return at != std::string::npos && !word.empty() && std::isalpha(static_cast<unsigned char>(word[0])) &&
           (at == 0 || !std::isalpha(static_cast<unsigned char>(text[at - 1]))) &&
           (at + word.size() == text.size() || !std::isalpha(static_cast<unsigned char>(text[at + word.size()])));
}

}  // namespace

bool checkFilterRecord(const std::string &dataDir, int n, std::string &error) {
    FilterLookup found = lookUpFilterRecord(dataDir, n);
    if (found.lines.empty() || (found.line > 0 && !found.dataOpened)) {
        error = "The instrument records (filter.txt and filter.dat) were not found in " + dataDir +
                "; reinstall sonoscriptor, or transcribe without --instrument and --filter.";
        return false;
    }
    if (found.line == 0) {
        error = "There is no instrument record " + std::to_string(n) + " in " + dataDir +
                "filter.txt; the records there are " + recordNumbers(found.lines) + ".";
        return false;
    }
    if (found.code != 0) {
        error = "The instrument record " + std::to_string(n) + " is missing from " + dataDir +
                "filter.dat, which is incomplete; reinstall sonoscriptor.";
        return false;
    }
    return true;
}

bool resolveInstrument(const std::string &dataDir, const std::string &name, int &record,
                       std::string &error) {
    static const std::map<std::string, int> usual = {
        {"piano", 0}, {"guitar", 24}, {"strings", 48}, {"violin", 40}, {"flute", 73}, {"organ", 19}};
    std::string word = lowerCase(name);
    std::vector<std::string> lines;
    readFilterIndex(dataDir, lines);
    for (const std::string &line : lines)
        if (namesWord(lowerCase(line), word)) {
            record = parseInt(line.c_str());
            return checkFilterRecord(dataDir, record, error);
        }
    auto it = usual.find(word);
    if (it == usual.end()) {
        error = "There are no note templates for the instrument \"" + name +
                "\"; choose piano, guitar, strings, flute or organ, or give a record number with --filter.";
        return false;
    }
    record = it->second;
    return checkFilterRecord(dataDir, record, error);
}
