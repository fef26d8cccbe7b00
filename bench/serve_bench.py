"""zvk serve against its goals: the server's time for a folder listing
(its Server-Timing header), a 32 MB upload against `zvkfm put' of the same
file, a folder downloaded as tar against `zvk export', and the block map
of a 2 GiB volume drawn in headless Chromium (the page's own timing).
Prints one table row per workload."""

import argparse
import http.client
import os
import re
import statistics
import subprocess
import sys
import time

TOTAL = 4194304  # blocks: 2 GiB


def args_of():
    p = argparse.ArgumentParser()
    p.add_argument("--zvk", required=True)
    p.add_argument("--zvkfm", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--runs", type=int, default=10)
    return p.parse_args()


class Serve:
    def __init__(self, zvk, image):
        self.proc = subprocess.Popen([zvk, "serve", "--no-open", image], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        m = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", self.proc.stdout.readline().strip())
        if not m:
            sys.exit("bench: zvk serve did not start")
        self.url = m.group(0)
        self.port, token = int(m.group(1)), m.group(2)
        self.headers = {"Host": f"127.0.0.1:{self.port}", "Cookie": f"zvk-{self.port}={token}"}
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        page = self.get("/")[1].decode()
        self.headers["X-Zvk-Csrf"] = re.search(r'name="zvk-csrf" content="([0-9a-f]+)"', page).group(1)

    def request(self, method, target, body=None, extra=None):
        h = dict(self.headers)
        h.update(extra or {})
        self.conn.request(method, target, body=body, headers=h)
        r = self.conn.getresponse()
        data = r.read()
        if r.status != 200:
            sys.exit(f"bench: {method} {target}: {r.status} {data[:200]!r}")
        timing = r.getheader("Server-Timing", "")
        m = re.search(r"dur=([0-9.]+)", timing)
        return (float(m.group(1)) if m else None), data

    def get(self, target):
        return self.request("GET", target)

    def stop(self):
        self.conn.close()
        self.proc.terminate()
        self.proc.wait()


def row(work, ours, peer_name, peer, goal):
    """A table row: against a peer, goal is the largest ratio; alone, a time in ms."""
    if peer:
        ratio = ours / peer
        print(f"| {work} | {ours:.1f} ms | {peer_name}: {peer:.1f} ms | {ratio:.2f}x | "
              f"{goal}x {'met' if ratio <= goal else 'MISSED'} |")
    else:
        print(f"| {work} | {ours:.2f} ms | {peer_name} | | under {goal} ms {'met' if ours <= goal else 'MISSED'} |")
    sys.stdout.flush()


def sparse_copy(src, dst):
    subprocess.run(["cp", "--sparse=always", src, dst], check=True)


def fresh_volume(zvk, path):
    if os.path.exists(path):
        os.unlink(path)
    subprocess.run([zvk, "format", path, "--blocks", str(TOTAL), "--label", "BENCH"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def listing(a, image):
    srv = Serve(a.zvk, image)
    times, walls = [], []
    for i in range(200):
        t0 = time.perf_counter()
        dur, _ = srv.get("/api/list?vol=0&path=/LIST")
        walls.append((time.perf_counter() - t0) * 1000)
        times.append(dur)
    srv.stop()
    row("folder listing, 38 entries (server time, median of 200)", statistics.median(times),
        f"round trip {statistics.median(walls):.2f} ms", None, 5)


def curl(srv, method, target, upload=None, out="/dev/null"):
    """One request through curl (a C client, as fast as a browser's), the answer's body written to out:
    seconds, and the server's timings."""
    cmd = ["curl", "-s", "-o", out, "-D", "-", "-w", "total=%{time_total}\n", "-X", method,
           "-H", "Expect:"]
    for k, v in srv.headers.items():
        cmd += ["-H", f"{k}: {v}"]
    if upload:
        cmd += ["-H", "Content-Type: application/octet-stream", "--data-binary", "@" + upload]
    out = subprocess.run(cmd + [f"http://127.0.0.1:{srv.port}{target}"], capture_output=True, text=True,
                         check=True).stdout
    if not out.startswith("HTTP/1.1 200"):
        sys.exit(f"bench: {method} {target}: {out[:200]}")
    timing = dict(re.findall(r"(\w+);dur=([0-9.]+)", out))
    return float(re.search(r"total=([0-9.]+)", out).group(1)), {k: float(v) for k, v in timing.items()}


def upload(a, work):
    fresh = os.path.join(work, "fresh.img")
    put = os.path.join(work, "put.txt")
    with open(put, "w") as f:
        f.write("put file.bin 3\nexit\n")
    ours, peer, body = [], [], []
    for _ in range(a.runs):
        vol = os.path.join(work, "up.img")
        sparse_copy(fresh, vol)
        subprocess.run(["sync"])
        with open(put) as script:
            t0 = time.perf_counter()
            subprocess.run([a.zvkfm, vol], stdin=script, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           cwd=work, check=True)
            peer.append(time.perf_counter() - t0)
        sparse_copy(fresh, vol)
        subprocess.run(["sync"])
        srv = Serve(a.zvk, vol)
        total, timing = curl(srv, "PUT", "/api/upload?vol=0&folder=/&name=FILE.BIN", os.path.join(work, "file.bin"))
        ours.append(total)
        body.append(timing.get("body", 0))
        srv.stop()
    row(f"upload of a 65,535-block file (32 MB), median; of it the body's arrival {statistics.median(body):.0f} ms",
        statistics.median(ours) * 1000, "zvkfm put + exit", statistics.median(peer) * 1000, 2.0)


def download(a, image, work):
    out = os.path.join(work, "out.tar")
    peer = []
    for _ in range(a.runs):
        if os.path.exists(out):
            os.unlink(out)
        t0 = time.perf_counter()
        subprocess.run([a.zvk, "export", f"{image}:/DL", out], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        peer.append(time.perf_counter() - t0)
    srv = Serve(a.zvk, image)
    # Saved to a file, as a browser does and as export does.
    got = os.path.join(work, "got.tar")
    ours = []
    for _ in range(a.runs):
        if os.path.exists(got):
            os.unlink(got)
        ours.append(curl(srv, "GET", "/api/archive?vol=0&path=/DL&format=tar", out=got)[0])
    srv.stop()
    if os.path.getsize(got) != os.path.getsize(out):
        sys.exit("bench: the downloaded archive and the exported one differ in size")
    row(f"folder download as tar ({os.path.getsize(out) / 1048576:.0f} MB, 32 files) into a file, median",
        statistics.median(ours) * 1000, "zvk export", statistics.median(peer) * 1000, 1.0)


def block_map(a, image):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError:
        print("bench: python3-selenium missing: the block map is not timed", file=sys.stderr)
        return
    if not (os.access("/usr/bin/chromium", os.X_OK) and os.access("/usr/bin/chromedriver", os.X_OK)):
        print("bench: chromium or chromedriver missing: the block map is not timed", file=sys.stderr)
        return
    srv = Serve(a.zvk, image)
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for o in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        opts.add_argument(o)
    d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        d.get(srv.url)
        WebDriverWait(d, 60).until(lambda d: d.execute_script(
            "return document.getElementById('map').dataset.drawMs !== undefined"))
        first = d.execute_script("const c = document.getElementById('map').dataset; "
                                 "return [Number(c.fetchMs), Number(c.parseMs), Number(c.drawMs), Number(c.perCell)]")
        draws = d.execute_script("""
            const out = [];
            for (let i = 0; i < 20; i++) {
              const t0 = performance.now();
              ZvkMap.draw(document.getElementById('map'), state.map, i % 2 ? undefined : state.map.owners[1].f);
              out.push(performance.now() - t0);
            }
            return out;""")
    finally:
        d.quit()
        srv.stop()
    row(f"block map of 2 GiB drawn ({first[3]} blocks a pixel; first draw {first[2]:.1f} ms), median of 20",
        statistics.median(draws), f"fetch {first[0]:.0f} ms, parse {first[1]:.1f} ms", None, 300)


def populate(a, work, image):
    """/LIST: 38 small files; /DL: 32 files of 1 MB; scattered files all over."""
    host = os.path.join(work, "host")
    for folder, count, size in (("LIST", 38, 3000), ("DL", 32, 1 << 20), ("MANY", 30, 40000)):
        d = os.path.join(host, folder)
        os.makedirs(d)
        for i in range(count):
            with open(os.path.join(d, f"F{i:02d}.BIN"), "wb") as f:
                f.write(os.urandom(size))
        subprocess.run([a.zvk, "cp", "-r", d, f"{image}:/"], check=True, stdout=subprocess.DEVNULL)
    # Free every other file of MANY and write bigger ones, so chains scatter.
    for i in range(0, 30, 2):
        subprocess.run([a.zvk, "rm", f"{image}:/MANY/F{i:02d}.BIN"], check=True)
    big = os.path.join(host, "BIG.BIN")
    with open(big, "wb") as f:
        f.write(os.urandom(1 << 20))
    subprocess.run([a.zvk, "cp", big, f"{image}:/MANY/"], check=True, stdout=subprocess.DEVNULL)


def main():
    a = args_of()
    work = a.work
    image = os.path.join(work, "bench.img")
    fresh_volume(a.zvk, os.path.join(work, "fresh.img"))
    fresh_volume(a.zvk, image)
    populate(a, work, image)
    data = os.urandom(65535 * 512)
    with open(os.path.join(work, "file.bin"), "wb") as f:
        f.write(data)
    subprocess.run(["sync"])
    print("| Work | zvk serve | Peer | Ratio | Goal |")
    print("|---|---|---|---|---|")
    listing(a, image)
    upload(a, work)
    download(a, image, work)
    block_map(a, image)


if __name__ == "__main__":
    main()
