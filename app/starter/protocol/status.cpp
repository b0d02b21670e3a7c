// Status file parsing and the cancel request.
#include "app/starter/protocol/status.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace {

// Splits text at commas.
std::vector<std::string> splitFields(const std::string &text) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

// Text without white space at either end.
std::string trimmed(const std::string &text) {
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1])))
        --e;
    return text.substr(b, e - b);
}

// Digits only, at least one.
bool allDigits(const std::string &s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// A whole optionally signed integer; false for anything else.
bool wholeInt(const std::string &s, int &value) {
    std::string digits = (!s.empty() && s[0] == '-') ? s.substr(1) : s;
    if (!allDigits(digits) || digits.size() > 9)
        return false;
    value = std::stoi(s);
    return true;
}

// "digits.digits" (the engine's %f); false for anything else.
bool plainDecimal(const std::string &s, double &value) {
    size_t dot = s.find('.');
    if (dot == std::string::npos || !allDigits(s.substr(0, dot)) || !allDigits(s.substr(dot + 1)))
        return false;
    value = std::stod(s);
    return true;
}

// "-C.DDD": code and detail of a failure line.
bool failureField(const std::string &s, int &code, int &detail) {
    if (s.size() < 6 || s[0] != '-')
        return false;
    size_t dot = s.find('.');
    if (dot == std::string::npos || s.size() - dot - 1 != 3)
        return false;
    std::string whole = s.substr(1, dot - 1), thousandths = s.substr(dot + 1);
    if (!allDigits(whole) || !allDigits(thousandths) || whole.size() > 3)
        return false;
    code = std::stoi(whole);
    detail = std::stoi(thousandths);
    return true;
}

// The four integer fields after the first; false when any is malformed.
bool keyFields(const std::vector<std::string> &f, StatusLine &s) {
    return wholeInt(f[1], s.lowest) && wholeInt(f[2], s.highest) &&
           wholeInt(f[3], s.keySignature) && wholeInt(f[4], s.mode) && s.lowest >= 0 &&
           s.lowest <= 128 && s.highest >= -1 && s.highest <= 127 && s.keySignature >= -7 &&
           s.keySignature <= 8 && (s.mode == 0 || s.mode == 1);
}

// Classifies the first field of a five-field line.
StatusKind firstFieldKind(const std::string &first, StatusLine &s) {
    if (first == "100") {
        s.percent = 100;
        return StatusKind::Success;
    }
    if (failureField(first, s.code, s.detail))
        return StatusKind::Failure;
    if (plainDecimal(first, s.percent)) {
        s.percent = s.percent > 100 ? 100 : s.percent;
        return StatusKind::Progress;
    }
    return StatusKind::Unknown;
}

}  // namespace

StatusLine parseStatus(const std::string &text) {
    StatusLine s;
    std::string t = trimmed(text);
    std::vector<std::string> f = splitFields(t);
    if (f.size() == 1) {
        if (wholeInt(t, s.control))
            s.kind = StatusKind::Control;
        return s;
    }
    if (f.size() != 5)
        return s;
    StatusLine parsed;
    StatusKind kind = firstFieldKind(f[0], parsed);
    if (kind == StatusKind::Unknown || !keyFields(f, parsed))
        return s;
    parsed.kind = kind;
    return parsed;
}

bool readStatusText(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

StatusLine readStatus(const std::string &path) {
    std::string text;
    if (!readStatusText(path, text))
        return StatusLine{};
    return parseStatus(text);
}

bool isFinal(StatusKind kind) { return kind == StatusKind::Success || kind == StatusKind::Failure; }

bool replaceFileText(const std::string &path, const std::string &text) {
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool requestCancel(const std::string &statusPath) {
    std::string text;
    if (!readStatusText(statusPath, text))
        return false;  // the engine has deleted it: the cancel is under way
    StatusLine s = parseStatus(text);
    if (isFinal(s.kind) || (!text.empty() && text[0] == '-' && s.kind != StatusKind::Control))
        return false;  // a final line, or one being written: leave it alone
    if (s.kind == StatusKind::Control && s.control == -1)
        return true;
    return replaceFileText(statusPath, "-1\n");
}
