// Failure sentences, summary paragraph, note and key names.
#include "app/starter/cli/messages.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "app/starter/audio/audio.h"
#include "app/starter/cli/names.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/score/score_file.h"

namespace {

// "Sensitivity 1, Resolution 4 and a beat of a 1/4 note at Speed 100%", as the engine settles them.
std::string gridWords(const Settings &t) {
    return "Sensitivity " + std::to_string(t.Sensitivity) + ", Resolution " + numberText("%g", t.Resolution) +
           " and a beat of a 1/" + std::to_string(1 << t.TimeSignatureDenominator) + " note at Speed " +
           numberText("%g", t.Speed) + "%";
}

std::string timingSentence(int detail, Settings t) {
    TimeBase tb;
    timeBaseVerdict(t, ConvertedRate, 1, ConvertedBits, tb);
    // The engine checks the analysis frames per beat first, then the MIDI ticks per beat
    // (frames x 48 / 2^Sensitivity); the sentence names the count that broke the limit.
    bool frames = detail == 24 ? tb.framesRounded == 0 : tb.framesRounded > 32767;
    std::string count = numberText(detail == 24 ? "%g" : "%.0f", frames ? tb.frames : tb.ticks) +
                        (frames ? " analysis frames per beat" : " ticks per beat");
    switch (detail) {
    case 24:
        return "The MIDI time base would round to 0 ticks per beat: " + gridWords(t) + " give only " + count +
               "; choose a finer --grid (16th) or raise Sensitivity or Speed with --set.";
    case 25:
        return "The MIDI time base would be " + count + ", more than the 32767 a MIDI file can hold: " +
               gridWords(t) + " give too many analysis frames per beat; choose a coarser --grid, or lower "
               "Sensitivity or Speed with --set.";
    case 26:
        return "The tempo of " + numberText("%g", t.Tempo) + " beats per minute is too fast to be written into "
               "a MIDI file; give the recording's real tempo with --tempo.";
    case 27:
        return "The tempo of " + numberText("%g", t.Tempo) + " beats per minute is too slow for a MIDI file, "
               "which holds tempos from about 3.6 beats per minute up; give the recording's real tempo "
               "with --tempo.";
    default:
        return "The timing of the grid cannot be written into a MIDI file; check --tempo, --grid and the "
               "Sensitivity and Speed settings.";
    }
}

// Sentences for every code and detail that need no settings.
const std::map<std::pair<int, int>, std::string> &fixedSentences() {
    static const std::map<std::pair<int, int>, std::string> sentences = {
        {{0, 0}, "The transcription is complete."},
        {{1, 0}, "The transcription was cancelled; the MIDI file keeps what was transcribed up to then."},
        {{2, 16}, "The audio file is too short: the engine needs at least 4132 bytes of WAV file; "
                  "record or export a longer piece."},
        {{2, 21}, "Reading the audio failed part-way through the file; check that the file plays to the "
                  "end and is not being changed, then try again."},
        {{2, 33}, "The instrument record chosen is missing from filter.dat, which is incomplete; reinstall "
                  "sonoscriptor or choose another --instrument."},
        {{3, 6}, "The MIDI file could not be created; choose an output in a folder you can write to with -o "
                 "(and not the audio file itself)."},
        {{3, 8}, "The engine could not open its settings file; make sure the temporary folder (TMPDIR) is "
                 "writable and not full."},
        {{3, 15}, "The engine could not open the audio file; check that it still exists and is readable."},
        {{3, 23}, "No audio file was named; give the recording to transcribe as INPUT."},
        {{3, 36}, "A path in the settings file is longer than the engine reads (254 characters to a line, "
                  "the key included); give a shorter ExePath, WaveFile, MidiFile or TempoFile."},
        {{4, 9}, "The audio has neither one nor two channels; the engine reads mono or stereo WAV files only "
                 "(export the recording as stereo)."},
        {{4, 10}, "The sample rate is not supported: the engine reads 11025, 22050 or 44100 Hz; resample the "
                  "recording to 44100 Hz."},
        {{4, 11}, "The sample size is not supported: the engine reads 8-bit or 16-bit samples; export the "
                  "recording as 16-bit."},
        {{4, 17}, "The WAV file does not hold plain PCM samples (it is compressed, floating-point or "
                  "WAVE_FORMAT_EXTENSIBLE); export it as 16-bit PCM WAV."},
        {{4, 18}, "The WAV file's audio data does not start within its first 4132 bytes (too much metadata "
                  "before it); export the recording again as a plain 16-bit PCM WAV."},
        {{5, 7}, "Writing the MIDI file failed at its start; make sure the disk is not full."},
        {{5, 19}, "Writing the MIDI file's header failed; make sure the disk is not full."},
        {{5, 20}, "Writing the MIDI file's track header failed; make sure the disk is not full."},
        {{5, 22}, "Writing the notes into the MIDI file failed; make sure the disk is not full."},
        {{5, 29}, "Writing a chord name into the MIDI file failed; make sure the disk is not full."},
        {{5, 35}, "Writing the MIDI file's text event failed; make sure the disk is not full."},
        {{6, 1}, "The engine ran out of memory for one frame of audio; close other programs, or lower "
                 "BufferSize with --set."},
        {{6, 3}, "The engine ran out of memory for its note tracker; close other programs and try again."},
        {{6, 12}, "The engine ran out of memory for its key table; close other programs and try again."},
        {{6, 13}, "The engine ran out of memory for its analysis tables; close other programs, or narrow "
                  "the key range (KeyMin, KeyMax) with --set."},
        {{6, 14}, "The engine ran out of memory for its reference waves; close other programs, or narrow "
                  "the key range (KeyMin, KeyMax) with --set."},
        {{6, 28}, "The engine ran out of memory for its detector buffer; close other programs, or lower "
                  "BufferSize with --set."},
        {{6, 30}, "The engine ran out of memory for its level matrix; close other programs, or use a coarser "
                  "--grid or a smaller ChordRes with --set."},
    };
    return sentences;
}

// A sentence for a code whose detail is unknown.
std::string classSentence(int code) {
    switch (code) {
    case 2: return "Reading an input file failed; check that the audio file is complete and readable.";
    case 3: return "A file could not be opened; check the names and folders of the input and output.";
    case 4: return "The audio format is not supported; export the recording as 16-bit PCM WAV at 44100 Hz.";
    case 5: return "Writing the MIDI file failed; make sure the disk is not full.";
    case 6: return "The engine ran out of memory; close other programs and try again.";
    case 7: return "The timing of the grid cannot be written into a MIDI file; check --tempo and --grid.";
    default:
        return "The engine ended with the unknown code " + std::to_string(code) +
               "; check that sonoscriptor-engine belongs to this version of sonoscriptor.";
    }
}

// ", from C2 to A6", ", all on C4", or "" without notes.
std::string rangeWords(const RunReport &r) {
    bool flats = r.keySignature < 0 && r.keySignature >= -7;
    if (r.notes == 0 || r.lowest > r.highest)
        return "";
    if (r.lowest == r.highest)
        return ", all on " + noteName(r.lowest, flats);
    return ", from " + noteName(r.lowest, flats) + " to " + noteName(r.highest, flats);
}

// "song.mid and song.musicxml", or "standard output".
std::string outputWords(const RunReport &r) {
    return (r.output == "-" ? "standard output" : r.output) + (r.scoreOutput.empty() ? "" : " and " + r.scoreOutput);
}

// "312 notes written, from C2 to A6", or the cancelled form.
std::string notesWords(const RunReport &r) {
    std::string n = std::to_string(r.notes) + (r.notes == 1 ? " note" : " notes");
    std::string file = isScoreFileName(outputWords(r)) ? "score" : "MIDI file";
    // A cancelled file is the engine's own, laid out in its time as --raw writes it.
    const std::string engineTime = ", in the engine's time (as --raw writes it), not the recording's";
    if (r.code == 1 && r.refineCancelled)
        return "the refinement was cancelled; the " + file + " holds the engine's " + n + ", not refined" +
               rangeWords(r) + engineTime;
    if (r.code == 1)
        return "cancelled after " + durationText(r.audioSeconds) + " of the audio; the " + file + " keeps the " + n +
               " transcribed up to then" + rangeWords(r) + engineTime;
    // Loud sound without a pitch of its own (drums, noise) makes engine notes the evidence then drops.
    if (r.notes == 0 && r.refined && r.dropped > 0)
        return "no notes were found: the attack evidence dropped every note the engine wrote (is it drums or "
               "noise alone?)";
    if (r.notes == 0)
        return r.tempoSource == TempoSource::Given
                   ? "no notes were found (is the recording silent or very quiet, or is --tempo far from its "
                     "real tempo?)"
                   : "no notes were found (is the recording silent or very quiet?)";
    return n + " written" + rangeWords(r);
}

std::string keyWords(const RunReport &r) {
    // Without notes the key detector has nothing to go on: what it reports is no finding.
    std::string name = r.notes == 0 && r.keyDetected ? "" : keyName(r.keySignature, r.mode);
    if (name.empty())
        return r.keyDetected ? "no key was detected" : "no key signature";
    return r.keyDetected ? "detected key " + name : "key " + name + " as given";
}

// "3 min 12 s of audio transcribed in 8.4 s (23x real time)".
std::string speedWords(const RunReport &r) {
    std::string s = durationText(r.audioSeconds) + " of audio " +
                    "transcribed in " + durationText(r.elapsedSeconds);
    if (r.elapsedSeconds > 0 && r.audioSeconds > 0)
        s += " (" + numberText(r.audioSeconds / r.elapsedSeconds >= 10 ? "%.0fx" : "%.1fx",
                           r.audioSeconds / r.elapsedSeconds) + " real time)";
    return s;
}

}  // namespace

std::string engineFailureSentence(int code, int detail, const Settings &engine) {
    if (code == 7)
        return timingSentence(detail, engine);
    auto it = fixedSentences().find({code, detail});
    if (it != fixedSentences().end())
        return it->second;
    return classSentence(code);
}

std::string noteName(int key, bool flats) {
    static const char *sharpNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    static const char *flatNames[12] = {"C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B"};
    if (key < 0 || key > 127)
        return "?";
    return std::string(flats ? flatNames[key % 12] : sharpNames[key % 12]) + std::to_string(key / 12 - 1);
}

std::string keyName(int keySignature, int mode) {
    static const char *majors[15] = {"Cb", "Gb", "Db", "Ab", "Eb", "Bb", "F", "C",
                                     "G",  "D",  "A",  "E",  "B",  "F#", "C#"};
    static const char *minors[15] = {"Ab", "Eb", "Bb", "F", "C",  "G",  "D", "A",
                                     "E",  "B",  "F#", "C#", "G#", "D#", "A#"};
    if (keySignature < -7 || keySignature > 7)
        return "";
    return std::string(mode ? minors[keySignature + 7] : majors[keySignature + 7]) + (mode ? " minor" : " major");
}

std::string durationText(double seconds) {
    if (seconds < 60)
        return numberText(seconds < 10 ? "%.1f s" : "%.0f s", seconds);
    long whole = std::lround(seconds);
    return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
}

// The tempo sentence of the summary, with a leading blank; "" when there is none.
std::string tempoWords(const RunReport &r) {
    static const char *const notes[] = {"whole", "half", "quarter", "eighth", "16th", "32nd"};
    std::string dotted = r.dottedBeat ? std::string(" dotted-") + notes[std::clamp(r.dottedPower, 0, 5)] : "";
    std::string bpm = numberText("%.6g", r.tempo) + dotted + " beats per minute", s = " ";
    switch (r.tempoSource) {
    case TempoSource::Given: return s.append("Tempo: a constant ").append(bpm).append(".");
    case TempoSource::Tracked:
        return s.append("Tempo: ").append(bpm).append(", the median of the ").append(std::to_string(r.beats))
            .append(" beats found in the recording; the notes follow those beats")
            .append(r.metre.empty() ? "" : ", in " + r.metre).append(".");
    case TempoSource::Fallback: return s.append(fallbackSentence(r.tempoFallback, r.tempo));
    case TempoSource::Map: return s.append("Tempo: ").append(bpm).append("; the notes follow the beats of the tempo map.");
    case TempoSource::Unknown: break;
    }
    return "";
}

std::string metreWords(int numerator, int denominatorPower, bool given, bool judged, bool weak) {
    std::string name =
        std::to_string(numerator) + "/" + std::to_string(1 << std::clamp(denominatorPower, 0, 6)) + " time";
    if (given)
        return name + " as given";
    if (!judged)
        return name + " (too few beats to find the bars)";
    return name + ", found from the accents and chord changes" + (weak ? " (weak evidence)" : "");
}

// Why no beat is followed, as a clause ("the recording is silent").
std::string noBeatWords(const NoBeat &reason) {
    switch (reason.kind) {
    case NoBeatKind::TooShort:
        return "the recording is too short to find its beat (under " + numberText("%g", ShortestBeatRegion) +
               " seconds)";
    case NoBeatKind::Silent: return "the recording is silent";
    case NoBeatKind::NoClearPulse: return "no beat stands out in the recording (it has no clear pulse)";
    case NoBeatKind::OutsideTempos:
        return "the beat found (" + numberText("%.1f", reason.tempoFound) + " beats per minute) is outside the "
               "tempos followed, " + numberText("%g", SlowestTrackedTempo) + " to " +
               numberText("%g", FastestTrackedTempo) + " beats per minute";
    case NoBeatKind::NotWritable:
        return "the tempo found (" + numberText("%.1f", reason.tempoFound) +
               " beats per minute) cannot be written into a MIDI file with these settings";
    case NoBeatKind::TooFewBeats: return "no steady beat was found in the recording";
    case NoBeatKind::None: break;
    }
    return "no steady beat was found";
}

std::string fallbackSentence(const NoBeat &reason, double tempo) {
    std::string sentence = noBeatWords(reason);
    sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    return sentence + ", so the tempo is a constant " + numberText("%.6g", tempo) +
           " beats per minute; give the tempo with --tempo if it is another.";
}

// True when less audio could be decoded than the file's header announces: more than a tenth of a
// second and a hundredth of it short (the encoder's delay and the padding of short files aside).
bool endsEarly(const RunReport &r) {
    double missing = r.announcedSeconds - r.decodedSeconds;
    return r.decodedSeconds > 0 && missing > 0.1 && missing > 0.01 * r.announcedSeconds;
}

// "Attack evidence moved 12 notes, split 5, dropped 7 and added 3. ", or "" when the notes were not refined.
std::string refineWords(const RunReport &r) {
    if (!r.refined)
        return "";
    return "Attack evidence moved " + std::to_string(r.moved) + (r.moved == 1 ? " note" : " notes") + ", split " +
           std::to_string(r.split) + ", dropped " + std::to_string(r.dropped) + " and added " + std::to_string(r.added) +
           ". ";
}

// " The recording is tuned 12 cents flat of A = 440 Hz: its notes were heard against A = 437 Hz.",
// or "" when it was heard against 440.
std::string tuningWords(const RunReport &r) {
    if (!r.tuned || r.referencePitch == StandardReferencePitch)
        return "";
    long cents = std::lround(std::fabs(r.tuningCents));
    std::string text = " The recording is tuned " + std::to_string(cents) + (cents == 1 ? " cent " : " cents ") +
                       (r.tuningCents < 0 ? "flat" : "sharp") + " of A = 440 Hz: its notes were heard against A = " +
                       std::to_string(r.referencePitch) + " Hz";
    bool atLimit = r.referencePitch == LowestReferencePitch || r.referencePitch == HighestReferencePitch;
    double reach = 1200 * std::log2(r.referencePitch / static_cast<double>(StandardReferencePitch));
    if (atLimit && std::fabs(r.tuningCents) > std::fabs(reach) + 2)
        text += r.referencePitch == LowestReferencePitch ? ", the lowest the engine takes" : ", the highest the engine takes";
    return text + ".";
}

std::string summaryParagraph(const RunReport &r) {
    std::string text = r.input + " -> " + outputWords(r) + ": " + notesWords(r) + "; " + keyWords(r) + ". " +
                       refineWords(r) + speedWords(r) + "." + tempoWords(r) + tuningWords(r);
    if (!r.conversion.empty())
        text.append(" The audio (").append(r.conversion).append(") was converted to 44100 Hz 16-bit WAV for the engine")
            .append(r.channels > 2 ? ", its " + std::to_string(r.channels) + " channels mixed to mono." : ".");
    if (r.nonFiniteSamples > 0)
        text.append(" ").append(std::to_string(r.nonFiniteSamples))
            .append(r.nonFiniteSamples == 1 ? " sample was" : " samples were")
            .append(" infinite or not a number and counted as silence.");
    if (endsEarly(r))
        text.append(" The file ends early (damaged or cut short?): ")
            .append(durationText(r.decodedSeconds))
            .append(" of the ")
            .append(durationText(r.announcedSeconds))
            .append(" its header announces could be read.");
    return text;
}

std::string midiScoreSummary(const MidiScoreReport &r) {
    std::string text = r.input + " -> " + (r.output == "-" ? "standard output" : r.output) + ": score of " + std::to_string(r.notes) +
                       (r.notes == 1 ? " note" : " notes") + " in " + std::to_string(r.bars) +
                       (r.bars == 1 ? " bar." : " bars.");
    if (!r.tempoGiven)
        text += " The file gives no tempo, so the score is at 120 beats per minute, as MIDI files are by default.";
    if (!r.metreGiven)
        text += " The file gives no time signature, so the score is in 4/4 time, as MIDI files are by default.";
    if (!r.metresLeftOut.empty()) {
        text += " The file changes its time signature (also ";
        for (size_t i = 0; i < r.metresLeftOut.size(); ++i)
            text += (i > 0 ? ", " : "") + r.metresLeftOut[i];
        text += "); the score is written in its last, " + r.metre +
                ", throughout, so its bar lines may differ from the file's.";
    }
    if (r.cutShort)
        text += " The file is not whole (a track is cut short or has no end): the score holds what could "
                "be read.";
    return text;
}

std::string stageWords(Stage stage, const std::string &audioDescription, bool cancelling) {
    if (cancelling)
        return "cancelling";
    switch (stage) {
    case Stage::Converting: return "converting " + audioDescription + " to 44100 Hz 16-bit";
    case Stage::FindingBeats: return "finding the beats";
    case Stage::WritingSettings:
    case Stage::RunningEngine: return "transcribing";
    case Stage::Refining: return "refining the notes";
    case Stage::Settling: return "writing";
    default: return "starting";
    }
}

std::string decoderNoteLine(const std::string &note) { return "sonoscriptor: the audio decoder says: " + note; }

std::string fileFailureLine(const std::string &input, const std::string &sentence) {
    return "sonoscriptor: " + input + ": " + sentence;
}

std::string cancelSentence(bool engineRunning, bool refining, bool beforeEngine, bool waiting) {
    std::string text = "sonoscriptor: cancelling";
    if (engineRunning)
        text += "; the engine finishes the MIDI file with the notes found so far";
    if (refining)
        text += "; a file being refined is written with the engine's notes, not refined";
    if (beforeEngine)
        text += "; a file not yet transcribed gets no MIDI file";
    if (waiting)
        text += "; files not started are skipped";
    return text + " (press Ctrl-C again to stop at once).";
}

std::string stopSentence(int stopped, int notStarted, bool changedNothing) {
    if (changedNothing)
        return "sonoscriptor: the stop came after every file had ended; each is reported above as it ended.";
    auto files = [](int n) { return std::to_string(n) + (n == 1 ? " file" : " files"); };
    std::string text = "sonoscriptor: stopped at once";
    if (stopped > 0)
        text += "; no MIDI file was written for the " + files(stopped) + " in progress";
    else if (notStarted == 0)
        text += "; no MIDI file was written";
    if (notStarted > 0)
        text += std::string("; ") + files(notStarted) + (notStarted == 1 ? " was" : " were") + " not started";
    return text + ".";
}

std::string skippedSentence(const std::string &input, const std::vector<std::string> &outputs) {
    std::string names;
    for (size_t i = 0; i < outputs.size(); ++i)
        names += (i == 0 ? "" : i + 1 == outputs.size() ? " and " : ", ") + outputs[i];
    return input + ": skipped; " + names + (outputs.size() == 1 ? " is" : " are") +
           " already in place and whole (--skip-existing).";
}

std::string exitKindWord(int code) {
    static const char *const words[] = {"done",         "cancelled",     "read-failed", "cannot-open",
                                        "unsupported",  "write-failed",  "out-of-memory", "bad-timing",
                                        "engine-failed", "bad-command-line"};
    if (code >= 0 && code < static_cast<int>(sizeof words / sizeof *words))
        return words[code];
    return code >= 128 ? "stopped" : "unknown";
}

std::string reportWriteFailedSentence(const std::string &path, const std::string &cause) {
    return "The report " + path + " could not be written whole (" + cause +
           "): lines of the files that ended are missing from it, the last one may be cut; make sure the disk is "
           "not full.";
}

std::string reportUnwritableSentence(const std::string &path, const std::string &cause) {
    return "The report " + path + " cannot be written (" + cause + "); nothing was transcribed.";
}
