// The note list of a MIDI file: its ticks turned into seconds through the tempo
// map, and into bars and beats through the metre, as the score counts them.
#include "app/starter/notes/note_list.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

namespace {

// Times are written to the microsecond, beats to the thousandth: finer than any timing a
// recording can show, and the lists stay the same from one machine to another.
constexpr double TimeUnit = 1e6;   // steps a second
constexpr double BeatUnit = 1e3;   // steps a beat
// A file whose notes last longer than this many beats gets no more beats listed: a day at 1000
// beats per minute; the beat list of a damaged file stays bounded.
constexpr double MostBeats = 1.44e6;

// x to the nearest of steps a unit (dividing gives the double nearest the decimal written).
double rounded(double x, double steps) {
    return std::round(x * steps) / steps;
}

// The bars of the file: the metre of its last time signature, after a pick-up when the first
// signature spans less than a bar before the second (as the score lays its measures).
struct Bars {
    double beatTicks = 0;      // ticks of one beat: the signature's note value, dotted in 6/8, 9/8, 12/8
    double barTicks = 0;
    double shift = 0;          // ticks of the full first bar before tick 0 (the pick-up's missing part)
};

Bars barsOf(const MidiContent &midi) {
    Bars b;
    double wholeTicks = static_cast<double>(midi.division) * std::ldexp(1.0, divisionNotePower(midi));
    double noteTicks = wholeTicks / std::ldexp(1.0, midi.denominatorPower);
    b.barTicks = noteTicks * std::max(1, midi.numerator);
    b.beatTicks = compoundMetre(midi.numerator, midi.denominatorPower) ? 3 * noteTicks : noteTicks;
    const std::vector<MidiSignature> &s = midi.signatures;
    if (s.size() >= 2 && s[0].tick == 0 && s[1].tick > 0 && static_cast<double>(s[1].tick) < b.barTicks)
        b.shift = b.barTicks - static_cast<double>(s[1].tick);
    return b;
}

// The bar (pick-up 0, else from 1) and the beat within it (from 1) of a tick.
void barAndBeat(const Bars &b, int64_t tick, int &bar, double &beat) {
    double at = static_cast<double>(tick) + b.shift;
    double index = std::floor(at / b.barTicks);
    bar = static_cast<int>(std::clamp(index, -1e9, 1e9)) + (b.shift > 0 ? 0 : 1);
    beat = rounded(1 + (at - index * b.barTicks) / b.beatTicks, BeatUnit);
}

// Every beat and bar line from time zero to the end of the last note.
void listBeats(const Bars &b, const MidiClock &base, int64_t end, NoteList &list) {
    double first = std::ceil(b.shift / b.beatTicks);
    double count = std::min(MostBeats, std::floor((static_cast<double>(end) + b.shift) / b.beatTicks) - first + 1);
    for (double k = 0; k < count; ++k) {
        double beatIndex = first + k;
        auto tick = static_cast<int64_t>(std::llround(beatIndex * b.beatTicks - b.shift));
        double t = rounded(secondsAt(base, static_cast<double>(tick)), TimeUnit);
        list.beats.push_back(t);
        double intoBar = std::fmod(beatIndex * b.beatTicks, b.barTicks);
        if (intoBar < 0.5 || b.barTicks - intoBar < 0.5)
            list.downbeats.push_back(t);
    }
}

std::string formatted(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string lowercaseExtension(const std::string &path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

}  // namespace

NoteList noteListOf(const MidiContent &midi) {
    NoteList list;
    list.numerator = std::max(1, midi.numerator);
    list.denominator = 1 << std::clamp(midi.denominatorPower, 0, 6);
    list.hasKey = midi.hasKeySignature;
    list.fifths = midi.keySignature;
    list.minor = midi.mode == 1;
    if (midi.division <= 0)
        return list;
    MidiClock base = midiClockOf(midi);
    Bars bars = barsOf(midi);
    int64_t end = 0;
    for (const MidiNote &n : midi.notes) {
        int64_t off = std::max(n.onTick, n.offTick < 0 ? midi.lastTick : n.offTick);
        end = std::max(end, off);
        ListedNote l;
        l.onset = rounded(secondsAt(base, static_cast<double>(n.onTick)), TimeUnit);
        l.offset = rounded(secondsAt(base, static_cast<double>(off)), TimeUnit);
        l.pitch = n.key;
        l.velocity = n.velocity;
        barAndBeat(bars, n.onTick, l.bar, l.beat);
        list.notes.push_back(l);
    }
    std::stable_sort(list.notes.begin(), list.notes.end(), [](const ListedNote &a, const ListedNote &b) {
        return a.onset != b.onset ? a.onset < b.onset : a.pitch < b.pitch;
    });
    for (size_t i = 0; i < base.ticks.size(); ++i)
        list.tempos.push_back({rounded(base.seconds[i], TimeUnit),
                               rounded(60 / (bars.beatTicks * base.secondsPerTick[i]), BeatUnit)});
    for (const MidiMarker &m : midi.markers)
        list.chords.push_back({rounded(secondsAt(base, static_cast<double>(m.tick)), TimeUnit), m.text});
    if (!list.notes.empty())
        listBeats(bars, base, end, list);
    return list;
}

std::string noteListCsv(const NoteList &list) {
    std::string text = "onset_s,offset_s,pitch,velocity,bar,beat\n";
    for (const ListedNote &n : list.notes)
        text += formatted("%.6f", n.onset) + "," + formatted("%.6f", n.offset) + "," + std::to_string(n.pitch) + "," +
                std::to_string(n.velocity) + "," + std::to_string(n.bar) + "," + formatted("%.3f", n.beat) + "\n";
    return text;
}

std::string noteListJson(const NoteList &list, const std::string &keyName) {
    using json = nlohmann::ordered_json;
    json notes = json::array(), tempos = json::array(), chords = json::array();
    for (const ListedNote &n : list.notes)
        notes.push_back({{"onset_s", n.onset}, {"offset_s", n.offset}, {"pitch", n.pitch},
                         {"velocity", n.velocity}, {"bar", n.bar}, {"beat", n.beat}});
    for (const ListedTempo &t : list.tempos)
        tempos.push_back({{"time_s", t.time}, {"beats_per_minute", t.beatsPerMinute}});
    for (const ListedChord &c : list.chords)
        chords.push_back({{"time_s", c.time}, {"name", c.name}});
    json key = nullptr;
    if (list.hasKey)
        key = {{"fifths", list.fifths}, {"mode", list.minor ? "minor" : "major"}, {"name", keyName}};
    json all = {{"notes", notes},
                {"tempo_map", tempos},
                {"beats", list.beats},
                {"downbeats", list.downbeats},
                {"time_signature", {{"numerator", list.numerator}, {"denominator", list.denominator}}},
                {"key", key},
                {"chords", chords}};
    // Invalid UTF-8 in a marker (a damaged file) is replaced, never thrown on.
    return all.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool isNoteListName(const std::string &path) {
    std::string ext = lowercaseExtension(path);
    return ext == ".csv" || ext == ".json";
}

bool isJsonNoteList(const std::string &path) {
    return lowercaseExtension(path) == ".json";
}

bool noteListWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        return false;
    if (isJsonNoteList(path)) {
        nlohmann::json all = nlohmann::json::parse(text, nullptr, false);
        return !all.is_discarded() && all.is_object() && all.contains("notes") && all["notes"].is_array();
    }
    const std::string header = noteListCsv(NoteList{});
    if (text.compare(0, header.size(), header) != 0 || text.back() != '\n')
        return false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (std::count(line.begin(), line.end(), ',') != 5)
            return false;
    return true;
}

bool writeNoteList(const NoteList &list, bool json, const std::string &keyName, const std::string &path,
                   std::string &error) {
    std::string text = json ? noteListJson(list, keyName) : noteListCsv(list);
    FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok)
        error = std::strerror(errno);
    return ok;
}
