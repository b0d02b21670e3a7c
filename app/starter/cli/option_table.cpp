// Every option of the sonoscriptor command: names, value name, group, help text
// and handler. The --help text is made from these definitions alone.
#include "app/starter/cli/command_line.h"
#include "app/starter/cli/option_values.h"
#include "app/starter/notes/note_list.h"
#include "input/input.h"

namespace {

const char *const Output = "Output";
const char *const Music = "Music";
const char *const Detection = "Detection";
const char *const Engine = "Engine settings";

// An option that takes a value, once or repeatedly; each value goes to handle in command-line order.
void valueOption(CommandLine &line, const std::string &names, const std::string &valueName, const std::string &group,
                 const std::string &text, OptionHandler handle) {
    CLI::Option *option = line.app.add_option(names)->description(text)->type_name(valueName)->group(group);
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    line.handlers[option] = std::move(handle);
}

// A switch without a value ("--force=yes" is refused).
void switchOption(CommandLine &line, const std::string &names, const std::string &group, const std::string &text,
                  OptionHandler handle) {
    CLI::Option *option = line.app.add_flag(names)->description(text)->group(group)->disable_flag_override();
    line.handlers[option] = std::move(handle);
}

// A handler that stores the value in a field.
OptionHandler store(std::string StarterOptions::*field) {
    return [field](const std::string &v, StarterOptions &o, std::string &) { o.*field = v; return true; };
}

// A handler that turns a switch on.
OptionHandler turnOn(bool StarterOptions::*field) {
    return [field](const std::string &, StarterOptions &o, std::string &) { o.*field = true; return true; };
}

// --notes: a name ending in .csv or .json.
bool onNotes(const std::string &v, StarterOptions &o, std::string &e) {
    if (!isNoteListName(v)) {
        e = "--notes takes a file name ending in .csv or .json, not " + (v.empty() ? std::string("nothing") : v) + ".";
        return false;
    }
    o.notes = v;
    return true;
}

// cores 0: the help of no one machine (the manual page).
void defineOutputOptions(CommandLine &line, int cores) {
    valueOption(line, "-o,--output", "OUT", Output,
                "write OUT; with several inputs OUT is a folder; - is\n"
                "standard output (default: INPUT's name with \".mid\",\n"
                "beside it)", store(&StarterOptions::output));
    valueOption(line, "--musicxml", "FILE", Output,
                "also write the score as MusicXML into FILE (.musicxml,\n"
                ".xml, or compressed .mxl); -o song.musicxml writes\n"
                "the score alone (default: no score)", store(&StarterOptions::musicxml));
    valueOption(line, "--format", "FORMAT", Output,
                "midi, musicxml or both: the files written for each\n"
                "INPUT when -o names no file (default midi)", onFormat);
    valueOption(line, "--notes", "FILE", Output,
                "also write the notes as a list into FILE: .csv (onset,\n"
                "offset, pitch, velocity, bar, beat) or .json (with the\n"
                "tempo map, beats, metre, key and chords); with several\n"
                "inputs, one list beside each MIDI file, named like it\n"
                "with FILE's extension (default: no list)", onNotes);
    switchOption(line, "--force", Output, "replace an output file that exists (default: refuse)",
                 turnOn(&StarterOptions::force));
    switchOption(line, "--skip-existing", Output,
                 "skip an INPUT whose outputs all exist and are whole\n"
                 "(default: refuse existing outputs, see --force)", turnOn(&StarterOptions::skipExisting));
    valueOption(line, "--report", "FILE.jsonl", Output,
                "append one JSON line per INPUT to FILE as it ends:\n"
                "outputs, exit code and kind, sentence, notes, times\n"
                "(default: none)", onReport);
    valueOption(line, "-j,--jobs", "N", Output,
                "transcribe N files at once (default: " +
                    (cores > 0 ? std::to_string(cores) + ", the cores)" : "the number of cores)"),
                onJobs);
    switchOption(line, "-q,--quiet", Output,
                 "no progress bar and no notes of the audio decoder\n"
                 "(default: a bar when standard error is a terminal)", turnOn(&StarterOptions::quiet));
}

void defineTimingOptions(CommandLine &line) {
    valueOption(line, "--tempo", "BPM", Music,
                "a constant tempo in beats per minute, 3.6 to 1000, of\n"
                "the time signature's note value (eighths in 6/8);\n"
                "no beat tracking\n"
                "(default: the beats are found in the recording and\n"
                "followed; without a steady beat, a constant 120)", onTempo);
    switchOption(line, "--beats", Music,
                 "print the beat times, the downbeats, the tempo and the\n"
                 "time signature found in each INPUT, one time in\n"
                 "seconds per line; transcribe nothing (not with\n"
                 "--tempo or --tempo-map)", turnOn(&StarterOptions::beatsOnly));
    valueOption(line, "--time-signature", "N/D", Music,
                "beats per bar and note value, e.g. 3/4 (default: found\n"
                "with the beats; default 4/4 when they are not tracked)", onTimeSignature);
    valueOption(line, "--grid", "VALUE", Music, "shortest note: 4th, 8th, 16th, 32nd, 64th (default 16th)", onGrid);
    valueOption(line, "--key", "KEY", Music,
                "auto, none, or a key such as C, Am, Eb, F#m\n"
                "(default auto: detected from the notes)", onKey);
    switchOption(line, "--scale-only", Music,
                 "keep only the notes of the key's major scale\n"
                 "(needs --key KEY; default off)",
                 [](const std::string &, StarterOptions &o, std::string &) {
                     assignSetting(o, "Constrain", "1");
                     return true;
                 });
}

void defineSoundOptions(CommandLine &line, const std::string &dataDir) {
    valueOption(line, "--instrument", "NAME", Music,
                "piano, guitar, strings, flute or organ: match that\n"
                "instrument's note templates (default: none, the\n"
                "general analysis)",
                [dataDir](const std::string &v, StarterOptions &o, std::string &e) { return onInstrument(dataDir, v, o, e); });
    valueOption(line, "--filter", "N", Music,
                "instrument record N of filter.txt, -1 for none\n"
                "(default -1; records in " + dataDir + ")",
                [dataDir](const std::string &v, StarterOptions &o, std::string &e) { return onFilter(dataDir, v, o, e); });
    valueOption(line, "--start", "SECONDS", Music, "start of the part to transcribe (default 0)",
                [](const std::string &v, StarterOptions &o, std::string &e) { return onSeconds("--start", "StartPoint", v, o, e); });
    valueOption(line, "--end", "SECONDS", Music, "end of the part to transcribe (default: the end)",
                [](const std::string &v, StarterOptions &o, std::string &e) { return onSeconds("--end", "EndPoint", v, o, e); });
    valueOption(line, "--transpose", "N", Music, "semitones added to every note, -127..127 (default 0)",
                [](const std::string &v, StarterOptions &o, std::string &e) {
                    return onRange("--transpose", "Transpose", -127, 127, "semitones", v, o, e);
                });
    valueOption(line, "--tuning", "HZ", Music,
                "the A the recording is tuned to, 435 to 445 Hz\n"
                "(default: found in the recording; 440 when it lies\n"
                "within 10 cents of it)",
                [](const std::string &v, StarterOptions &o, std::string &e) {
                    return onRange("--tuning", "ReferencePitch", LowestReferencePitch, HighestReferencePitch, "the frequency of A4 in Hz", v, o, e);
                });
    valueOption(line, "--channel", "N", Music, "MIDI channel 1..16 (default 1)",
                [](const std::string &v, StarterOptions &o, std::string &e) {
                    return onRange("--channel", "Channel", 1, 16, "a MIDI channel", v, o, e);
                });
    valueOption(line, "--program", "N", Music,
                "General MIDI program 0..127 (default: the\n"
                "instrument's record number, else 0, piano)",
                [](const std::string &v, StarterOptions &o, std::string &e) {
                    return onRange("--program", "Patch", 0, 127, "a General MIDI program", v, o, e);
                });
}

void defineDetectionOptions(CommandLine &line) {
    valueOption(line, "--shortest-note", "MS", Detection,
                "write no note shorter than MS milliseconds at the\n"
                "piece's tempo: MinimumLength in the engine's frames\n"
                "(default: 2 frames, a 16th note)", onShortestNote);
    valueOption(line, "--lowest-note", "NOTE", Detection,
                "lowest note analysed, a name such as A0, C#3, Bb2\n"
                "or a MIDI key number: KeyMin (default C1, 24)",
                [](const std::string &v, StarterOptions &o, std::string &e) { return onNote("--lowest-note", "KeyMin", v, o, e); });
    valueOption(line, "--highest-note", "NOTE", Detection,
                "highest note analysed: KeyMax (default C7, 96)",
                [](const std::string &v, StarterOptions &o, std::string &e) { return onNote("--highest-note", "KeyMax", v, o, e); });
    valueOption(line, "--sensitivity", "1..10", Detection,
                "how readily a note is taken, 1 fewest to 10 most:\n"
                "OutputThreshold and the refinement's thresholds\n"
                "(default 5)", onSensitivity);
}

void defineRefineOptions(CommandLine &line) {
    switchOption(line, "--raw", Music,
                 "write the engine's notes exactly as it wrote them\n"
                 "(default: notes moved, split or dropped where the\n"
                 "attacks heard in the recording say so)", turnOn(&StarterOptions::raw));
    switchOption(line, "--quantize", Music,
                 "put the refined notes back on the grid (default:\n"
                 "each note where its attack was heard)", turnOn(&StarterOptions::quantize));
    valueOption(line, "--tempo-map", "FILE", Music,
                "follow these beats instead of tracking them: 16-bit\n"
                "little-endian milliseconds per beat of the time\n"
                "signature's note value, 65535 ends\n"
                "(default: none; the tempo is then the map's median\n"
                "unless --tempo is given)", onTempoMap);
}

void defineEngineOptions(CommandLine &line) {
    valueOption(line, "--settings", "FILE", Engine, "start from this settings file (default: none)",
                store(&StarterOptions::settingsFile));
    valueOption(line, "--set", "KEY=VALUE", Engine, "set any settings key; may be repeated, the last wins", onSet);
    valueOption(line, "--engine", "PATH", Engine,
                "the engine to run (default: sonoscriptor-engine\n"
                "beside this program)", store(&StarterOptions::enginePath));
    valueOption(line, "--keep-engine-files", "DIR", Engine,
                "for developers: keep each input's settings\n"
                "file, tempo map and engine MIDI file in DIR", onKeepDir);
    switchOption(line, "-h,--help", GeneralGroup, "show this help", turnOn(&StarterOptions::help));
    switchOption(line, "--version", GeneralGroup, "show the version", turnOn(&StarterOptions::version));
}

}  // namespace

void defineOptions(CommandLine &line, const std::string &dataDir, int cores) {
    line.app.set_help_flag();
    line.app.allow_extras();
    line.app.description(
        "Usage: sonoscriptor [OPTION]... INPUT...\n"
        "Transcribe recordings into Standard MIDI Files and MusicXML scores.\n"
        "\n"
        "Each INPUT (WAV, FLAC, Ogg or any other format libsndfile reads) becomes a MIDI\n"
        "file beside it, named like the input with \".mid\". Audio that the engine cannot\n"
        "read as it is is first converted to a temporary 44100 Hz 16-bit WAV. An INPUT\n"
        "of - reads standard input (written to stdin.mid unless -o names the output).\n"
        "A MIDI file as INPUT is not transcribed: its score is written, named like it\n"
        "with \".musicxml\", from its own notes, tempo, metre and key.\n"
        "\n"
        "sonoscriptor serve starts a web page on this machine that does the same for\n"
        "recordings dropped into a browser (sonoscriptor serve --help).\n");
    line.inputs = line.app.add_option("INPUT", line.inputValues);
    defineOutputOptions(line, cores);
    defineTimingOptions(line);
    defineSoundOptions(line, dataDir);
    defineRefineOptions(line);
    defineDetectionOptions(line);
    defineEngineOptions(line);
    std::string defaults;
    for (const SettingsEntry &e : starterDefaults())
        defaults += (defaults.empty() ? "" : ", ") + e.key + "=" + e.value;
    line.app.footer(
        "Settings are taken from the starter's defaults (" + defaults + "),\n"
        "then from --settings, then from the options in the order given. A Tempo or\n"
        "TempoFile from --settings or --set turns beat tracking off, like --tempo.\n"
        "\n"
        "Exit status: 0 done; 1 cancelled (the MIDI file keeps what was transcribed);\n"
        "2 to 7 the engine's failure classes (2 reading, 3 opening a file, 4 audio\n"
        "format, 5 writing the MIDI file or the score, 6 memory, 7 MIDI timing); 8 the\n"
        "engine could not be run; 9 a wrong command line; 130 stopped at once by a\n"
        "second Ctrl-C (SIGTERM, SIGHUP: 128 + the signal). With several inputs, the\n"
        "worst of them.\n");
}
