"""Starting the command's web server (`anagrams --serve`) as a subprocess on
a free port of 127.0.0.1, and talking to it: JSON answers, the stream of a
search line by line, and the server's count of running engine calls."""

import json
import os
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request
from http.client import HTTPConnection

from cli_run import argv, command_env


class Server:
    def __init__(self, *args):
        self.proc = subprocess.Popen(argv("--serve", *args), env=command_env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if "http://" not in line:
            self.proc.kill()
            raise RuntimeError("the server did not start: " + line + self.proc.stderr.read())
        self.url = line.split("at ", 1)[1].split()[0].rstrip("/")
        self.host, port = urllib.parse.urlsplit(self.url).netloc.rsplit(":", 1)
        self.port = int(port)

    def get(self, path, **params):
        """(status, JSON body) of a GET."""
        url = self.url + path + ("?" + urllib.parse.urlencode(params, doseq=True) if params else "")
        try:
            with urllib.request.urlopen(url, timeout=30) as r:
                return r.status, json.load(r)
        except urllib.error.HTTPError as e:
            return e.code, json.load(e)

    def stream(self, **params):
        """A search as an open connection and an iterator over its lines."""
        conn = HTTPConnection(self.host, self.port, timeout=30)
        conn.request("GET", "/api/search?" + urllib.parse.urlencode(params, doseq=True))
        response = conn.getresponse()

        def lines():
            for raw in response:
                if raw.strip():
                    yield json.loads(raw)
        return conn, response, lines()

    def search(self, **params):
        """Every line of a search that runs to its end."""
        conn, response, lines = self.stream(**params)
        try:
            return list(lines)
        finally:
            conn.close()

    def running(self):
        return self.get("/api/status")[1]["running"]

    def wait_idle(self, seconds=20):
        """Waits for the server's running engine calls to come back to zero."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.running() == 0:
                return True
            time.sleep(0.02)
        return False

    def rss_mib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        raise RuntimeError("no VmRSS")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def web_stack_missing():
    import importlib.util
    return [m for m in ("starlette", "uvicorn") if importlib.util.find_spec(m) is None]


os.environ.setdefault("NO_PROXY", "127.0.0.1,localhost")
