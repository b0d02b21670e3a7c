// Score test helpers: a small MIDI writer, xmllint, and a MusicXML reader
// written from the format's rules (positions, chords, backups, ties), apart
// from the code that writes the scores.
#include "tests/app/score/score_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "app/starter/midi/midi_writer.h"
#include "tests/app/support.h"

namespace {

std::string text(xmlNode *node) {
    xmlChar *c = xmlNodeGetContent(node);
    std::string s = c ? reinterpret_cast<const char *>(c) : "";
    xmlFree(c);
    return s;
}

bool named(xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar *>(name)) == 0;
}

xmlNode *child(xmlNode *node, const char *name) {
    for (xmlNode *c = node ? node->children : nullptr; c; c = c->next)
        if (named(c, name))
            return c;
    return nullptr;
}

std::string childText(xmlNode *node, const char *name) {
    xmlNode *c = child(node, name);
    return c ? text(c) : "";
}

bool hasTie(xmlNode *note, const char *type) {
    for (xmlNode *c = note->children; c; c = c->next) {
        xmlChar *t = named(c, "tie") ? xmlGetProp(c, reinterpret_cast<const xmlChar *>("type")) : nullptr;
        bool match = t && xmlStrcmp(t, reinterpret_cast<const xmlChar *>(type)) == 0;
        xmlFree(t);
        if (match)
            return true;
    }
    return false;
}

int keyOf(xmlNode *pitch) {
    static const std::map<std::string, int> steps = {{"C", 0}, {"D", 2}, {"E", 4}, {"F", 5}, {"G", 7}, {"A", 9}, {"B", 11}};
    std::string alter = childText(pitch, "alter");
    return 12 * (std::atoi(childText(pitch, "octave").c_str()) + 1) + steps.at(childText(pitch, "step")) +
           (alter.empty() ? 0 : std::atoi(alter.c_str()));
}

// Where the reading stands within one measure.
struct MeasureState {
    int64_t start = 0, pos = 0, lastOnset = 0;
    std::map<std::string, int64_t> voiceEnds;
};

// The notes whose ties are still open, by voice ("staff/voice") and key: a tie joins two notes
// of one key in one voice.
using TieStarts = std::map<std::pair<std::string, int>, size_t>;

void readNote(xmlNode *note, MeasureState &m, ReadScore &r, TieStarts &open) {
    int64_t duration = std::atoll(childText(note, "duration").c_str());
    int64_t onset = child(note, "chord") ? m.lastOnset : m.pos;
    if (!child(note, "chord"))
        m.pos += duration;
    m.lastOnset = onset;
    const std::string voice = childText(note, "staff") + "/" + childText(note, "voice");
    m.voiceEnds[voice] = onset + duration;
    xmlNode *pitch = child(note, "pitch");
    if (!pitch)
        return;
    ReadNote n{keyOf(pitch), m.start + onset, duration, std::max(1, std::atoi(childText(note, "staff").c_str()))};
    if (child(child(child(note, "notations"), "articulations"), "staccato"))
        ++r.staccatos;
    if (hasTie(note, "stop")) {
        auto it = open.find({voice, n.key});
        if (it == open.end() || r.notes[it->second].onset + r.notes[it->second].duration != n.onset) {
            r.problems.push_back("a tie ends on key " + std::to_string(n.key) + " where none started");
            return;
        }
        r.notes[it->second].duration += duration;
        if (!hasTie(note, "start"))
            open.erase(it);
        return;
    }
    r.notes.push_back(n);
    if (hasTie(note, "start"))
        open[{voice, n.key}] = r.notes.size() - 1;
}

void readDirectionOrAttributes(xmlNode *c, ReadScore &r) {
    if (named(c, "attributes")) {
        if (child(c, "divisions"))
            r.divisions = std::atoi(childText(c, "divisions").c_str());
        r.fifths = childText(child(c, "key"), "fifths");
        r.mode = childText(child(c, "key"), "mode");
        r.beats = childText(child(c, "time"), "beats");
        r.beatType = childText(child(c, "time"), "beat-type");
    } else if (named(c, "harmony")) {
        xmlNode *root = child(c, "root");
        std::string alter = childText(root, "root-alter");
        r.harmonies.push_back(childText(root, "root-step") + (alter == "1" ? "#" : alter == "-1" ? "b" : "") + " " +
                              childText(c, "kind"));
    } else if (named(c, "direction")) {
        xmlNode *type = child(c, "direction-type"), *metronome = child(type, "metronome");
        if (metronome)
            r.perMinute.push_back(childText(metronome, "per-minute"));
        if (child(type, "words"))
            r.tempoWords.push_back(childText(type, "words"));
    }
}

void readMeasure(xmlNode *measure, MeasureState &m, ReadScore &r, TieStarts &open) {
    m.pos = 0;
    m.voiceEnds.clear();
    for (xmlNode *c = measure->children; c; c = c->next) {
        if (named(c, "note"))
            readNote(c, m, r, open);
        else if (named(c, "backup"))
            m.pos -= std::atoll(childText(c, "duration").c_str());
        else if (named(c, "forward"))
            m.pos += std::atoll(childText(c, "duration").c_str());
        else
            readDirectionOrAttributes(c, r);
    }
    int64_t length = 0;
    for (auto &v : m.voiceEnds)
        length = std::max(length, v.second);
    for (auto &v : m.voiceEnds)
        if (v.second != length)
            r.problems.push_back("voice " + v.first + " of measure " + std::to_string(r.measureLengths.size() + 1) +
                                 " ends at " + std::to_string(v.second) + " of " + std::to_string(length));
    r.measureLengths.push_back(length);
    m.start += length;
}

ReadScore readDocument(xmlDoc *doc) {
    ReadScore r;
    if (!doc) {
        r.problems.push_back("not XML");
        return r;
    }
    xmlNode *part = child(xmlDocGetRootElement(doc), "part");
    MeasureState m;
    TieStarts open;
    for (xmlNode *measure = part ? part->children : nullptr; measure; measure = measure->next) {
        if (!named(measure, "measure"))
            continue;
        if (r.measureLengths.empty()) {
            xmlChar *number = xmlGetProp(measure, reinterpret_cast<const xmlChar *>("number"));
            xmlChar *implicit = xmlGetProp(measure, reinterpret_cast<const xmlChar *>("implicit"));
            r.firstMeasureNumber = number ? reinterpret_cast<const char *>(number) : "";
            r.firstImplicit = implicit && xmlStrcmp(implicit, reinterpret_cast<const xmlChar *>("yes")) == 0;
            xmlFree(number);
            xmlFree(implicit);
        }
        readMeasure(measure, m, r, open);
    }
    if (!open.empty())
        r.problems.push_back("a tie is left open");
    xmlFreeDoc(doc);
    std::sort(r.notes.begin(), r.notes.end());
    return r;
}

}  // namespace

MidiContent songOf(const std::vector<MidiNote> &notes, int numerator, int denominatorPower) {
    MidiContent m;
    m.division = 16;  // 4 ticks per 16th of a quarter-note beat
    m.numerator = numerator;
    m.denominatorPower = denominatorPower;
    m.hasKeySignature = true;
    m.keySignature = 0;
    m.program = 0;
    m.tempos = {{0, 500000}};
    m.notes = notes;
    return m;
}

std::vector<uint8_t> midiFileBytes(const MidiContent &c) {
    std::vector<MidiKey> keys = c.keys;
    if (keys.empty())
        keys.push_back({0, c.keySignature, c.mode});
    std::vector<MidiEvent> events;
    for (const MidiKey &k : keys)
        events.push_back({k.tick, 0, metaEvent(0x59, {uint8_t(int8_t(k.fifths)), uint8_t(k.mode)})});
    events.push_back({0, 0, {0xC0, uint8_t(std::max(0, c.program))}});
    std::vector<MidiSignature> signatures = c.signatures;
    if (signatures.empty())
        signatures.push_back({0, c.numerator, c.denominatorPower});
    for (const MidiSignature &g : signatures)
        events.push_back({g.tick, 0, metaEvent(0x58, {uint8_t(g.numerator), uint8_t(g.denominatorPower), 24, 8})});
    for (const MidiTempo &t : c.tempos)
        events.push_back({t.tick, 0, metaEvent(0x51, {uint8_t(t.microsPerBeat >> 16), uint8_t(t.microsPerBeat >> 8),
                                                      uint8_t(t.microsPerBeat)})});
    for (const MidiMarker &mk : c.markers)
        events.push_back({mk.tick, 0, metaEvent(0x06, std::vector<uint8_t>(mk.text.begin(), mk.text.end()))});
    for (const MidiNote &n : c.notes) {
        events.push_back({n.onTick, 2, {0x90, uint8_t(n.key), uint8_t(n.velocity > 0 ? n.velocity : 100)}});
        if (n.offTick >= 0)
            events.push_back({n.offTick, 1, {0x80, uint8_t(n.key), 64}});
    }
    return oneTrackFile(c.division, {}, std::move(events));
}

void writeMidiFile(const std::string &path, const MidiContent &content) {
    std::vector<uint8_t> bytes = midiFileBytes(content);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

std::string schemaProblems(const std::string &path, const char *schema) {
    std::string dir = std::string(SOURCE_DIR) + "/tests/data/musicxml-schema/";
    CommandResult r = runCommand({"/usr/bin/env", "xmllint", "--noout", "--nonet", "--schema", dir + schema, path},
                                 {"XML_CATALOG_FILES=" + dir + "catalog.xml"}, "/");
    return r.code == 0 ? "" : "xmllint exit " + std::to_string(r.code) + " (127: not installed): " + r.err;
}

ReadScore readScore(const std::string &path) {
    return readDocument(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET));
}

ReadScore readScoreText(const std::string &text) {
    return readDocument(xmlReadMemory(text.data(), static_cast<int>(text.size()), "score.musicxml", nullptr,
                                      XML_PARSE_NONET));
}

size_t countIn(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
