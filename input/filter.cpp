// Filter records: the "filter.txt" index and the "filter.dat" templates.
#include <sstream>

#include "engine/finish.h"
#include "input/input.h"

namespace {

constexpr int RecordRows = FilterRecordKeys;
constexpr int64_t RecordBytes = FilterRecordBytes;

// The default of one field of an index line; a missing or empty field is 0.
void applyDefault(const std::vector<std::string> &fields, size_t index, int &setting) {
    int value = index < fields.size() ? parseInt(fields[index].c_str()) : 0;
    if (value != 0 && setting == 999) setting = value;
}

// Reads the record at index line `line` (from 1) of filter.dat into found.record;
// a file too short for it gives code 2/33.
void readRecord(FILE *data, int line, FilterLookup &found) {
    found.record.assign(static_cast<size_t>(RecordBytes), 0);
    if (fseeko(data, (line - 1) * RecordBytes, SEEK_SET) != 0 ||
        std::fread(found.record.data(), 1, RecordBytes, data) != RecordBytes) {
        found.record.clear();
        found.code = CodeReadFailure;
        found.detail = 33;
    }
}

}  // namespace

std::string filterIndexPath(const std::string &folder) { return folder + "filter.txt"; }

std::string filterDataPath(const std::string &folder) { return folder + "filter.dat"; }

bool readFilterIndex(const std::string &folder, std::vector<std::string> &lines) {
    return readTextLines(filterIndexPath(folder).c_str(), lines);
}

int indexLineOf(const std::vector<std::string> &lines, int filter) {
    for (size_t n = 0; n < lines.size(); ++n)
        if (parseInt(lines[n].c_str()) == filter) return static_cast<int>(n + 1);
    return 0;
}

int findIndexLine(const std::vector<std::string> &lines) { return indexLineOf(lines, settings.Filter); }

FilterLookup lookUpFilterRecord(const std::string &folder, int filter) {
    FilterLookup found;
    found.indexRead = readFilterIndex(folder, found.lines);
    found.line = indexLineOf(found.lines, filter);
    if (found.line == 0) return found;
    FILE *data = std::fopen(filterDataPath(folder).c_str(), "rb");
    found.dataOpened = data != nullptr;
    if (!data) return found;
    readRecord(data, found.line, found);
    std::fclose(data);
    return found;
}

void applyIndexLine(const std::string &line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, ',')) fields.push_back(field);
    applyDefault(fields, 1, settings.KeyMin);
    applyDefault(fields, 2, settings.KeyMax);
    applyDefault(fields, 3, settings.PitchMode);
}

void loadFilterRecord() {
    FilterLookup found = lookUpFilterRecord(settings.ExePath, settings.Filter);
    if (!found.dataOpened) return;
    applyIndexLine(found.lines[found.line - 1]);
    if (found.code != 0) finish(found.code, found.detail);
    for (int r = 1; r <= RecordRows; ++r)
        for (int c = 1; c <= RecordRows; ++c)
            FilterTable[r * FilterSize + c] = found.record[(r - 1) * RecordRows + (c - 1)];
}
