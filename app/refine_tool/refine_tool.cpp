// sonoscriptor-refine: a developer tool that refines one engine MIDI file
// with many sets of thresholds, measuring the recording once.
//
//   sonoscriptor-refine AUDIO.wav ENGINE.mid OUT_DIR --settings SETTINGS.txt
//                       [--tempo-map MAP.bin] [--params FILE] [--quantize] [--candidates GATE]
//   sonoscriptor-refine --list-params
//   sonoscriptor-refine --levels AUDIO.wav NOTES.txt
//
// FILE holds one parameter set per line (NAME=VALUE pairs separated by blanks,
// an empty line for the defaults); line i gives OUT_DIR/i.mid. With --candidates,
// line i also gives OUT_DIR/i.candidates.tsv: every attack at least GATE dB strong
// of a key with no note near it that the proposal rule looked at, a row each
// (time, key as written, its features, the learned model's chance, whether a
// note was added; tools/eval/learn_add.py reads them), and OUT_DIR/i.judged.tsv:
// every measured note of the engine's as the drop rules met it, a row each (onset,
// key as written, what they may measure there, whether they kept it;
// tools/eval/learn_drop.py reads them), and OUT_DIR/i.restruck.tsv: every attack
// at least restrikeGate strong inside a note that the soft re-strike rule looked
// at, a row each (time, key as written, its features and the partial profile
// around it, how long the note goes on after it, the re-strike model's chance,
// whether the note was split there; tools/eval/learn_restrike.py dumps them).
// With --levels, NOTES.txt holds one note a line (onset in seconds, MIDI key)
// and the tool prints each note's attack level in dB re the loudest band, the
// measurement the velocities are made from (tools/calibrate/velocity.py).
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/starter/beats/beats.h"
#include "app/starter/cli/failures.h"
#include "app/starter/protocol/settings_file.h"
#include "app/starter/refine/refine.h"
#include "app/starter/refine/velocity.h"

namespace fs = std::filesystem;

namespace {

// The command line of the tool.
struct ToolOptions {
    std::string audio, engine, outDir, settings, tempoMap, params, candidates;
    bool quantize = false;
    bool list = false;
    bool levels = false;
};

int usage(const std::string &error) {
    std::fprintf(stderr, "sonoscriptor-refine: %s\nUsage: sonoscriptor-refine AUDIO.wav ENGINE.mid OUT_DIR --settings "
                         "SETTINGS.txt [--tempo-map MAP.bin] [--params FILE] [--quantize] [--candidates GATE]\n"
                         "       sonoscriptor-refine --list-params\n"
                         "       sonoscriptor-refine --levels AUDIO.wav NOTES.txt\n", error.c_str());
    return 9;
}

bool parseArgs(const std::vector<std::string> &args, ToolOptions &o, std::string &error) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        std::string *target = a == "--settings" ? &o.settings : a == "--tempo-map" ? &o.tempoMap
                              : a == "--params"               ? &o.params
                              : a == "--candidates"           ? &o.candidates : nullptr;
        if (target) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            *target = args[++i];
        } else if (a == "--quantize") {
            o.quantize = true;
        } else if (a == "--list-params") {
            o.list = true;
        } else if (a == "--levels") {
            o.levels = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "there is no option " + a;
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (o.list)
        return true;
    if (o.levels && positional.size() == 2) {
        o.audio = positional[0], o.engine = positional[1];
        return true;
    }
    char *end = nullptr;
    if (!o.candidates.empty() && (std::strtod(o.candidates.c_str(), &end), *end != '\0')) {
        error = "--candidates takes a strength in dB, not " + o.candidates;
        return false;
    }
    if (positional.size() != 3 || o.settings.empty()) {
        error = "give AUDIO.wav, ENGINE.mid, OUT_DIR and --settings";
        return false;
    }
    o.audio = positional[0], o.engine = positional[1], o.outDir = positional[2];
    return true;
}

// The parameter lines: the file's lines, or one line of defaults.
bool readParamLines(const std::string &path, std::vector<std::string> &lines) {
    lines.clear();
    if (path.empty()) {
        lines.push_back("");
        return true;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return !in.bad() && (in.eof() || in.good()) && fs::is_regular_file(path);
}

// The input of the stage from the options: the settings file, and the tempo map given or named there.
bool stageInput(const ToolOptions &o, RefineInput &input, std::string &error) {
    input.wavePath = o.audio;
    input.engineMidiPath = o.engine;
    SettingsList settings;
    error = settingsFileSentence(o.settings, readSettingsFile(o.settings, settings));
    if (!error.empty())
        return false;
    input.engine = engineSettings(settings);
    std::string map = o.tempoMap.empty() ? getSetting(settings, "TempoFile") : o.tempoMap;
    std::error_code ec;
    if (!map.empty() && fs::is_regular_file(map, ec) && !readTempoMap(map, input.tempoMap)) {
        error = "the tempo map " + map + " cannot be read";
        return false;
    }
    if (!o.tempoMap.empty() && !fs::is_regular_file(map, ec)) {
        error = "the tempo map " + map + " does not exist";
        return false;
    }
    return true;
}

// A number as a listing prints it (format: a printf conversion of one double).
std::string cellOf(const char *format, double x) {
    char cell[32];
    std::snprintf(cell, sizeof cell, format, x);
    return cell;
}

// Writes rows to path as tab-separated lines under a header: each row's time and key as written, its
// features (names; values reads them from a row's features), then the columns the header's tail
// names, as tailCells writes them to the stream (each cell after a tab); false when it cannot.
template <class Row, std::size_t N, class Values, class Tail>
bool writeListing(const std::string &path, const std::array<const char *, N> &names, const char *tail,
                  const std::vector<Row> &rows, Values values, Tail tailCells) {
    std::ofstream out(path);
    out << "time\tkey";
    for (const char *name : names)
        out << '\t' << name;
    out << tail << '\n';
    for (const Row &c : rows) {
        out << cellOf("%.4f", c.time) << '\t' << c.key;
        for (double x : values(c.features))
            out << '\t' << cellOf("%.6g", x);
        tailCells(out, c);
        out << '\n';
    }
    return static_cast<bool>(out);
}

// Writes the proposal rule's candidates to path; false when it cannot.
bool writeCandidates(const std::string &path, const std::vector<AddCandidate> &found) {
    return writeListing(path, AddTreeInputNames, "\tprobability\ttaken", found, addTreeInputs,
                        [](std::ostream &out, const AddCandidate &c) {
                            out << '\t' << cellOf("%.6g", c.probability) << '\t' << (c.taken ? 1 : 0);
                        });
}

// Writes the notes the drop rules judged to path; false when it cannot.
bool writeJudged(const std::string &path, const std::vector<DropCandidate> &judged) {
    return writeListing(path, DropTreeInputNames, "\tkept", judged, dropTreeInputs,
                        [](std::ostream &out, const DropCandidate &c) { out << '\t' << (c.kept ? 1 : 0); });
}

// Writes the attacks the soft re-strike rule looked at to path; false when it cannot.
bool writeRestruck(const std::string &path, const std::vector<RestrikeCandidate> &restruck) {
    return writeListing(path, RestrikeTreeInputNames, "\tleft\tprobability\ttaken", restruck,
                        restrikeTreeInputs, [](std::ostream &out, const RestrikeCandidate &c) {
                            out << '\t' << cellOf("%.4f", c.left) << '\t' << cellOf("%.6g", c.probability) << '\t'
                                << (c.taken ? 1 : 0);
                        });
}

// Prints the attack level of each note listed in path (onset in seconds, key) in the recording audio.
int printLevels(const std::string &audio, const std::string &path) {
    std::ifstream in(path);
    std::vector<TimedNote> notes;
    TimedNote n;
    while (in >> n.on >> n.pitch)
        notes.push_back(n);
    AttackEvidence e;
    std::string error;
    if (!in.eof() || !measureFile(audio, 440, e, nullptr, error)) {
        std::fprintf(stderr, "sonoscriptor-refine: %s\n", error.empty() ? "the notes cannot be read" : error.c_str());
        return 3;
    }
    std::vector<Probe> wanted;
    for (const TimedNote &x : notes)
        if (x.pitch >= LowestPitch && x.pitch <= HighestPitch)
            wanted.push_back(attackLevelProbe(e, x.pitch, x.on, RefineThresholds{}));
    std::vector<double> levels = attackLevels(notes, probeEvidence(e, wanted), RefineThresholds{});
    for (size_t i = 0; i < notes.size(); ++i)
        std::printf("%.4f %d %.3f\n", notes[i].on, notes[i].pitch, levels[i]);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    ToolOptions o;
    std::string error;
    if (!parseArgs(std::vector<std::string>(argv + 1, argv + argc), o, error))
        return usage(error);
    if (o.list) {
        RefineThresholds defaults;
        for (const ThresholdField &f : thresholdFields())
            std::printf("%s=%.10g\n", f.name, defaults.*f.field);
        return 0;
    }
    if (o.levels)
        return printLevels(o.audio, o.engine);
    RefineInput input;
    std::vector<std::string> lines;
    std::error_code ec;
    if (!stageInput(o, input, error) || !readParamLines(o.params, lines) || !fs::is_directory(o.outDir, ec)) {
        std::fprintf(stderr, "sonoscriptor-refine: %s\n",
                     error.empty() ? "the parameter file or the output folder cannot be used" : error.c_str());
        return 3;
    }
    std::vector<RefineThresholds> sets(lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        if (!parseThresholdLine(lines[i], sets[i], error))
            return usage("line " + std::to_string(i + 1) + " of " + o.params + ": " + error);
    RefineSession session;
    bool usable = prepareRefinement(input, session, nullptr, error);
    if (!usable)
        std::fprintf(stderr, "sonoscriptor-refine: %s; the engine's file is written unchanged\n", error.c_str());
    for (size_t i = 0; i < sets.size(); ++i) {
        std::string out = (fs::path(o.outDir) / (std::to_string(i) + ".mid")).string();
        RefineCounts counts;
        CandidateList list;
        list.gate = o.candidates.empty() ? 0 : std::strtod(o.candidates.c_str(), nullptr);
        bool ok = !usable ? (fs::copy_file(o.engine, out, fs::copy_options::overwrite_existing, ec), !ec)
                  : o.candidates.empty() ? writeRefinement(session, sets[i], o.quantize, out, counts, error)
                                         : writeRefinement(session, sets[i], o.quantize, out, counts, list, error);
        if (ok && usable && !o.candidates.empty() &&
            !writeCandidates((fs::path(o.outDir) / (std::to_string(i) + ".candidates.tsv")).string(), list.found))
            error = "the candidates cannot be written", ok = false;
        if (ok && usable && !o.candidates.empty() &&
            !writeJudged((fs::path(o.outDir) / (std::to_string(i) + ".judged.tsv")).string(), list.judged))
            error = "the judged notes cannot be written", ok = false;
        if (ok && usable && !o.candidates.empty() &&
            !writeRestruck((fs::path(o.outDir) / (std::to_string(i) + ".restruck.tsv")).string(), list.restruck))
            error = "the re-strike candidates cannot be written", ok = false;
        if (!ok) {
            std::fprintf(stderr, "sonoscriptor-refine: %s\n", error.empty() ? ec.message().c_str() : error.c_str());
            return 5;
        }
        std::printf("%zu moved=%d split=%d dropped=%d added=%d\n", i, counts.moved, counts.split, counts.dropped,
                    counts.added);
    }
    return 0;
}
