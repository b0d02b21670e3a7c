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

}  // namespace

int findIndexLine(const std::vector<std::string> &lines) {
    for (size_t n = 0; n < lines.size(); ++n)
        if (parseInt(lines[n].c_str()) == settings.Filter) return static_cast<int>(n + 1);
    return 0;
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
    std::vector<std::string> lines;
    if (!readTextLines((settings.ExePath + "filter.txt").c_str(), lines)) return;
    int n = findIndexLine(lines);
    if (n == 0) return;
    FILE *data = std::fopen((settings.ExePath + "filter.dat").c_str(), "rb");
    if (!data) return;
    applyIndexLine(lines[n - 1]);
    uint8_t record[RecordBytes];
    if (fseeko(data, (n - 1) * RecordBytes, SEEK_SET) != 0 || std::fread(record, 1, RecordBytes, data) != RecordBytes) {
        std::fclose(data);
        finish(CodeReadFailure, 33);
    }
    std::fclose(data);
    for (int r = 1; r <= RecordRows; ++r)
        for (int c = 1; c <= RecordRows; ++c) FilterTable[r * FilterSize + c] = record[(r - 1) * RecordRows + (c - 1)];
}
