"""Starting zvk serve on images a test makes, and talking to it over raw
HTTP, for the tests of the server (http_test.py, browser_test.py)."""

import argparse
import hashlib
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time


def arguments(extra=None):
    p = argparse.ArgumentParser()
    p.add_argument("--zvk", required=True, help="the zvk program, whose `zvk serve' is tested")
    p.add_argument("--check", required=True, help="zvk_check, the suite's volume checker")
    if extra:
        extra(p)
    return p.parse_args()


class Failure(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Failure(what)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Tools:
    def __init__(self, args, work):
        self.zvk = args.zvk
        self.check_bin = args.check
        self.work = work

    def make(self, name, total, label="TEST"):
        path = os.path.join(self.work, name)
        subprocess.run([self.check_bin, "--make", path, str(total), label], check=True)
        return path

    def check(self, image, residue=False, what=""):
        """The image passes the suite's checker (with residue: what a crash may leave)."""
        cmd = [self.check_bin] + (["--residue"] if residue else []) + [image]
        r = subprocess.run(cmd, capture_output=True, text=True)
        expect(r.returncode == 0, f"checker after {what}: {r.stdout.strip()}")

    def serve(self, *images, options=(), env=None):
        return Server(self.zvk, list(options), list(images), env)


class Server:
    """A running server: its port, token and (after login) cookie."""

    def __init__(self, program, options, images, env=None):
        full = dict(os.environ, **(env or {}))
        self.proc = subprocess.Popen([program, "serve", "--no-open"] + options + images, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=full)
        line = self.proc.stdout.readline().strip()
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", line)
        if not m:
            err = self.proc.stderr.read() if self.proc.poll() is not None else ""
            self.stop()
            raise Failure(f"the server printed {line!r} {err}")
        self.url = line
        self.port = int(m.group(1))
        self.token = m.group(2)
        self.cookie = f"zvk-{self.port}={self.token}"
        self.csrf = None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def kill(self):
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def host(self):
        return f"127.0.0.1:{self.port}"

    # --- requests ---

    def request(self, method, target, body=None, headers=None, host=None, auth=True, csrf=True):
        """One request on its own connection: (status, headers, body bytes)."""
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        c.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
        h = {"Host": host if host is not None else self.host()}
        if auth:
            h["Cookie"] = self.cookie
        if csrf and method not in ("GET", "HEAD"):
            h["X-Zvk-Csrf"] = self.page_csrf()
        if body is not None:
            if isinstance(body, (dict, list)):
                body = json.dumps(body).encode()
                h["Content-Type"] = "application/json"
            h["Content-Length"] = str(len(body))
        elif method not in ("GET", "HEAD"):
            h["Content-Length"] = "0"
        h.update(headers or {})
        for k, v in h.items():
            if v is not None:
                c.putheader(k, v)
        c.endheaders(body)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), data

    def page_csrf(self):
        if self.csrf is None:
            status, _, body = self.request("GET", "/", csrf=False)
            expect(status == 200, f"the page answered {status}")
            m = re.search(rb'name="zvk-csrf" content="([0-9a-f]+)"', body)
            expect(m, "the page carries no anti-CSRF value")
            self.csrf = m.group(1).decode()
        return self.csrf

    def json(self, method, target, body=None, **kw):
        status, headers, data = self.request(method, target, body, **kw)
        try:
            return status, json.loads(data)
        except ValueError:
            return status, {"raw": data.decode(errors="replace")}

    def upload(self, folder, name, data, vol=0, convert=False, replace=False):
        from urllib.parse import quote
        target = (f"/api/upload?vol={vol}&folder={quote(folder)}&name={quote(name)}"
                  f"&convert={int(convert)}&replace={int(replace)}")
        return self.json("PUT", target, data,
                         headers={"Content-Type": "application/octet-stream"})

    def listing(self, path="/", vol=0):
        from urllib.parse import quote
        status, j = self.json("GET", f"/api/list?vol={vol}&path={quote(path)}")
        expect(status == 200, f"listing {path}: {status} {j}")
        return {e["name"]: e for e in j["entries"]}

    def file(self, path, vol=0):
        from urllib.parse import quote
        return self.request("GET", f"/api/file?vol={vol}&path={quote(path)}")

    def raw(self, data, read_after=True, timeout=10):
        """Bytes straight to the socket; the answer's status line and all that came."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        try:
            s.sendall(data)
        except OSError:
            pass
        out = b""
        if read_after:
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    out += chunk
                    if b"\r\n\r\n" in out and content_complete(out):
                        break
            except OSError:
                pass
        s.close()
        return out


def content_complete(resp):
    head, _, body = resp.partition(b"\r\n\r\n")
    m = re.search(rb"(?i)content-length:\s*(\d+)", head)
    return m is None or len(body) >= int(m.group(1))


def status_of(raw):
    m = re.match(rb"HTTP/1\.[01] (\d{3})", raw)
    return int(m.group(1)) if m else None


def run(tests, *args):
    """Run each test function, report and exit 1 on the first failure."""
    for t in tests:
        start = time.time()
        try:
            t(*args)
        except Failure as e:
            print(f"FAIL {t.__name__}: {e}")
            sys.exit(1)
        print(f"ok   {t.__name__} ({time.time() - start:.1f} s)")
        sys.stdout.flush()
