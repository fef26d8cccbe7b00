"""zvk serve over raw HTTP: what an attacker's page or a careless client
may send (no token, a wrong one, a foreign Host, cross-origin changes,
".." paths, oversized bodies, changes to read-only volumes) is refused
with the volume unchanged; and the faults: a volume that fills up in the
middle of a folder upload, the server killed during uploads, forty
requests at once."""

import fcntl
import io
import os
import socket
import tempfile
import threading
import struct
import tarfile
import time
import wave
import zipfile

from serve_support import Failure, Tools, arguments, digest, expect, run, status_of

MAX_BODY = 65535 * 512


def fresh(tools, name, total=4000):
    return tools.make(name, total)


def test_token_and_cookie(tools):
    img = fresh(tools, "auth.img")
    srv = tools.serve(img)
    try:
        # Without the token or cookie every path is refused alike.
        for method, target in [("GET", "/"), ("GET", "/api/volumes"), ("GET", "/no/such/page"),
                               ("GET", "/app.js"), ("POST", "/api/mkdir"), ("PUT", "/api/upload?vol=0")]:
            status, _, _ = srv.request(method, target, auth=False, csrf=False)
            expect(status == 401, f"{method} {target} without the token: {status}")
        status, _, _ = srv.request("GET", "/?token=" + "0" * len(srv.token), auth=False)
        expect(status == 401, f"a wrong token: {status}")
        status, _, _ = srv.request("GET", "/?token=", auth=False)
        expect(status == 401, f"an empty token: {status}")
        status, _, _ = srv.request("GET", "/", auth=False, headers={"Cookie": f"zvk-{srv.port}=" + "1" * 64})
        expect(status == 401, f"a wrong cookie: {status}")
        # The cookie of another port (another server) is not ours.
        status, _, _ = srv.request("GET", "/", auth=False, headers={"Cookie": f"zvk-{srv.port + 1}={srv.token}"})
        expect(status == 401, f"the token under another port's cookie: {status}")
        # The token: a cookie, and an address without it.
        status, h, _ = srv.request("GET", f"/?token={srv.token}&x=1", auth=False)
        expect(status == 303, f"the right token: {status}")
        expect(h.get("location") == "/?x=1", f"redirect to {h.get('location')}")
        cookie = h.get("set-cookie", "")
        for part in (f"zvk-{srv.port}={srv.token}", "HttpOnly", "SameSite=Strict", "Path=/"):
            expect(part in cookie, f"cookie {cookie!r} lacks {part}")
        status, h, body = srv.request("GET", "/")
        expect(status == 200 and b"zvk serve" in body, f"the page with the cookie: {status}")
        expect(h.get("content-security-policy") == "default-src 'self'", f"CSP {h.get('content-security-policy')}")
        expect("access-control-allow-origin" not in h, "a CORS header")
        # Small enough for a page without a build step.
        total = sum(len(srv.request("GET", p)[2]) for p in ("/", "/app.js", "/map.js", "/style.css"))
        expect(total < 150 * 1024, f"the page weighs {total} bytes")
    finally:
        srv.stop()


def test_host_header(tools):
    img = fresh(tools, "host.img")
    srv = tools.serve(img)
    try:
        for host in (f"127.0.0.1:{srv.port}", f"localhost:{srv.port}", f"[::1]:{srv.port}"):
            status, _, _ = srv.request("GET", "/api/volumes", host=host)
            expect(status == 200, f"Host {host}: {status}")
        before = digest(img)
        for host in ("evil.example", f"evil.example:{srv.port}", f"127.0.0.1:{srv.port + 1}", "127.0.0.1",
                     "localhost", f"127.0.0.1.evil.example:{srv.port}", f"LOCALHOST:{srv.port}x", ""):
            for method, target in (("GET", "/"), ("GET", "/api/list?vol=0&path=/"),
                                   ("POST", "/api/mkdir")):
                body = {"vol": 0, "path": "/", "name": "REBOUND"} if method == "POST" else None
                status, _, _ = srv.request(method, target, body, host=host)
                expect(status == 403, f"Host {host!r} {method} {target}: {status}")
        # No Host header at all.
        raw = srv.raw(f"GET /api/volumes HTTP/1.1\r\nCookie: {srv.cookie}\r\n\r\n".encode())
        expect(status_of(raw) == 403, f"no Host header: {raw[:40]!r}")
        expect(digest(img) == before, "the image changed")
    finally:
        srv.stop()


def test_cross_origin_changes(tools):
    img = fresh(tools, "csrf.img")
    srv = tools.serve(img)
    try:
        before = digest(img)
        body = {"vol": 0, "path": "/", "name": "EVIL"}
        cases = [
            ({}, False),                                              # no anti-CSRF header
            ({"X-Zvk-Csrf": "0" * 32}, False),                        # a guessed one
            ({"Origin": "http://evil.example"}, True),                # the right header, another origin
            ({"Origin": f"http://127.0.0.1:{srv.port + 1}"}, True),   # another port is another site
            ({"Origin": "null"}, True),
            ({"Sec-Fetch-Site": "cross-site"}, True),
            ({"Sec-Fetch-Site": "same-site"}, True),
        ]
        for headers, with_csrf in cases:
            for target in ("/api/mkdir", "/api/delete", "/api/check"):
                status, _, _ = srv.request("POST", target, body, headers=headers, csrf=with_csrf)
                expect(status == 403, f"{target} with {headers} (csrf {with_csrf}): {status}")
            status, _, _ = srv.request("PUT", "/api/upload?vol=0&folder=/&name=EVIL.BIN", b"x" * 600,
                                       headers=headers, csrf=with_csrf)
            expect(status == 403, f"upload with {headers}: {status}")
        expect(digest(img) == before, "a refused change changed the image")
        # The page's own request goes through (its origin, its header).
        status, j = srv.json("POST", "/api/mkdir", body, headers={"Origin": f"http://127.0.0.1:{srv.port}",
                                                                   "Sec-Fetch-Site": "same-origin"})
        expect(status == 200, f"the page's own change: {status} {j}")
        tools.check(img, what="mkdir")
    finally:
        srv.stop()


def test_dot_dot(tools):
    work = tempfile.mkdtemp(dir=tools.work)
    marker = "MARKER-" + os.urandom(8).hex()
    for where in (os.path.join(work, "secret.txt"), os.path.join(tools.work, "secret.txt")):
        with open(where, "w") as f:
            f.write(marker)
    img = tools.make(os.path.join(work, "dots.img"), 4000)
    srv = tools.serve(img)
    try:
        st, _ = srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/", "name": "A"})
        expect(st == 200, "mkdir A")
        st, _ = srv.upload("/A", "F.BIN", b"f" * 700)
        expect(st == 200, "upload A/F.BIN")
        before = digest(img)
        names = ["secret.txt", "dots.img", "etc/passwd"]
        ups = ["..", "%2e%2e", "%2E%2E", ".%2e", "%2e.", "%252e%252e", "..%2f..", "%2e%2e%2f%2e%2e", "..%5c..",
               "....//", ".", "%2e"]
        targets = []
        for up in ups:
            for n in names:
                targets += [f"/{up}/{n}", f"/{up}/{up}/{up}/{n}", f"/app.js/{up}/{n}", f"/static/{up}/{n}",
                            f"/api/file?vol=0&path=/{up}/{n}", f"/api/file?vol=0&path={up}/{up}/{n}",
                            f"/api/file?vol=0&path=/A/{up}/{up}/{n}", f"/api/list?vol=0&path=/{up}",
                            f"/api/list?vol=0&path=/A/{up}/{up}", f"/api/archive?vol=0&path=/{up}&format=tar",
                            f"/api/tree?vol=0&path=/{up}"]
        for t in targets:
            status, _, body = srv.request("GET", t)
            expect(marker.encode() not in body and b"root:" not in body, f"GET {t} read a host file")
            named = t.split("path=")[1] if t.startswith(("/api/file", "/api/list")) else ""
            if ".." in named or "%2e%2e" in named.lower():
                expect(status in (400, 404), f"GET {t}: {status}")
        # Changes with ".." paths and names reach nothing either.
        for up in ("..", "../..", "/A/../..", "A/.."):
            for target, body in (("/api/mkdir", {"vol": 0, "path": up, "name": "X"}),
                                 ("/api/mkdir", {"vol": 0, "path": "/", "name": up}),
                                 ("/api/rename", {"vol": 0, "path": "/A/F.BIN", "name": up}),
                                 ("/api/move", {"vol": 0, "path": "/A/F.BIN", "folder": up}),
                                 ("/api/delete", {"vol": 0, "path": up})):
                status, _ = srv.json("POST", target, body)
                expect(status in (400, 404), f"{target} {body}: {status}")
            status, _ = srv.upload(up, "X.BIN", b"x" * 10)
            expect(status in (400, 404), f"upload into {up}: {status}")
            status, _ = srv.upload("/", up + "/X.BIN", b"x" * 10)
            expect(status in (400, 404), f"upload as {up}/X.BIN: {status}")
        expect(digest(img) == before, "a '..' request changed the image")
        with open(os.path.join(work, "secret.txt")) as f:
            expect(f.read() == marker, "a host file changed")
        expect(sorted(os.listdir(work)) == ["dots.img", "secret.txt"], f"host files: {os.listdir(work)}")
    finally:
        srv.stop()


def test_oversized_bodies(tools):
    img = fresh(tools, "big.img", 80000)
    srv = tools.serve(img)
    try:
        before = digest(img)
        head = (f"PUT /api/upload?vol=0&folder=/&name=BIG.BIN HTTP/1.1\r\nHost: {srv.host()}\r\n"
                f"Cookie: {srv.cookie}\r\nX-Zvk-Csrf: {srv.page_csrf()}\r\n")
        # Only the headers go: the answer comes before any of the body.
        for length in (MAX_BODY + 1, 10 ** 12, 2 ** 64 + 5):
            raw = srv.raw((head + f"Content-Length: {length}\r\n\r\n").encode())
            expect(status_of(raw) == 413, f"Content-Length {length}: {raw[:60]!r}")
        raw = srv.raw((head + "Content-Length: 12abc\r\n\r\n").encode())
        expect(status_of(raw) == 413, f"a Content-Length that is no number: {raw[:60]!r}")
        # A small change request with a large body.
        raw = srv.raw((f"POST /api/mkdir HTTP/1.1\r\nHost: {srv.host()}\r\nCookie: {srv.cookie}\r\n"
                       f"X-Zvk-Csrf: {srv.page_csrf()}\r\nContent-Length: 1000000\r\n\r\n").encode())
        expect(status_of(raw) == 413, f"a 1 MB mkdir: {raw[:60]!r}")
        # No length at all, or chunked: refused, as their size is unknown.
        raw = srv.raw((head + "Transfer-Encoding: chunked\r\n\r\n10\r\n0123456789abcdef\r\n0\r\n\r\n").encode())
        expect(status_of(raw) == 411, f"a chunked upload: {raw[:60]!r}")
        raw = srv.raw((head + "\r\n").encode() + b"x" * 1000)
        expect(status_of(raw) == 411, f"an upload without a length: {raw[:60]!r}")
        # The largest file a volume holds still goes in, and comes back.
        data = os.urandom(MAX_BODY)
        status, j = srv.upload("/", "MAX.BIN", data)
        expect(status == 200, f"a 65,535-block upload: {status} {j}")
        status, _, got = srv.file("/MAX.BIN")
        expect(status == 200 and got == data, "the largest file read back")
        tools.check(img, what="the largest upload")
        before = digest(img)
        # More than the free blocks (the volume has about 14,000 left).
        raw = srv.raw((head.replace("BIG.BIN", "MORE.BIN") + f"Content-Length: {MAX_BODY}\r\n\r\n").encode())
        expect(status_of(raw) == 507, f"an upload larger than the free space: {raw[:60]!r}")
        expect(digest(img) == before, "a refused upload changed the image")
        # A client that asks first ("Expect: 100-continue") hears the refusal
        # instead of the invitation to send.
        ask = head.replace("BIG.BIN", "ASK.BIN") + "Expect: 100-continue\r\n"
        raw = srv.raw((ask + f"Content-Length: {MAX_BODY}\r\n\r\n").encode())
        expect(status_of(raw) == 507 and b"100 Continue" not in raw, f"asking for too much: {raw[:60]!r}")
        raw = srv.raw((ask.replace(srv.cookie, "x=1") + "Content-Length: 10\r\n\r\n").encode())
        expect(status_of(raw) == 401 and b"100 Continue" not in raw, f"asking without the cookie: {raw[:60]!r}")
        raw = srv.raw((ask + "Content-Length: 600\r\n\r\n").encode(), read_after=True, timeout=3)
        expect(status_of(raw) == 100, f"asking for a small upload: {raw[:60]!r}")
        expect(digest(img) == before, "the questions changed the image")
    finally:
        srv.stop()


def test_uploads_on_one_connection(tools):
    img = fresh(tools, "keep.img", 20000)
    srv = tools.serve(img)
    try:
        one, two = os.urandom(5000), os.urandom(3 * 1024 * 1024 + 7)
        head = ("PUT /api/upload?vol=0&folder=/&name={} HTTP/1.1\r\nHost: " + srv.host() + "\r\nCookie: " +
                srv.cookie + "\r\nX-Zvk-Csrf: " + srv.page_csrf() + "\r\nContent-Length: {}\r\n\r\n")
        # Two uploads and a listing sent at once on one connection: each
        # body is taken whole, and the next request after it is found.
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=30)
        s.sendall(head.format("ONE.BIN", len(one)).encode() + one + head.format("TWO.BIN", len(two)).encode() + two +
                  f"GET /api/list?vol=0&path=/ HTTP/1.1\r\nHost: {srv.host()}\r\nCookie: {srv.cookie}\r\n\r\n".encode())
        got = b""
        while got.count(b"HTTP/1.1 ") < 3 or b'"entries"' not in got or not got.rstrip().endswith(b"}"):
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        s.close()
        expect(got.count(b"HTTP/1.1 200") == 3, f"answers: {got[:600]!r}")
        expect(b"ONE.BIN" in got and b"TWO.BIN" in got, "the listing after the uploads")
        for name, data in (("ONE.BIN", one), ("TWO.BIN", two)):
            status, _, back = srv.file("/" + name)
            expect(back[:len(data)] == data, f"{name} read back differs")
        # A client that stops in the middle of a body leaves nothing.
        before = digest(img)
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=30)
        s.sendall(head.format("CUT.BIN", len(two)).encode() + two[:len(two) // 2])
        s.close()
        time.sleep(0.5)
        expect(digest(img) == before and "CUT.BIN" not in srv.listing("/"), "a cut upload left something")
        tools.check(img, what="uploads on one connection")
    finally:
        srv.stop()


def read_answer(f):
    """The body of one answer read from f, a chunked one decoded strictly."""
    status = f.readline()
    expect(status.startswith(b"HTTP/1.1 200"), f"answer: {status!r}")
    headers = {}
    while (line := f.readline()) not in (b"\r\n", b""):
        k, _, v = line.decode().partition(":")
        headers[k.strip().lower()] = v.strip()
    if "content-length" in headers:
        return f.read(int(headers["content-length"]))
    expect(headers.get("transfer-encoding") == "chunked", f"headers: {headers}")
    body = b""
    while True:
        size_line = f.readline()
        expect(size_line.endswith(b"\r\n"), f"chunk size line {size_line!r}")
        n = int(size_line, 16)
        data = f.read(n + 2)
        expect(data.endswith(b"\r\n") and len(data) == n + 2, "a chunk not ended by CRLF")
        if n == 0:
            return body
        body += data[:-2]


def test_downloads_on_one_connection(tools):
    img = fresh(tools, "down.img", 20000)
    srv = tools.serve(img)
    try:
        files = {"A.BIN": os.urandom(5000), "B.BIN": os.urandom(300 * 1024), "C.BIN": os.urandom(1200 * 1024 + 3)}
        srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/", "name": "D"})
        for name, data in files.items():
            status, j = srv.upload("/D", name, data)
            expect(status == 200, f"upload {name}: {status} {j}")
        # The archives' chunks go straight to the socket: both come whole and
        # strictly framed, and the connection still carries a request after.
        s = socket.create_connection(("127.0.0.1", srv.port), timeout=60)
        f = s.makefile("rb")
        got = {}
        for fmt in ("tar", "zip", "list"):
            target = "/api/list?vol=0&path=/D" if fmt == "list" else f"/api/archive?vol=0&path=/D&format={fmt}"
            s.sendall(f"GET {target} HTTP/1.1\r\nHost: {srv.host()}\r\nCookie: {srv.cookie}\r\n\r\n".encode())
            got[fmt] = read_answer(f)
        f.close()
        s.close()
        tar = tarfile.open(fileobj=io.BytesIO(got["tar"]))
        back = {m.name.split("/")[-1]: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}
        expect({k: v[:len(files[k])] for k, v in back.items()} == files, "the tar's files differ")
        z = zipfile.ZipFile(io.BytesIO(got["zip"]))
        back = {n.split("/")[-1]: z.read(n) for n in z.namelist() if not n.endswith("/") and "zvk-types" not in n}
        expect({k: v[:len(files[k])] for k, v in back.items()} == files, "the zip's files differ")
        expect(b"C.BIN" in got["list"], "the listing after the archives")
        tools.check(img, what="downloads")
    finally:
        srv.stop()


def test_changes_and_their_messages(tools):
    img = fresh(tools, "msg.img", 4000)
    srv = tools.serve(img)
    try:
        post = lambda target, **body: srv.json("POST", target, dict(vol=0, **body))  # noqa: E731
        status, j = srv.upload("/", "VERYLONGNAME1.BIN", b"x" * 10)
        expect(status == 400 and j["code"] == "name_too_long" and "12" in j["error"], f"a long name: {status} {j}")
        for i in range(38):
            status, j = post("/api/mkdir", path="/", name=f"D{i}")
            expect(status == 200, f"mkdir D{i}: {j}")
        status, j = post("/api/mkdir", path="/", name="ONE.MORE")
        expect(status == 409 and "38" in j["error"], f"a 39th entry: {status} {j}")
        status, j = srv.upload("/", "ONE.MORE", b"x" * 10)
        expect(status == 409 and j["code"] == "folder_full" and "38" in j["error"],
               f"a 39th entry by upload: {status} {j}")
        status, j = post("/api/delete", path="/D37")
        expect(status == 200, f"delete D37: {j}")
        data = os.urandom(1500)
        expect(srv.upload("/D0", "A.BIN", data)[0] == 200, "upload A.BIN")
        status, j = post("/api/link", path="/D0/A.BIN", folder="/D1", name="B.BIN")
        expect(status == 200 and j["path"] == "/D1/B.BIN", f"link: {status} {j}")
        expect(srv.listing("/D0")["A.BIN"]["links"] == 2, "links counted")
        # The empty folders of a dropped tree: made with those above them.
        for _ in range(2):
            status, j = post("/api/mkdir", path="/D1", name="new/sub", parents=1)
            expect(status == 200, f"mkdir -p: {status} {j}")
        expect(srv.listing("/D1/NEW")["SUB"]["folder"], "an empty folder made below a new one")
        status, j = post("/api/mkdir", path="/D1", name="B.BIN/X", parents=1)
        expect(status == 400 and j["code"] == "not_folder", f"mkdir -p through a file: {status} {j}")
        tools.check(img, what="a link")
        status, j = post("/api/rename", path="/D0/A.BIN", name="d0")
        expect(status == 200, f"a file renamed like a folder elsewhere: {j}")
        expect(srv.upload("/D0", "C.BIN", b"c" * 600)[0] == 200, "upload C.BIN")
        status, j = srv.upload("/D0", "C.BIN", b"x" * 600)
        expect(status == 409 and j["code"] == "exists" and "taken" in j["error"], f"an upload onto a taken name: {status} {j}")
        status, j = post("/api/rename", path="/D0/C.BIN", name="d0")
        expect(status == 409 and j["code"] == "exists", f"a rename onto a taken name: {status} {j}")
        status, j = post("/api/retype", path="/D0", type=3)
        expect(status == 400, f"a folder retyped: {status} {j}")
        status, j = post("/api/retype", path="/D0/C.BIN", type=2)
        expect(status == 400, f"a file made a folder: {status} {j}")
        expect(post("/api/mkdir", path="/D0", name="IN")[0] == 200, "mkdir /D0/IN")
        status, j = post("/api/move", path="/D0", folder="/D0/IN")
        expect(status == 400, f"a folder moved into itself: {status} {j}")
        status, j = post("/api/move", path="/D0/C.BIN", folder="/D0/C.BIN")
        expect(status >= 400, f"a move onto a file: {status} {j}")
        # Deleting the first name keeps the data for the second.
        status, j = post("/api/delete", path="/D0")
        expect(status == 200, f"delete a folder with its content: {j}")
        status, _, got = srv.file("/D1/B.BIN")
        expect(status == 200 and got[:1500] == data, "the link's data after the first name went")
        status, j = post("/api/label", label="drums")
        expect(status == 200 and srv.json("GET", "/api/volumes")[1]["volumes"][0]["label"] == "DRUMS",
               f"label: {j}")
        tools.check(img, what="the changes")
    finally:
        srv.stop()


def wave_bytes(frames):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(b"".join(struct.pack("<h", (i * 97) % 20000 - 10000) for i in range(frames)))
    return out.getvalue()


def test_convert_audio(tools):
    img = fresh(tools, "audio.img", 4000)
    srv = tools.serve(img, env={"ZVK_TEMPLATE": os.path.join(tools.work, "no-such-template")})
    try:
        convert = srv.json("GET", "/api/volumes")[1]["convert"]
        expect(not convert["available"] and convert["why"], f"without a template: {convert}")
    finally:
        srv.stop()
    template = os.path.join(tools.work, "zorvek.template")
    with open(template, "wb") as f:
        f.write(b"\x55" * 2832)
    srv = tools.serve(img, env={"ZVK_TEMPLATE": template})
    try:
        convert = srv.json("GET", "/api/volumes")[1]["convert"]
        if not convert["available"]:
            print(f"     (conversion not tested: {convert['why']})")
            return
        status, j = srv.upload("/", "kick.wav", wave_bytes(8000), convert=True)
        expect(status == 200, f"a converted upload: {status} {j}")
        row = srv.listing("/").get("KICK")
        expect(row and row["type"] == 3 and row["blocks"] > 0, f"the instrument: {row}")
        status, j = srv.upload("/", "noise.wav", os.urandom(3000), convert=True)
        expect(status >= 400 and "NOISE" not in srv.listing("/"), f"a file that is no sound: {status} {j}")
        tools.check(img, what="a converted upload")
    finally:
        srv.stop()


def test_check_and_repair(tools):
    img = fresh(tools, "repair.img", 4000)
    # A lost block at the end of the volume, its counter not lowered.
    with open(img, "r+b") as f:
        last = 3999
        f.seek((5 + last // 170) * 512 + (last % 170) * 3)
        f.write(b"\0\0\1")
    srv = tools.serve(img)
    try:
        status, j = srv.json("POST", "/api/check", {"vol": 0})
        expect(status == 200 and j["status"] == 4 and any("block 3999" in l for l in j["lines"]),
               f"check of a damaged volume: {j}")
        status, j = srv.json("POST", "/api/repair", {"vol": 0})
        expect(status == 200 and j["status"] == 1, f"repair: {j}")
        status, j = srv.json("POST", "/api/check", {"vol": 0})
        expect(j["status"] == 0, f"check after the repair: {j}")
        # The volume is still the server's to change, and its free count is the new one.
        status, v = srv.json("GET", "/api/volumes")
        expect(not v["volumes"][0]["read_only"], f"after the repair: {v}")
        expect(srv.upload("/", "AFTER.BIN", b"a" * 700)[0] == 200, "an upload after the repair")
        expect("FOUND" in srv.listing("/"), "the lost block saved in FOUND")
        tools.check(img, what="a repair and an upload")
    finally:
        srv.stop()


def test_read_only(tools):
    img = fresh(tools, "ro.img")
    srv = tools.serve(img)
    srv.upload("/", "KEEP.BIN", b"k" * 1500)
    srv.stop()
    tools.check(img, what="the first upload")
    before = digest(img)
    changes = [("/api/mkdir", {"vol": 0, "path": "/", "name": "NEW"}),
               ("/api/rename", {"vol": 0, "path": "/KEEP.BIN", "name": "GONE"}),
               ("/api/retype", {"vol": 0, "path": "/KEEP.BIN", "type": 3}),
               ("/api/delete", {"vol": 0, "path": "/KEEP.BIN"}),
               ("/api/link", {"vol": 0, "path": "/KEEP.BIN", "folder": "/", "name": "TWO"}),
               ("/api/label", {"vol": 0, "label": "NEW"}),
               ("/api/repair", {"vol": 0})]
    # --read-only, and a volume another program holds (the advisory lock).
    holder = open(img, "rb")
    for options, locked in ((["--read-only"], False), ([], True)):
        if locked:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        srv = tools.serve(img, options=options)
        try:
            status, j = srv.json("GET", "/api/volumes")
            v = j["volumes"][0]
            expect(v["read_only"] and v["why"], f"the volume says {v}")
            if locked:
                expect("another program" in v["why"], f"why: {v['why']}")
            for target, body in changes:
                status, j = srv.json("POST", target, body)
                expect(status == 409 and j.get("code") == "read_only", f"{target} on a read-only volume: {status} {j}")
            status, j = srv.upload("/", "NEW.BIN", b"n" * 100)
            expect(status == 409, f"upload on a read-only volume: {status} {j}")
            # Reading and checking still work.
            status, _, data = srv.file("/KEEP.BIN")
            expect(status == 200 and data[:1500] == b"k" * 1500, "a read on a read-only volume")
            status, j = srv.json("POST", "/api/check", {"vol": 0})
            expect(status == 200 and j["status"] == 0, f"check on a read-only volume: {j}")
            expect(digest(img) == before, f"{options or 'a locked volume'}: the image changed")
            if locked:
                # Once the other program lets go, the volume can be changed.
                fcntl.flock(holder, fcntl.LOCK_UN)
                status, j = srv.json("GET", "/api/volumes")
                expect(not j["volumes"][0]["read_only"], f"after the lock was let go: {j['volumes'][0]}")
                status, j = srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/", "name": "NEW"})
                expect(status == 200, f"a change after the lock was let go: {status} {j}")
                try:
                    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    expect(False, "the server does not hold the lock again")
                except BlockingIOError:
                    pass
        finally:
            srv.stop()
    tools.check(img, what="a volume taken again after its lock was let go")
    holder.close()


def test_loopback_only(tools):
    img = fresh(tools, "lo.img")
    srv = tools.serve(img)
    try:
        addrs = set()
        for fam, _, _, _, sa in socket.getaddrinfo(socket.gethostname(), None):
            addrs.add((fam, sa[0]))
        try:
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u.connect(("192.0.2.1", 9))  # no packet is sent
            addrs.add((socket.AF_INET, u.getsockname()[0]))
            u.close()
        except OSError:
            pass
        tried = 0
        for fam, a in addrs:
            if a.startswith("127.") or a == "::1" or a == "0.0.0.0":
                continue
            tried += 1
            s = socket.socket(fam, socket.SOCK_STREAM)
            s.settimeout(3)
            try:
                s.connect((a, srv.port))
                raise Failure(f"the server answers on {a}")
            except (ConnectionRefusedError, socket.timeout, OSError):
                pass
            finally:
                s.close()
        # ::1 answers too, where the host has it.
        try:
            s = socket.create_connection(("::1", srv.port), timeout=3)
            s.close()
        except OSError as e:
            if socket.has_ipv6 and os.path.exists("/proc/net/if_inet6"):
                raise Failure(f"no answer on [::1]: {e}")
        print(f"     (non-loopback addresses tried: {tried})")
    finally:
        srv.stop()


def test_full_volume_folder_upload(tools):
    # 600 blocks: about 560 free; files of 100 blocks each.
    img = fresh(tools, "full.img", 600)
    srv = tools.serve(img)
    try:
        files = {f"SET/S{i}.BIN": os.urandom(100 * 512 - i) for i in range(8)}
        done, failed = [], []
        for name, data in files.items():
            status, j = srv.upload("/", name, data)
            (done if status == 200 else failed).append((name, status, j.get("error", "")))
        expect(len(done) >= 4 and failed, f"done {len(done)}, failed {len(failed)}")
        for name, status, err in failed:
            expect(status == 507 and "free" in err, f"{name}: {status} {err}")
        rows = srv.listing("/SET")
        for name, _, _ in done:
            leaf = name.split("/")[1]
            status, _, got = srv.file("/" + name)
            expect(status == 200 and got[:len(files[name])] == files[name], f"{name} is not whole")
            expect(leaf in rows, f"{leaf} not listed")
        for name, _, _ in failed:
            expect(name.split("/")[1] not in rows, f"{name} failed but is listed")
        tools.check(img, what="a folder upload onto a full volume")
    finally:
        srv.stop()


def upload_then_kill(srv, name, data, delay):
    """Send a whole upload, wait delay seconds, kill the server."""
    head = (f"PUT /api/upload?vol=0&folder=/K&name={name} HTTP/1.1\r\nHost: {srv.host()}\r\n"
            f"Cookie: {srv.cookie}\r\nX-Zvk-Csrf: {srv.page_csrf()}\r\nContent-Length: {len(data)}\r\n\r\n")
    s = socket.create_connection(("127.0.0.1", srv.port), timeout=30)
    s.sendall(head.encode())
    half = len(data) // 2
    s.sendall(data[:half])
    if delay < 0:
        srv.kill()  # in the middle of the body
    else:
        s.sendall(data[half:])
        time.sleep(delay)
        srv.kill()
    s.close()


def test_kill_during_upload(tools):
    img = fresh(tools, "kill.img", 100000)
    srv = tools.serve(img)
    srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/", "name": "K"})
    kept = os.urandom(3000)
    srv.upload("/K", "KEPT.BIN", kept)
    data = os.urandom(4 * 1024 * 1024)
    made = []
    for i, delay in enumerate((-1, 0.0, 0.001, 0.003, 0.01, 0.03, 0.1)):
        upload_then_kill(srv, f"F{i}.BIN", data, delay)
        tools.check(img, residue=True, what=f"kill -9 {delay} s after an upload")
        srv = tools.serve(img)
        rows = srv.listing("/K")
        expect("KEPT.BIN" in rows, "a file from before the kill is gone")
        status, _, got = srv.file("/K/KEPT.BIN")
        expect(got[:3000] == kept, "a file from before the kill changed")
        if f"F{i}.BIN" in rows:
            made.append(delay)
            status, _, got = srv.file(f"/K/F{i}.BIN")
            expect(got[:len(data)] == data, f"F{i}.BIN is listed but not whole")
    srv.stop()
    expect(-1 not in made, "an upload cut off in its body was made")
    print(f"     (made when killed after {made} s; the other kills came before the entry)")


def test_forty_at_once(tools):
    img = fresh(tools, "forty.img", 40000)
    srv = tools.serve(img)
    try:
        srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/", "name": "C"})
        results = [None] * 40
        payloads = {i: os.urandom(2000 + 512 * i) for i in range(0, 40, 4)}

        def one(i):
            try:
                if i % 4 == 0:
                    results[i] = srv.upload("/C", f"U{i}.BIN", payloads[i])[0]
                elif i % 4 == 1:
                    results[i] = srv.request("GET", "/api/list?vol=0&path=/C")[0]
                elif i % 4 == 2:
                    results[i] = srv.request("GET", "/api/map?vol=0")[0]
                else:
                    results[i] = srv.json("POST", "/api/mkdir", {"vol": 0, "path": "/C", "name": f"D{i}"})[0]
            except Exception as e:  # noqa: BLE001 - reported below
                results[i] = repr(e)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(40)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        expect(all(r == 200 for r in results), f"answers: {results}")
        rows = srv.listing("/C")
        expect(len(rows) == 20, f"{len(rows)} entries in /C")
        for i, data in payloads.items():
            status, _, got = srv.file(f"/C/U{i}.BIN")
            expect(got[:len(data)] == data, f"U{i}.BIN differs")
        tools.check(img, what="forty requests at once")
    finally:
        srv.stop()


def main():
    args = arguments()
    with tempfile.TemporaryDirectory(prefix="zvk-serve-http.") as work:
        tools = Tools(args, work)
        run([test_token_and_cookie, test_host_header, test_cross_origin_changes, test_dot_dot,
             test_oversized_bodies, test_uploads_on_one_connection, test_downloads_on_one_connection,
             test_changes_and_their_messages, test_convert_audio, test_check_and_repair,
             test_read_only, test_loopback_only, test_full_volume_folder_upload,
             test_kill_during_upload, test_forty_at_once], tools)


if __name__ == "__main__":
    main()
