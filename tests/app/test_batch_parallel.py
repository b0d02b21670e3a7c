"""The GNU parallel recipe of docs/batch.md, run on this machine.

Usage: python3 test_batch_parallel.py BUILD_DIR

Three recordings, one of them not audio, go through the recipe with
`--sshlogin :` (this machine, as parallel names it): one sonoscriptor per
recording, its exit code the task's result in parallel's job log, one report
file per task. Checks: the job log holds 0, 0 and 4 (the bad file's code), the
two MIDI files exist, every report line is JSON with the input's exit kind;
then the same recipe again skips the two finished recordings.

Skipped (exit code 77) when GNU parallel is not installed (Debian: parallel).
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

BUILD_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STARTER = os.path.join(BUILD_DIR, "sonoscriptor")
SKIP = 77

# The recipe's command, as docs/batch.md gives it (the starter named by its path here).
RECIPE = ("parallel --sshlogin : --joblog batch.log --halt never "
          "'{starter} -q --tempo 66 --skip-existing --report reports/{{#}}.jsonl -o {{.}}.mid {{}}' "
          ":::: inputs.txt")


def run_recipe(folder):
    """Runs the recipe in folder; the job log's exit value per input."""
    if os.path.exists(os.path.join(folder, "batch.log")):
        os.remove(os.path.join(folder, "batch.log"))
    subprocess.run(RECIPE.format(starter=STARTER), shell=True, cwd=folder,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    codes = {}
    with open(os.path.join(folder, "batch.log")) as log:
        header = log.readline().rstrip("\n").split("\t")
        for line in log:
            fields = dict(zip(header, line.rstrip("\n").split("\t")))
            codes[fields["Command"].split()[-1]] = int(fields["Exitval"])
    return codes


def report_lines(folder):
    """Every line of every task's report, parsed."""
    lines = []
    for path in sorted(glob.glob(os.path.join(folder, "reports", "*.jsonl"))):
        with open(path) as f:
            lines += [json.loads(line) for line in f]
    return lines


def main():
    if shutil.which("parallel") is None:
        print("GNU parallel is not installed (Debian package parallel): the recipe is not tested")
        return SKIP
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    with tempfile.TemporaryDirectory() as folder:
        example = os.path.join(SOURCE_DIR, "examples", "prelude.wav")
        for name in ("one.wav", "two.wav"):
            shutil.copy(example, os.path.join(folder, name))
        with open(os.path.join(folder, "bad.wav"), "w") as f:
            f.write("not audio")
        os.mkdir(os.path.join(folder, "reports"))
        with open(os.path.join(folder, "inputs.txt"), "w") as f:
            f.write("one.wav\nbad.wav\ntwo.wav\n")

        codes = run_recipe(folder)
        check(codes == {"one.wav": 0, "bad.wav": 4, "two.wav": 0}, "job log exit values %s" % codes)
        for name in ("one.mid", "two.mid"):
            check(os.path.isfile(os.path.join(folder, name)), name + " written")
        kinds = {line["input"]: line["exit_kind"] for line in report_lines(folder)}
        check(kinds == {"one.wav": "done", "bad.wav": "unsupported", "two.wav": "done"}, "reports %s" % kinds)

        codes = run_recipe(folder)
        check(codes == {"one.wav": 0, "bad.wav": 4, "two.wav": 0}, "second job log %s" % codes)
        skipped = [line["input"] for line in report_lines(folder) if line["exit_kind"] == "skipped"]
        check(sorted(skipped) == ["one.wav", "two.wav"], "skipped on the second run: %s" % skipped)

    for f in failures:
        print("FAILED:", f)
    print("ok" if not failures else "%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
