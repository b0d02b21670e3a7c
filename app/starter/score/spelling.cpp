// Pitch spelling after the key signature, the accidentals to print, and
// chord names read as chord symbols.
//
// Spellings are places on the line of fifths (F = -1, C = 0, G = 1, ... F# = 6,
// Bb = -2). A key uses twelve neighbouring places: its seven scale notes, the
// minor key's raised sixth and seventh, and chromatic notes leaning to sharps in
// sharp keys and to flats in flat keys, without double accidentals where the key
// allows.
#include "app/starter/score/score.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace {

// The first of the twelve places on the line of fifths that a key spells with.
int windowStart(int fifths, bool minor) {
    int preferred = !minor && fifths < 0 ? fifths - 4 : fifths - 3;
    int start = std::clamp(preferred, -8, 1);  // -8 (Fb) .. 12 (B#): single accidentals
    int highestNeeded = minor ? fifths + 8 : fifths + 5;  // the raised seventh, or the major seventh
    return std::clamp(start, highestNeeded - 11, fifths - 1);
}

// Alteration of a letter in the key signature.
int signatureAlter(char step, int fifths) {
    const std::string sharps = "FCGDAEB", flats = "BEADGCF";
    if (fifths > 0 && static_cast<int>(sharps.find(step)) < fifths)
        return 1;
    if (fifths < 0 && static_cast<int>(flats.find(step)) < -fifths)
        return -1;
    return 0;
}

const char *accidentalName(int alter) {
    switch (alter) {
    case -2: return "flat-flat";
    case -1: return "flat";
    case 1: return "sharp";
    case 2: return "double-sharp";
    default: return "natural";
    }
}

// Letter and alteration at the start of text (e.g. "F#", "Bb"); false when none.
bool takeNoteName(const std::string &text, size_t &pos, char &step, int &alter) {
    if (pos >= text.size())
        return false;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos])));
    if (letter < 'A' || letter > 'G')
        return false;
    step = letter;
    alter = 0;
    for (++pos; pos < text.size() && (text[pos] == '#' || text[pos] == 'b') && std::abs(alter) < 2; ++pos)
        alter += text[pos] == '#' ? 1 : -1;
    return true;
}

// Marks the accidentals of one staff of one measure, in the order the notes sound.
void markAccidentals(std::vector<ScoreEvent *> &events, int fifths) {
    std::stable_sort(events.begin(), events.end(),
                     [](const ScoreEvent *a, const ScoreEvent *b) { return a->start < b->start; });
    std::map<std::pair<char, int>, int> current;  // (letter, octave) -> alteration in force
    for (ScoreEvent *e : events) {
        for (size_t i = 0; i < e->pitches.size(); ++i) {
            const SpelledPitch &p = e->pitches[i];
            if (e->tieFromPrevious)
                continue;  // a tied note keeps the accidental it had
            auto place = std::make_pair(p.step, p.octave);
            int inForce = current.count(place) ? current[place] : signatureAlter(p.step, fifths);
            if (p.alter != inForce)
                e->accidentals[i] = accidentalName(p.alter);
            current[place] = p.alter;
        }
    }
}

}  // namespace

SpelledPitch spellKey(int key, int fifths, bool minor) {
    int start = windowStart(fifths, minor);
    int pc = key % 12, place = start;
    for (int f = start; f < start + 12; ++f)
        if (((7 * f) % 12 + 12) % 12 == pc)
            place = f;
    SpelledPitch p;
    p.step = "FCGDAEB"[((place + 1) % 7 + 7) % 7];
    p.alter = (place + 1 >= 0 ? (place + 1) / 7 : (place + 1 - 6) / 7);
    int natural = key - p.alter;  // the letter's own key decides the octave (B#3 is key 60)
    p.octave = natural / 12 - 1;
    if (p.octave < 0)
        p = {'C', 0, 0};  // only B# over key 12 gets here; MusicXML octaves start at 0
    return p;
}

void setMeasureKeys(Score &score, const MidiContent &midi) {
    std::vector<MidiKey> keys = midi.keys;
    if (keys.empty() && midi.hasKeySignature)
        keys.push_back({0, midi.keySignature, midi.mode});
    std::stable_sort(keys.begin(), keys.end(), [](const MidiKey &a, const MidiKey &b) { return a.tick < b.tick; });
    size_t next = 0;
    MidiKey current = keys.empty() ? MidiKey{} : keys.front();
    for (ScoreMeasure &m : score.measures) {
        for (; next < keys.size() && stepOfTick(score.grid, midi.division, keys[next].tick) <= m.start; ++next)
            current = keys[next];
        m.fifths = std::clamp(current.fifths, -7, 7);
        m.minor = current.mode == 1;
    }
    score.fifths = score.measures.empty() ? 0 : score.measures.front().fifths;
    score.minor = !score.measures.empty() && score.measures.front().minor;
}

void spellScore(Score &score) {
    for (ScoreMeasure &m : score.measures) {
        for (int staff = 1; staff <= score.staves; ++staff) {
            std::vector<ScoreEvent *> events;
            for (ScoreVoice &v : m.voices) {
                if (v.staff != staff)
                    continue;
                for (ScoreEvent &e : v.events) {
                    e.pitches.clear();
                    for (int key : e.keys)
                        e.pitches.push_back(spellKey(key, m.fifths, m.minor));
                    e.accidentals.assign(e.keys.size(), "");
                    events.push_back(&e);
                }
            }
            markAccidentals(events, m.fifths);
        }
    }
}

bool parseChordName(const std::string &name, ChordSymbol &symbol) {
    static const std::map<std::string, std::string> kinds = {
        {"", "major"}, {"maj", "major"}, {"m", "minor"}, {"min", "minor"}, {"-", "minor"},
        {"7", "dominant"}, {"maj7", "major-seventh"}, {"M7", "major-seventh"}, {"m7", "minor-seventh"},
        {"min7", "minor-seventh"}, {"dim", "diminished"}, {"o", "diminished"}, {"dim7", "diminished-seventh"},
        {"aug", "augmented"}, {"+", "augmented"}, {"m7b5", "half-diminished"}, {"sus4", "suspended-fourth"},
        {"sus2", "suspended-second"}, {"6", "major-sixth"}, {"m6", "minor-sixth"}, {"9", "dominant-ninth"},
        {"maj9", "major-ninth"}, {"m9", "minor-ninth"}, {"5", "power"}};
    std::string text = name;
    text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }), text.end());
    size_t pos = 0;
    ChordSymbol s;
    if (!takeNoteName(text, pos, s.rootStep, s.rootAlter))
        return false;
    size_t slash = text.find('/', pos);
    std::string suffix = text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    auto kind = kinds.find(suffix);
    if (kind == kinds.end())
        return false;
    s.kind = kind->second;
    s.kindText = suffix;
    if (slash != std::string::npos) {
        size_t bassPos = slash + 1;
        if (!takeNoteName(text, bassPos, s.bassStep, s.bassAlter) || bassPos != text.size())
            return false;
    }
    s.at = symbol.at;
    symbol = s;
    return true;
}
