"""A running `sonoscriptor serve` for the tests, and a plain HTTP client for it.

The server is started on a free port with a private TMPDIR; its address is read
from the line it prints. Requests go straight to the socket (http.client), never
through a proxy.
"""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

BUILD_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "build"
STARTER = os.path.join(BUILD_DIR, "sonoscriptor")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
PRELUDE = os.path.join(SOURCE_DIR, "examples", "prelude.wav")
MINUET = os.path.join(SOURCE_DIR, "examples", "minuet-ritardando.wav")


class Server:
    """sonoscriptor serve with its own TMPDIR, stopped and checked by stop()."""

    def __init__(self, *args):
        self.tmp = tempfile.mkdtemp(prefix="serve-test-")
        env = dict(os.environ, TMPDIR=self.tmp)
        self.process = subprocess.Popen([STARTER, "serve", "--port", "0", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env)
        line = self.process.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            self.process.kill()
            raise AssertionError("the server printed no address: " + line + self.process.stderr.read())
        self.port = int(found.group(1))

    def request(self, method, path, body=None, headers=None):
        """(status, headers, body bytes) of one request."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        conn.request(method, path, body=body, headers=headers or {})
        res = conn.getresponse()
        data = res.read()
        conn.close()
        return res.status, dict(res.getheaders()), data

    def json(self, method, path, body=None, headers=None):
        status, _, data = self.request(method, path, body, headers)
        return status, (json.loads(data) if data else None)

    def upload(self, path, fields=(), name=None, headers=None):
        """POSTs a recording with option fields; (status, answer)."""
        body, content_type = multipart(path, fields, name)
        return self.json("POST", "/api/transcriptions", body, dict({"Content-Type": content_type}, **(headers or {})))

    def upload_refused(self, path, headers=None, chunked=False):
        """POSTs a recording on a raw socket (of a declared length, or in chunks of 64 KiB),
        reading the answer even when the server stops the upload early and closes; (status, answer)."""
        body, content_type = multipart(path, ())
        return self.post_refused(body, content_type, headers, chunked)

    def post_refused(self, body, content_type, headers=None, chunked=False):
        """POSTs a form's body as upload_refused does; (status, answer)."""
        size = {"Transfer-Encoding": "chunked"} if chunked else {"Content-Length": str(len(body))}
        if chunked:
            body = b"".join(b"%x\r\n" % len(body[i:i + 65536]) + body[i:i + 65536] + b"\r\n"
                            for i in range(0, len(body), 65536)) + b"0\r\n\r\n"
        fields = dict({"Host": f"127.0.0.1:{self.port}", "Content-Type": content_type,
                       **size, "Connection": "close"}, **(headers or {}))
        head = "POST /api/transcriptions HTTP/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in fields.items()) + "\r\n"
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            try:
                s.sendall(head.encode() + body)
            except (BrokenPipeError, ConnectionResetError):
                pass
            answer = b""
            try:
                while chunk := s.recv(65536):
                    answer += chunk
            except ConnectionResetError:
                pass
        status_line, _, rest = answer.partition(b"\r\n")
        return int(status_line.split()[1]), json.loads(rest.partition(b"\r\n\r\n")[2])

    def wait(self, job_id, timeout=120, seen=None):
        """Polls a transcription until it ends; its last view. Every view goes into seen."""
        end = time.time() + timeout
        while time.time() < end:
            status, view = self.json("GET", "/api/transcriptions/" + job_id)
            assert status == 200, (status, view)
            if seen is not None:
                seen.append(view)
            if view["state"] not in ("queued", "running"):
                return view
            time.sleep(0.02)
        raise AssertionError("the transcription did not end")

    def leftovers(self):
        """Everything under the server's TMPDIR."""
        found = []
        for root, dirs, files in os.walk(self.tmp):
            found += [os.path.join(root, n) for n in dirs + files]
        return found

    def stop(self, sig=signal.SIGTERM):
        """Stops the server with a signal; its exit code."""
        self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout=30)
        finally:
            self.process.stdout.close()
            self.process.stderr.close()
        return code

    def cleanup(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if not stream.closed:
                stream.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


def multipart(path, fields, name=None):
    """A multipart/form-data body with the file in the field audio; (body, content type)."""
    boundary = uuid.uuid4().hex
    parts = []
    for key, value in fields:
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{key}"\r\n\r\n{value}\r\n'.encode())
    with open(path, "rb") as f:
        data = f.read()
    filename = name if name is not None else os.path.basename(path)
    parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="audio"; filename="{filename}"\r\n'
                 f'Content-Type: application/octet-stream\r\n\r\n'.encode() + data + b"\r\n")
    parts.append(f"--{boundary}--\r\n".encode())
    return b"".join(parts), "multipart/form-data; boundary=" + boundary


def command(*args, cwd=None):
    """Runs the sonoscriptor command; the CompletedProcess."""
    return subprocess.run([os.path.abspath(STARTER), "-q", *args], capture_output=True, text=True, timeout=120,
                          cwd=cwd)
