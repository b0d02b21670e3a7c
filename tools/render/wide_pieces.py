#!/usr/bin/python3
"""The pieces of the wide corpus (tools/render/wide.py) and how they are split.

Published music made by others, read at render time from installed Debian
packages (tools/deps.sh, the evaluation list):
  musescore3-common  the demo scores (CC-BY-3.0, CC-BY-SA-4.0), exported to MIDI with `mscore3 -o`
  planetblupi-music-midi  the game's ten MIDI songs (GPL-3+), drums left out
  abcmidi            the example tunes (traditional tunes typed by others), drums left out
The rest is written out in ABC for this corpus (tools/render/abc/, CC0).
Long pieces are cut to excerpts of 20-30 s; some excerpts start a beat or
more before a bar line (a pick-up).

`decide_split` fixes, once, which pieces are for development and which are
held out, and which get a performance; wide.py stores its answer in
wide_split.json and never asks again. The pieces named train-* (added later,
by hand) are neither: the refinement's models are fitted on them beside the
development half, and nothing is judged on them.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wide  # noqa: E402

ABC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "abc")
ABCMIDI_EXAMPLES = "/usr/share/doc/abcmidi/examples"
MUSESCORE_DEMOS = "/usr/share/mscore3-3.2/demos"
BLUPI = "/usr/share/planetblupi/music"
EXPORTS = os.environ.get("WIDE_EXPORTS", "/work/corpus/src")


class Piece:
    """One excerpt: name, where it comes from, what it is, and how to read it (excerpt()); a
    training piece made of another piece's music names it (origin)."""

    def __init__(self, name, source, family, texture, title, read, origin=None):
        self.name, self.source, self.family, self.texture, self.title = name, source, family, texture, title
        self.read, self.origin = read, origin
        self.performance = False       # set from the stored split

    def excerpt(self):
        return self.read()


def musescore_export(demo):
    """The MIDI export of a MuseScore demo score (made once with mscore3, kept in EXPORTS)."""
    src = [f for f in os.listdir(MUSESCORE_DEMOS) if f.rsplit(".", 1)[0] == demo][0]
    out = os.path.join(EXPORTS, "musescore", demo + ".mid")
    if not os.path.exists(out):
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run(["mscore3", "-o", out, os.path.join(MUSESCORE_DEMOS, src)], check=True,
                       env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


def musescore(name, demo, family, texture, start_bar, bars, pickup_q=0.0, origin=None):
    return Piece(name, f"debian:musescore3-common:demos/{demo}", family, texture, demo.replace("_", " "),
                 lambda: wide.excerpt_midi(musescore_export(demo), start_bar, bars, pickup_q), origin)


def blupi(number, start_bar, bars, pickup_q=0.0, name=None):
    path = os.path.join(BLUPI, f"music{number:03d}.mid")
    return Piece(name or f"blupi-{number}", f"debian:planetblupi-music-midi:music{number:03d}.mid", "ensemble",
                 "game band music (drums left out)", f"Planet Blupi, music {number}",
                 lambda: wide.excerpt_midi(path, start_bar, bars, pickup_q, first_bar_q=wide.grid_phase(path)),
                 name and f"blupi-{number}")


def abc_example(name, file, texture, family, pickup_q=0.0, bars=None, number=None):
    path = os.path.join(ABCMIDI_EXAMPLES, file)
    return Piece(name, f"debian:abcmidi:examples/{file}" + (f"#{number}" if number else ""), family, texture,
                 file, lambda: wide.abc_excerpt(path, pickup_q, bars, number=number))


def written(name, family, texture, pickup_q=0.0, bars=None, transpose=0, programs=None, of=None):
    """A piece written out for this corpus: tools/render/abc/NAME.abc (or OF.abc, transposed and
    played by other instruments: {channel: program})."""
    path = os.path.join(ABC_DIR, (of or name) + ".abc")
    with open(path) as f:
        title = next((line[2:].strip() for line in f if line.startswith("T:")), name)
    WRITTEN[name] = (family, texture, pickup_q, bars)
    return Piece(name, f"abc:written:tools/render/abc/{of or name}.abc", family, texture, title,
                 lambda: wide.abc_excerpt(path, pickup_q, bars, transpose=transpose, programs=programs), of)


def variant(of, family, transpose, programs):
    """For training only: a written piece transposed and played by other instruments."""
    _, texture, pickup_q, bars = WRITTEN[of]
    return written(f"train-{of}", family, texture, pickup_q, bars, transpose, programs, of=of)


WRITTEN = {}


PIECES = [
    # published: MuseScore demos
    musescore("ms-reunion", "Reunion", "piano", "piano solo, jazz ballad, tempo changes", 1, 11, pickup_q=2.0),
    musescore("ms-unclaimed-gift", "Unclaimed_Gift", "piano", "piano solo, slow melody", 1, 11, pickup_q=1.5),
    musescore("ms-fugue", "Fugue_1", "strings", "string quartet, fugue", 0, 9),
    musescore("ms-dynamic-strings", "Dynamic_Strings", "strings", "string orchestra, tremolo and pizzicato",
              0, 8),
    musescore("ms-brassed-up", "Brassed_Up", "ensemble", "brass quintet, march in 2/2", 0, 16),
    # published: Planet Blupi's songs
    blupi(0, 8, 12), blupi(1, 4, 12), blupi(2, 8, 12, pickup_q=1.0), blupi(3, 8, 12),
    blupi(4, 20, 10), blupi(5, 10, 14), blupi(6, 8, 10, pickup_q=2.0), blupi(7, 12, 14),
    blupi(8, 14, 10), blupi(9, 4, 12, pickup_q=3.0),
    # published: abcmidi's examples
    abc_example("abc-araber", "araber.abc", "guitar melody, bass, piano chords", "ensemble", pickup_q=1.0,
                bars=12),
    abc_example("abc-baym-rebin", "baym_rebin.abc", "alto sax melody, klezmer", "ensemble", pickup_q=0.5,
                bars=16),
    abc_example("abc-boys", "boys.abc", "jig melody", "piano", pickup_q=0.5),
    abc_example("abc-coleraine", "coleraine.abc", "jig, flute over guitar chords", "ensemble", pickup_q=0.5,
                bars=16),
    abc_example("abc-horses-branle", "demo.abc", "dance tune, dotted rhythms", "piano", number=1, bars=12),
    abc_example("abc-trumpet-hornpipe", "demo.abc", "hornpipe, triplets and dotted rhythms", "piano",
                number=2, bars=12),
    abc_example("abc-new-york-girls", "demo.abc", "song with chords, fast", "piano", pickup_q=1.0, number=5,
                bars=16),
    abc_example("abc-heights-of-alma", "demo.abc", "hornpipe, recorder over pizzicato chords", "ensemble",
                pickup_q=1.0, number=10),
    # written for this corpus
    written("piano-alberti", "piano", "alberti bass"),
    written("piano-broken-prelude", "piano", "broken chords, sixteenths"),
    written("piano-waltz", "piano", "waltz, oom-pah-pah", pickup_q=1.0),
    written("piano-slow-chords", "piano", "slow chords"),
    written("piano-largo-chorale", "piano", "slow chords, very slow", pickup_q=1.0),
    written("piano-rag", "piano", "ragtime, syncopation"),
    written("piano-boogie", "piano", "boogie bass, swing"),
    written("piano-nocturne", "piano", "broken chords in 12/8"),
    written("piano-barcarolle", "piano", "broken chords in 6/8"),
    written("piano-tarantella", "piano", "fast 6/8, running eighths", pickup_q=1.5),
    written("piano-pastorale", "piano", "broken chords in 9/8"),
    written("piano-march", "piano", "march, oom-pah", pickup_q=1.0),
    written("piano-running", "piano", "running 16ths"),
    written("piano-triplets", "piano", "triplet arpeggios, slow"),
    written("piano-minuet", "piano", "two voices, minuet"),
    written("piano-gavotte", "piano", "gavotte, half-bar pick-up", pickup_q=2.0),
    written("piano-hymn", "piano", "hymn chords", pickup_q=3.0),
    written("harpsichord-gigue", "harpsichord", "running eighths in 12/8, two voices", pickup_q=0.5),
    written("harpsichord-bourree", "harpsichord", "bourree in 2/2", pickup_q=1.0),
    written("harpsichord-minuet", "harpsichord", "minuet, bass and chords", pickup_q=1.0),
    written("harpsichord-prelude", "harpsichord", "broken chords, sixteenths"),
    written("organ-passion-chorale", "organ", "chorale, block chords", pickup_q=1.0),
    written("organ-chorale-3-4", "organ", "chorale in triple time"),
    written("organ-jesu", "organ", "triplet melody in 9/8 over chords"),
    written("guitar-arpeggio", "guitar", "arpeggios in 3/4"),
    written("guitar-strum", "guitar", "strummed chords and melody"),
    written("guitar-siciliana", "guitar", "arpeggios in 6/8, dotted rhythm"),
    written("guitar-polka", "guitar", "bass and chords in 2/4"),
    written("violin-jig", "violin", "violin over piano, jig", pickup_q=1.5),
    written("violin-air", "violin", "slow air over held strings"),
    written("violin-hornpipe", "violin", "violin over piano, swing"),
    written("flute-waltz", "flute", "flute over piano, fast waltz"),
    written("flute-slip-jig", "flute", "flute over guitar, 9/8"),
    written("flute-andante", "flute", "flute over strings, 2/4"),
    written("strings-adagio", "strings", "held chords, very slow"),
    written("strings-march", "strings", "march in 2/4"),
    written("strings-siciliano", "strings", "siciliano in 12/8"),
    written("ensemble-swing", "ensemble", "swing, triplets, walking bass, piano comping"),
    written("ensemble-blues", "ensemble", "slow blues shuffle in 12/8"),
    written("ensemble-reel", "ensemble", "fast reel: flute, guitar, bass"),
    written("ensemble-polka", "ensemble", "polka: clarinet, trumpet, tuba", pickup_q=1.0),
    written("ensemble-waltz", "ensemble", "waltz: strings, harp, cello", pickup_q=1.0),
    # for training the refinement's models only (split "train", never scored): other bars of the
    # development pieces' sources, and tunes of abcmidi's examples in neither half
    blupi(1, 40, 12, name="train-blupi-1"), blupi(3, 40, 12, name="train-blupi-3"),
    blupi(5, 40, 14, name="train-blupi-5"), blupi(7, 40, 14, name="train-blupi-7"),
    blupi(9, 40, 12, name="train-blupi-9"), blupi(1, 70, 12, name="train-blupi-1b"),
    blupi(3, 70, 12, name="train-blupi-3b"), blupi(5, 70, 14, name="train-blupi-5b"),
    musescore("train-ms-reunion", "Reunion", "piano", "piano solo, jazz ballad", 12, 10, origin="ms-reunion"),
    musescore("train-ms-fugue", "Fugue_1", "strings", "string quartet, fugue", 10, 9, origin="ms-fugue"),
    musescore("train-ms-fugue-b", "Fugue_1", "strings", "string quartet, fugue", 20, 9, origin="ms-fugue"),
    abc_example("train-abc-smash-the-windows", "demo.abc", "jig", "piano", pickup_q=0.5, number=3),
    abc_example("train-abc-candlemas-eve", "demo.abc", "four-part hymn", "piano", pickup_q=1.0, number=4),
    abc_example("train-abc-friendly-visit", "demo.abc", "hornpipe with chords", "piano", pickup_q=1.0,
                number=6, bars=16),
    abc_example("train-abc-roddy-mccawley", "demo.abc", "flute over arpeggiated chords", "ensemble",
                pickup_q=2.0, number=8, bars=16),
    abc_example("train-abc-dergasn", "dergasn.abc", "klezmer, guitar over chords", "ensemble",
                pickup_q=0.75, bars=24),
    blupi(1, 100, 12, name="train-blupi-1c"), blupi(3, 100, 12, name="train-blupi-3c"),
    blupi(5, 100, 14, name="train-blupi-5c"), blupi(7, 100, 14, name="train-blupi-7c"),
    blupi(9, 100, 12, name="train-blupi-9c"),
    # the development half's written pieces, transposed and played by other instruments
    variant("piano-alberti", "piano", -2, None),
    variant("piano-broken-prelude", "harp", 3, {0: 46, 2: 46}),
    variant("piano-slow-chords", "ensemble", -3, {0: 0, 2: 48}),
    variant("piano-tarantella", "ensemble", 2, {0: 71, 1: 0, 2: 0}),
    variant("piano-march", "ensemble", -5, {0: 56, 1: 61, 2: 58}),
    variant("piano-hymn", "ensemble", 2, {0: 68, 1: 48, 2: 42}),
    variant("piano-minuet", "harpsichord", 2, {0: 6, 1: 6}),
    variant("harpsichord-bourree", "piano", 2, {0: 0, 1: 0, 2: 0}),
    variant("harpsichord-prelude", "guitar", -2, {0: 24, 2: 24}),
    variant("organ-chorale-3-4", "organ", 3, {0: 19, 1: 19, 2: 19}),
    variant("guitar-siciliana", "guitar", 2, {0: 25, 2: 25}),
    variant("guitar-polka", "ensemble", -3, {0: 56, 1: 61, 2: 58}),
    variant("violin-air", "flute", 2, {0: 73, 1: 48, 2: 48}),
    variant("violin-hornpipe", "violin", -2, {0: 40, 1: 24, 2: 24}),
    variant("flute-waltz", "ensemble", 3, {0: 71, 1: 46, 2: 46}),
    variant("flute-slip-jig", "violin", -2, {0: 40, 1: 0, 2: 0}),
    variant("strings-siciliano", "ensemble", 2, {0: 68, 1: 48, 2: 42}),
    variant("ensemble-swing", "ensemble", -2, {0: 56, 1: 4, 2: 4, 3: 33, 4: 4}),
    variant("ensemble-blues", "ensemble", 2, {0: 65, 1: 26, 2: 26, 3: 32, 4: 26}),
    variant("ensemble-waltz", "ensemble", -3, {0: 73, 1: 46, 2: 42}),
]


def traits(piece):
    """What a split must balance: (weight, trait) pairs of a piece."""
    excerpt = piece.excerpt()
    num, den = excerpt.metres[0][1:]
    kind = piece.source.split(":")[0]
    return [(3, "all"), (3, f"metre {num}/{den}"), (2, f"family {piece.family}"),
            (1, f"pick-up {excerpt.pickup_q > 0}"), (1, f"source {kind}")]


def balanced(pieces, labels, traits_of):
    """Gives each piece, in order, the label that leaves the labels' counts of every trait
    most even (weighted); a tie goes to the labels in turn."""
    counts = {label: {} for label in labels}
    out, turn = {}, 0
    for p in pieces:
        tr = traits_of(p)

        def cost(label):
            total = 0
            for weight, t in tr:
                values = [counts[x].get(t, 0) + (x == label) for x in labels]
                total += weight * (max(values) - min(values))
            return total
        costs = [cost(label) for label in labels]
        best = [label for label, c in zip(labels, costs) if c == min(costs)]
        label = best[turn % len(best)]
        turn += len(best) > 1
        for _, t in tr:
            counts[label][t] = counts[label].get(t, 0) + 1
        out[p.name] = label
    return out


def decide_split(pieces):
    """{name: {"split": "dev"|"held", "performance": bool}}, by piece, balanced.

    In the order of metre, instrument family and name, each piece goes to the
    half that keeps the two halves most even in number, metre, instrument
    family, pick-up and kind of source (published or written here); then,
    likewise, each piece gets a performance or not so that the performed and
    the plain pieces are even within each half, metre and family."""
    training = [p for p in pieces if p.name.startswith("train-")]
    pieces = [p for p in pieces if not p.name.startswith("train-")]
    known = {p.name: traits(p) for p in pieces}
    order = sorted(pieces, key=lambda p: (known[p.name][1][1], p.family, p.name))
    split = balanced(order, ("dev", "held"), lambda p: known[p.name])
    performance = balanced(order, (False, True),
                           lambda p: [(w, f"{split[p.name]} {t}") for w, t in known[p.name]])
    out = {p.name: {"split": split[p.name], "performance": performance[p.name]} for p in pieces}
    out.update({p.name: {"split": "train", "performance": i % 2 == 1} for i, p in enumerate(training)})
    return out
