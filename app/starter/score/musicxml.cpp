// Writing the score as MusicXML 4.0 (score-partwise) with libxml2's text
// writer, and the container document of a compressed score.
#include "app/starter/score/score.h"

#include <cmath>
#include <cstdio>

#include <libxml/xmlwriter.h>

namespace {

// The writer and whether every call so far succeeded.
struct Xml {
    xmlTextWriterPtr w = nullptr;
    bool ok = true;
};

const xmlChar *x(const char *s) { return reinterpret_cast<const xmlChar *>(s); }

void open(Xml &o, const char *name) { o.ok = o.ok && xmlTextWriterStartElement(o.w, x(name)) >= 0; }
void close(Xml &o) { o.ok = o.ok && xmlTextWriterEndElement(o.w) >= 0; }
void attribute(Xml &o, const char *name, const std::string &value) {
    o.ok = o.ok && xmlTextWriterWriteAttribute(o.w, x(name), x(value.c_str())) >= 0;
}
void element(Xml &o, const char *name, const std::string &text) {
    o.ok = o.ok && xmlTextWriterWriteElement(o.w, x(name), x(text.c_str())) >= 0;
}
void empty(Xml &o, const char *name, const char *attr = nullptr, const std::string &value = "") {
    open(o, name);
    if (attr)
        attribute(o, attr, value);
    close(o);
}

// A decimal without trailing zeros.
std::string decimal(double v, int places) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", places, v);
    std::string s = buffer;
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.')
            s.pop_back();
    }
    return s;
}

const char *typeName(int level) {
    static const char *const names[] = {"whole", "half", "quarter", "eighth", "16th", "32nd", "64th", "128th"};
    return level >= 0 && level <= 7 ? names[level] : "quarter";
}

void writeKey(Xml &o, int fifths, bool minor) {
    open(o, "key");
    element(o, "fifths", std::to_string(fifths));
    element(o, "mode", minor ? "minor" : "major");
    close(o);
}

void writeAttributes(Xml &o, const Score &s) {
    open(o, "attributes");
    element(o, "divisions", std::to_string(s.grid.divisions));
    writeKey(o, s.fifths, s.minor);
    open(o, "time");
    element(o, "beats", std::to_string(s.grid.numerator));
    element(o, "beat-type", std::to_string(1 << s.grid.denominatorPower));
    close(o);
    if (s.staves == 2)
        element(o, "staves", "2");
    for (int staff = 1; staff <= s.staves; ++staff) {
        open(o, "clef");
        if (s.staves == 2)
            attribute(o, "number", std::to_string(staff));
        bool treble = s.staves == 2 ? staff == 1 : s.singleClef == 'G';
        element(o, "sign", treble ? "G" : "F");
        element(o, "line", treble ? "2" : "4");
        if (s.staves == 1 && s.clefOctave != 0)
            element(o, "clef-octave-change", std::to_string(s.clefOctave));
        close(o);
    }
    close(o);
}

void writeOffset(Xml &o, int64_t offset) {
    if (offset != 0)
        element(o, "offset", std::to_string(offset));
}

void writeTempo(Xml &o, const Score &s, const TempoMark &t, int64_t offset) {
    int level = 2, dots = 0;
    noteValue(s.grid, s.grid.countSteps, level, dots);
    double perCount = t.beatsPerMinute * static_cast<double>(s.grid.stepsPerDivision) / s.grid.countSteps;
    double quarters = t.beatsPerMinute * static_cast<double>(s.grid.stepsPerDivision) / s.grid.divisions;
    open(o, "direction");
    attribute(o, "placement", "above");
    open(o, "direction-type");
    open(o, "metronome");
    attribute(o, "parentheses", "no");
    element(o, "beat-unit", typeName(level));
    if (dots)
        empty(o, "beat-unit-dot");
    element(o, "per-minute", decimal(std::round(perCount), 0));
    close(o);
    close(o);
    writeOffset(o, offset);
    element(o, "staff", "1");
    empty(o, "sound", "tempo", decimal(quarters, 2));
    close(o);
}

void writeTempoWords(Xml &o, const TempoWords &w, int64_t offset) {
    open(o, "direction");
    attribute(o, "placement", "above");
    open(o, "direction-type");
    element(o, "words", w.text);
    close(o);
    writeOffset(o, offset);
    element(o, "staff", "1");
    close(o);
}

void writeStepAlter(Xml &o, const char *stepName, const char *alterName, char step, int alter) {
    element(o, stepName, std::string(1, step));
    if (alter != 0)
        element(o, alterName, std::to_string(alter));
}

void writeHarmony(Xml &o, const ChordSymbol &c, int64_t offset) {
    open(o, "harmony");
    open(o, "root");
    writeStepAlter(o, "root-step", "root-alter", c.rootStep, c.rootAlter);
    close(o);
    open(o, "kind");
    attribute(o, "text", c.kindText);
    o.ok = o.ok && xmlTextWriterWriteString(o.w, x(c.kind.c_str())) >= 0;
    close(o);
    if (c.bassStep) {
        open(o, "bass");
        writeStepAlter(o, "bass-step", "bass-alter", c.bassStep, c.bassAlter);
        close(o);
    }
    writeOffset(o, offset);
    close(o);
}

void writeDynamics(Xml &o, const DynamicMark &d, int64_t offset) {
    open(o, "direction");
    attribute(o, "placement", "below");
    open(o, "direction-type");
    open(o, "dynamics");
    empty(o, d.mark.c_str());
    close(o);
    close(o);
    writeOffset(o, offset);
    element(o, "staff", "1");
    // The sound's dynamics are a percentage of velocity 90.
    empty(o, "sound", "dynamics", decimal(d.velocity * 100.0 / 90, 2));
    close(o);
}

// Tempo marks, dynamics and chord symbols that fall within the event at [start, start + length).
void writeAnnotations(Xml &o, const Score &s, int64_t start, int64_t length) {
    for (const TempoMark &t : s.tempos)
        if (t.at >= start && t.at < start + length)
            writeTempo(o, s, t, t.at - start);
    for (const TempoWords &w : s.tempoWords)
        if (w.at >= start && w.at < start + length)
            writeTempoWords(o, w, w.at - start);
    for (const DynamicMark &d : s.dynamics)
        if (d.at >= start && d.at < start + length)
            writeDynamics(o, d, d.at - start);
    for (const ChordSymbol &c : s.chords)
        if (c.at >= start && c.at < start + length)
            writeHarmony(o, c, c.at - start);
}

void writeTies(Xml &o, const ScoreEvent &e, const char *name) {
    if (e.tieFromPrevious)
        empty(o, name, "type", "stop");
    if (e.tieToNext)
        empty(o, name, "type", "start");
}

// The bracket of a beat in triplets, with its number: where it starts or where it stops.
void writeTuplet(Xml &o, bool start) {
    open(o, "tuplet");
    attribute(o, "type", start ? "start" : "stop");
    if (start)
        attribute(o, "bracket", "yes");
    close(o);
}

// One note of a chord (index i), or the rest when the event has no keys.
void writeNote(Xml &o, const Score &s, const ScoreVoice &v, const ScoreEvent &e, size_t i) {
    open(o, "note");
    if (e.hidden)
        attribute(o, "print-object", "no");
    if (i > 0)
        empty(o, "chord");
    if (e.keys.empty()) {
        if (e.wholeMeasureRest)
            empty(o, "rest", "measure", "yes");
        else
            empty(o, "rest");
    } else {
        open(o, "pitch");
        writeStepAlter(o, "step", "alter", e.pitches[i].step, e.pitches[i].alter);
        element(o, "octave", std::to_string(e.pitches[i].octave));
        close(o);
    }
    element(o, "duration", std::to_string(e.length));
    writeTies(o, e, "tie");
    element(o, "voice", std::to_string((v.staff - 1) * 4 + v.voice));
    if (!e.wholeMeasureRest)
        element(o, "type", typeName(e.typeLevel));
    for (int d = 0; d < e.dots; ++d)
        empty(o, "dot");
    if (!e.keys.empty() && !e.accidentals[i].empty())
        element(o, "accidental", e.accidentals[i]);
    if (e.triplet) {  // three in the time of two of the beat's halves
        int half = 3, dots = 0;
        noteValue(s.grid, s.grid.stepsPerBeat / 2, half, dots);
        open(o, "time-modification");
        element(o, "actual-notes", "3");
        element(o, "normal-notes", "2");
        element(o, "normal-type", typeName(half));
        close(o);
    }
    if (s.staves == 2)
        element(o, "staff", std::to_string(v.staff));
    bool staccato = e.staccato && i == 0;
    bool bracket = i == 0 && (e.tripletStart || e.tripletStop);
    if (e.tieFromPrevious || e.tieToNext || staccato || bracket) {
        open(o, "notations");
        writeTies(o, e, "tied");
        if (bracket && e.tripletStart)
            writeTuplet(o, true);
        if (bracket && e.tripletStop)
            writeTuplet(o, false);
        if (staccato) {
            open(o, "articulations");
            empty(o, "staccato");
            close(o);
        }
        close(o);
    }
    close(o);
}

// The measure at index i; its attributes when it is the first, a new key where the key changes.
void writeMeasure(Xml &o, const Score &s, size_t i) {
    const ScoreMeasure &m = s.measures[i];
    bool last = i + 1 == s.measures.size();
    open(o, "measure");
    attribute(o, "number", m.number);
    if (m.implicit)
        attribute(o, "implicit", "yes");
    if (i == 0) {
        writeAttributes(o, s);
    } else if (m.fifths != s.measures[i - 1].fifths || m.minor != s.measures[i - 1].minor) {
        open(o, "attributes");
        writeKey(o, m.fifths, m.minor);
        close(o);
    }
    for (size_t vi = 0; vi < m.voices.size(); ++vi) {
        const ScoreVoice &v = m.voices[vi];
        if (vi > 0) {
            open(o, "backup");
            element(o, "duration", std::to_string(m.length));
            close(o);
        }
        for (const ScoreEvent &e : v.events) {
            if (vi == 0)
                writeAnnotations(o, s, e.start, e.length);
            for (size_t k = 0; k < std::max<size_t>(1, e.keys.size()); ++k)
                writeNote(o, s, v, e, k);
        }
    }
    if (last) {
        open(o, "barline");
        attribute(o, "location", "right");
        element(o, "bar-style", "light-heavy");
        close(o);
    }
    close(o);
}

void writePartList(Xml &o, const Score &s) {
    open(o, "part-list");
    open(o, "score-part");
    attribute(o, "id", "P1");
    element(o, "part-name", s.partName);
    open(o, "score-instrument");
    attribute(o, "id", "P1-I1");
    element(o, "instrument-name", s.partName);
    close(o);
    open(o, "midi-instrument");
    attribute(o, "id", "P1-I1");
    element(o, "midi-program", std::to_string(s.program + 1));
    close(o);
    close(o);
    close(o);
}

void writeScore(Xml &o, const Score &s) {
    o.ok = o.ok && xmlTextWriterWriteDTD(o.w, x("score-partwise"), x("-//Recordare//DTD MusicXML 4.0 Partwise//EN"),
                                         x("http://www.musicxml.org/dtds/partwise.dtd"), nullptr) >= 0;
    open(o, "score-partwise");
    attribute(o, "version", "4.0");
    open(o, "work");
    element(o, "work-title", s.title);
    close(o);
    open(o, "identification");
    open(o, "encoding");
    element(o, "software", "Sonoscriptor");
    close(o);
    close(o);
    writePartList(o, s);
    open(o, "part");
    attribute(o, "id", "P1");
    for (size_t i = 0; i < s.measures.size(); ++i)
        writeMeasure(o, s, i);
    close(o);
    close(o);
}

// Runs body on a text writer into memory and hands back the document.
template <typename Body>
bool writeDocument(Body body, std::string &document, std::string &error) {
    xmlBufferPtr buffer = xmlBufferCreate();
    // The default scheme grows the buffer by what each write needs, copying it
    // each time: a long score would take time quadratic in its length.
    if (buffer)
        xmlBufferSetAllocationScheme(buffer, XML_BUFFER_ALLOC_DOUBLEIT);
    Xml o;
    o.w = buffer ? xmlNewTextWriterMemory(buffer, 0) : nullptr;
    o.ok = o.w && xmlTextWriterSetIndent(o.w, 1) >= 0 && xmlTextWriterSetIndentString(o.w, x("  ")) >= 0 &&
           xmlTextWriterStartDocument(o.w, "1.0", "UTF-8", nullptr) >= 0;
    body(o);
    o.ok = o.ok && xmlTextWriterEndDocument(o.w) >= 0;
    if (o.w)
        xmlFreeTextWriter(o.w);  // flushes into the buffer
    if (o.ok)
        document.assign(reinterpret_cast<const char *>(xmlBufferContent(buffer)),
                        static_cast<size_t>(xmlBufferLength(buffer)));
    if (buffer)
        xmlBufferFree(buffer);
    if (!o.ok)
        error = "the XML writer failed (out of memory, or text that is not UTF-8)";
    return o.ok;
}

}  // namespace

bool scoreDocument(const Score &score, std::string &document, std::string &error) {
    return writeDocument([&](Xml &o) { writeScore(o, score); }, document, error);
}

bool containerDocument(const std::string &rootName, std::string &document, std::string &error) {
    return writeDocument(
        [&](Xml &o) {
            open(o, "container");
            open(o, "rootfiles");
            open(o, "rootfile");
            attribute(o, "full-path", rootName);
            attribute(o, "media-type", "application/vnd.recordare.musicxml+xml");
            close(o);
            close(o);
            close(o);
        },
        document, error);
}
