"""The JSON API of `sonoscriptor serve` against a running server.

Usage: python3 test_serve_api.py BUILD_DIR

Upload with options, progress, results equal to the command's for the same
options, two transcriptions at once, cancel and removal, bad audio ending with
the command's sentence, the upload limit (413), requests of other sites and
other hosts refused, option fields that would name files refused, and SIGTERM
removing every upload and result.
"""
import json
import os
import shutil
import signal
import tempfile
import time
import unittest
import wave

from serving import MINUET, PRELUDE, Server, command


def longer_recording(path, repeats, source=MINUET):
    """A bundled example repeated: a recording that takes a few seconds to transcribe."""
    with wave.open(source, "rb") as w:
        params, frames = w.getparams(), w.readframes(w.getnframes())
    with wave.open(path, "wb") as out:
        out.setparams(params)
        out.writeframes(frames * repeats)


class ServeApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server("-j", "2")
        cls.dir = tempfile.mkdtemp(prefix="serve-api-")

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def command_outputs(self, recording, *options):
        """The MIDI bytes, score bytes and note list of the command for the same options."""
        name = os.path.splitext(os.path.basename(recording))[0]
        mid, xml, notes = (os.path.join(self.dir, name + ext) for ext in (".mid", ".musicxml", ".json"))
        for p in (mid, xml, notes):
            if os.path.exists(p):
                os.remove(p)
        r = command(*options, recording, "-o", mid, "--musicxml", xml, "--notes", notes)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(mid, "rb") as a, open(xml, "rb") as b, open(notes, "rb") as c:
            return a.read(), b.read(), c.read()

    def results(self, job_id):
        out = []
        for name in ("result.mid", "result.musicxml", "notes.json"):
            status, headers, data = self.server.request("GET", f"/api/transcriptions/{job_id}/{name}")
            self.assertEqual(status, 200, data)
            out.append(data)
        return out

    def test_upload_progress_and_results_equal_the_commands(self):
        status, answer = self.server.upload(PRELUDE, [("tempo", "66"), ("key", "C")])
        self.assertEqual(status, 201, answer)
        seen = []
        view = self.server.wait(answer["id"], seen=seen)
        self.assertEqual(view["state"], "done", view)
        self.assertIsNone(view["error"])
        self.assertEqual(view["progress"], 1)
        self.assertTrue(view["summary"].startswith("prelude.wav -> result.mid and result.musicxml: 64 notes"),
                        view["summary"])
        progress = [v["progress"] for v in seen]
        self.assertEqual(progress, sorted(progress))
        self.assertTrue(any(v["stage"] == "transcribing" for v in seen), seen)
        self.assertEqual(self.results(answer["id"]), list(self.command_outputs(PRELUDE, "--tempo", "66", "--key", "C")))

    def test_two_at_once(self):
        # each lasts long enough that the second upload and the polls meet both running, however
        # slow the machine: the bare examples take a tenth of a second, less than an upload may
        recordings = [os.path.join(self.dir, name) for name in ("minuet-three-times.wav", "prelude-six-times.wav")]
        longer_recording(recordings[0], 3)
        longer_recording(recordings[1], 6, PRELUDE)
        ids = [self.server.upload(p)[1]["id"] for p in recordings]
        views, both_running = {}, False
        while len(views) < 2:
            # the first asked again after the second: running both times, it ran while the second did
            states = []
            for job_id in (ids[0], ids[1], ids[0]):
                status, view = self.server.json("GET", "/api/transcriptions/" + job_id)
                states.append(view["state"])
                if view["state"] not in ("queued", "running"):
                    views[job_id] = view
            both_running = both_running or states == ["running"] * 3
        self.assertTrue(both_running)
        self.assertEqual([views[i]["state"] for i in ids], ["done", "done"])
        self.assertEqual(self.results(ids[0]), list(self.command_outputs(recordings[0])))
        self.assertEqual(self.results(ids[1]), list(self.command_outputs(recordings[1])))

    def test_cancel_then_remove(self):
        long = os.path.join(self.dir, "long.wav")
        longer_recording(long, 6)
        status, answer = self.server.upload(long)
        job = "/api/transcriptions/" + answer["id"]
        end = time.time() + 120
        while self.server.json("GET", job)[1]["stage"] != "transcribing":
            self.assertLess(time.time(), end, "the engine never ran")
            time.sleep(0.01)
        self.assertEqual(self.server.json("DELETE", job), (202, {"id": answer["id"], "state": "cancelling"}))
        view = self.server.wait(answer["id"])
        self.assertEqual(view["state"], "cancelled", view)
        def folders():
            return {p for p in self.server.leftovers() if os.path.basename(p).startswith("job-")}
        before = folders()
        status, _, _ = self.server.request("DELETE", job)
        self.assertEqual(status, 204)
        self.assertEqual(self.server.json("GET", job)[0], 404)
        self.assertEqual(len(before - folders()), 1)

    def test_bad_audio_ends_with_the_commands_sentence(self):
        bad = os.path.join(self.dir, "bad.wav")
        with open(bad, "wb") as f:
            f.write(b"RIFF\x10\x00\x00\x00WAVEnot audio at all" * 50)
        status, answer = self.server.upload(bad)
        self.assertEqual(status, 201)
        view = self.server.wait(answer["id"])
        self.assertEqual(view["state"], "failed")
        r = command("bad.wav", cwd=self.dir)
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual("sonoscriptor: bad.wav: " + view["error"], r.stderr.strip())
        self.assertEqual(self.server.json("GET", "/api/transcriptions/" + answer["id"] + "/result.mid")[0], 409)

    def test_other_sites_and_hosts_are_refused(self):
        before = self.server.leftovers()
        # Refused before the upload is read: the answer may come while the body is still being sent.
        status, answer = self.server.upload_refused(PRELUDE, headers={"Origin": "http://example.com"})
        self.assertEqual(status, 403)
        self.assertIn("other sites", answer["error"])
        status, answer = self.server.upload_refused(PRELUDE, headers={"Host": f"attacker.example:{self.server.port}"})
        self.assertEqual(status, 403)
        self.assertEqual(self.server.leftovers(), before)
        status, _ = self.server.upload(PRELUDE, [("tempo", "66")],
                                       headers={"Origin": f"http://127.0.0.1:{self.server.port}"})
        self.assertEqual(status, 201)

    def test_fields_that_name_files_are_refused_and_names_stay_names(self):
        for field in (("settings", "/etc/passwd"), ("tempo-map", "/etc/passwd"), ("output", "/tmp/x.mid"),
                      ("set", "WaveFile=/etc/passwd"), ("notes", "/tmp/x.csv")):
            status, answer = self.server.upload(PRELUDE, [field])
            self.assertEqual(status, 400, field)
            self.assertIn("not an option the server takes", answer["error"])
        status, answer = self.server.upload(PRELUDE, [("tempo", "fast")])
        self.assertEqual(status, 400)
        self.assertIn("--tempo", answer["error"])
        status, answer = self.server.upload(PRELUDE, [("tempo", "66")], name="../../evil/../prelude.wav")
        view = self.server.wait(answer["id"])
        self.assertEqual(view["name"], "prelude.wav")
        status, headers, _ = self.server.request("GET", f"/api/transcriptions/{answer['id']}/result.mid")
        self.assertEqual(headers["Content-Disposition"],
                         "attachment; filename=\"prelude.mid\"; filename*=UTF-8''prelude.mid")
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.server.tmp), "evil")))
        self.assertEqual(self.server.json("GET", "/api/transcriptions/" + "0" * 32)[0], 404)

    def test_a_download_keeps_a_name_beyond_ascii(self):
        status, answer = self.server.upload(PRELUDE, [("end", "2")], name="Prélude n°1.wav")
        self.assertEqual(status, 201, answer)
        self.assertEqual(self.server.wait(answer["id"])["state"], "done")
        status, headers, _ = self.server.request("GET", f"/api/transcriptions/{answer['id']}/notes.json")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Disposition"],
                         "attachment; filename=\"Pr__lude n__1.json\"; filename*=UTF-8''Pr%C3%A9lude%20n%C2%B01.json")

    def test_a_part_without_a_readable_name_is_refused_with_a_sentence_that_says_so(self):
        with open(PRELUDE, "rb") as f:
            audio = f.read()
        for disposition in (b'form-data; filename="a.wav"', b'form-data; name="audio"; filename="a\rX-Evil: 1.wav"'):
            body = b"--b0undary\r\nContent-Disposition: " + disposition + b"\r\n\r\n" + audio + b"\r\n--b0undary--\r\n"
            status, answer = self.server.post_refused(body, "multipart/form-data; boundary=b0undary")
            self.assertEqual(status, 400, disposition)
            self.assertIn("no field name", answer["error"])


class ServeLimits(unittest.TestCase):
    def test_413_above_the_upload_limit(self):
        server = Server("--max-upload", "100000")
        try:
            status, answer = server.upload_refused(PRELUDE)
            self.assertEqual(status, 413)
            self.assertIn("--max-upload", answer["error"])
            self.assertEqual(server.leftovers(), [server.tmp + "/" + os.listdir(server.tmp)[0]])
        finally:
            server.cleanup()

    def test_413_above_the_upload_limit_for_an_upload_sent_in_chunks(self):
        server = Server("--max-upload", "100000")
        try:
            status, answer = server.upload_refused(PRELUDE, chunked=True)
            self.assertEqual(status, 413)
            self.assertIn("--max-upload", answer["error"])
            self.assertEqual(server.leftovers(), [server.tmp + "/" + os.listdir(server.tmp)[0]])
        finally:
            server.cleanup()

    def test_sigterm_removes_every_upload_and_result(self):
        server = Server("-j", "1")
        try:
            status, answer = server.upload(PRELUDE, [("tempo", "66")])
            server.wait(answer["id"])
            server.upload(MINUET)
            self.assertTrue(server.leftovers())
            self.assertEqual(server.stop(signal.SIGTERM), 0)
            self.assertEqual(server.leftovers(), [])
        finally:
            server.cleanup()


if __name__ == "__main__":
    unittest.main()
