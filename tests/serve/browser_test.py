"""zvk serve in a real browser (headless Chromium through Selenium): open
the printed address, upload a folder through the file input and a file
through a drop, rename, retype, move by dragging, delete, download a file
and a folder archive, run Check; the image passes the suite's checker after
every change. A second volume fills up during a folder upload, a third is
held by another program. Screenshots of the main views go to --shots."""

import fcntl
import io
import os
import sys
import tarfile
import tempfile
import time

from serve_support import Failure, Tools, arguments, expect, run

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None


def skip_unless_browser():
    missing = [p for p in (CHROMIUM, DRIVER) if not os.access(p, os.X_OK)]
    if webdriver is None:
        missing.append("python3-selenium")
    if missing:
        print(f"SKIP: the browser tests need {', '.join(missing)} (Debian: chromium chromium-driver python3-selenium)")
        sys.exit(77)


def browser(downloads):
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1200,1100", "--no-first-run", "--disable-extensions"):
        opts.add_argument(a)
    opts.add_experimental_option("prefs", {"download.default_directory": downloads,
                                           "download.prompt_for_download": False,
                                           "safebrowsing.enabled": False})
    d = webdriver.Chrome(service=Service(DRIVER), options=opts)
    d.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return d


class Page:
    """The page of one server in the browser, with the steps a user takes."""

    def __init__(self, d, srv, tools, shots):
        self.d, self.srv, self.tools, self.shots = d, srv, tools, shots

    def wait(self, cond, what, timeout=30):
        try:
            # The listing is drawn anew after every change: an element found
            # a moment ago may be gone by the time it is read, so try again.
            return WebDriverWait(self.d, timeout, poll_frequency=0.05,
                                 ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)
                                 ).until(lambda d: cond())
        except Exception as e:  # noqa: BLE001
            raise Failure(f"waiting for {what}: {type(e).__name__}; message: {self.message()}") from None

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def el(self, id_):
        return self.d.find_element(By.ID, id_)

    def message(self):
        try:
            return "" if self.el("message").get_attribute("hidden") else self.el("message-text").text
        except WebDriverException:
            return ""

    def names(self):
        return self.js("return [...document.querySelectorAll('#rows tr')].map(tr => tr.dataset.name)")

    def row(self, name):
        return self.d.find_element(By.CSS_SELECTOR, f'#rows tr[data-name="{name}"]')

    def shows(self, *names):
        self.wait(lambda: all(n in self.names() for n in names), f"{names} listed")

    def gone(self, name):
        self.wait(lambda: name not in self.names(), f"{name} gone")

    def idle(self):
        """No request of the page is running (fetch wrapper counts none)."""
        time.sleep(0.2)

    def shot(self, name):
        if self.shots:
            self.d.save_screenshot(os.path.join(self.shots, name))

    def open_folder(self, path):
        sel = f'#tree button[data-path="{path}"]'
        self.wait(lambda: self.d.find_elements(By.CSS_SELECTOR, sel), f"{path} in the tree")
        self.d.find_element(By.CSS_SELECTOR, sel).click()
        self.wait(lambda: self.js("return document.querySelector('#crumbs button:last-of-type').dataset.path")
                  == path, f"folder {path} open")

    def select(self, name):
        self.row(name).click()
        self.wait(lambda: self.row(name).get_attribute("aria-selected") == "true", f"{name} selected")

    def dialog(self, value=None, option=None):
        self.wait(lambda: self.el("ask").get_attribute("open") is not None, "the dialog")
        if value is not None:
            field = self.el("ask-input")
            field.clear()
            field.send_keys(value)
        if option is not None:
            Select(self.el("ask-input")).select_by_value(str(option))
        self.el("ask-ok").click()
        self.wait(lambda: self.el("ask").get_attribute("open") is None, "the dialog to close")

    def checked(self, what):
        self.tools.check(self.srv_image, what=what)

    def file_input(self, id_, path):
        self.js("arguments[0].hidden = false", self.el(id_))
        self.el(id_).send_keys(path)
        self.js("arguments[0].hidden = true", self.el(id_))

    def uploads_settled(self):
        return self.js("return !document.querySelector('#upload-list li:not(.done):not(.failed)')")


def pattern(n, seed):
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(n))


def padded(data):
    return data + b"\0" * (-len(data) % 512)


def wait_download(folder, name, timeout=30):
    path = os.path.join(folder, name)
    end = time.time() + timeout
    while time.time() < end:
        if os.path.exists(path) and not os.path.exists(path + ".crdownload"):
            time.sleep(0.2)
            with open(path, "rb") as f:
                return f.read()
        time.sleep(0.1)
    raise Failure(f"no download {name} in {os.listdir(folder)}")


def test_user_session(tools, shots):
    work = tools.work
    img = tools.make("main.img", 3000, "STUDIO")
    small = tools.make("small.img", 700, "SMALL")
    held = tools.make("held.img", 2000, "HELD")
    holder = open(held, "rb")
    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    srv = tools.serve(img, small, held)
    downloads = tempfile.mkdtemp(prefix="dl.", dir=work)
    d = browser(downloads)
    p = Page(d, srv, tools, shots)
    p.srv_image = img
    try:
        # The printed address; the token leaves the address bar at once.
        d.get(srv.url)
        p.wait(lambda: d.current_url == f"http://127.0.0.1:{srv.port}/", "the address without the token")
        expect("token" not in d.current_url, f"address bar: {d.current_url}")
        p.wait(lambda: p.el("label").text == "STUDIO", "the volume's label")
        cookies = d.get_cookies()
        expect(all(c["httpOnly"] and c.get("sameSite") == "Strict" for c in cookies), f"cookies {cookies}")
        expect(p.js("return document.cookie") == "", "the page can read the cookie")

        # A folder through the file input (webkitdirectory).
        host = os.path.join(work, "Kit")
        os.makedirs(os.path.join(host, "toms"))
        files = {"kick.bin": pattern(5000, 1), "snare.bin": pattern(12000, 2), "toms/lo.bin": pattern(700, 3)}
        for rel, data in files.items():
            with open(os.path.join(host, rel), "wb") as f:
                f.write(data)
        p.file_input("folder-input", host)
        p.wait(p.uploads_settled, "the folder upload")
        p.wait(lambda: "3 uploaded, 0 failed" in p.el("upload-all-text").text, "3 files uploaded")
        p.shows("KIT")
        p.checked("a folder upload")
        p.open_folder("/KIT")
        p.shows("KICK.BIN", "SNARE.BIN", "TOMS")

        # A file through a drop onto the folder.
        p.js("""
            const bytes = new Uint8Array(3000);
            for (let i = 0; i < bytes.length; i++) bytes[i] = (i * 7 + 9 + (i >> 8)) & 255;
            const dt = new DataTransfer();
            dt.items.add(new File([bytes], "dropped.bin"));
            const zone = document.getElementById("drop-zone");
            for (const type of ["dragenter", "dragover", "drop"])
              zone.dispatchEvent(new DragEvent(type, {dataTransfer: dt, bubbles: true, cancelable: true}));
        """)
        p.shows("DROPPED.BIN")
        p.checked("a dropped file")
        dropped = pattern(3000, 9)
        p.wait(p.uploads_settled, "the drop upload")
        p.shot("serve-folder.png")

        # Rename, change type, move by dragging onto the tree and onto a breadcrumb.
        p.select("SNARE.BIN")
        p.el("act-rename").click()
        p.dialog(value="snare1")
        p.shows("SNARE1")
        p.checked("a rename")
        p.select("SNARE1")
        p.el("act-type").click()
        p.dialog(option=3)
        p.wait(lambda: "instr tlm (3)" in p.row("SNARE1").text, "the new type")
        p.checked("a change of type")
        drag = """
            const [row, target] = arguments;
            const dt = new DataTransfer();
            row.dispatchEvent(new DragEvent("dragstart", {dataTransfer: dt, bubbles: true}));
            for (const type of ["dragenter", "dragover", "drop"])
              target.dispatchEvent(new DragEvent(type, {dataTransfer: dt, bubbles: true, cancelable: true}));
        """
        p.js(drag, p.row("SNARE1"), d.find_element(By.CSS_SELECTOR, '#tree button[data-path="/KIT/TOMS"]'))
        p.gone("SNARE1")
        p.checked("a move onto a folder of the tree")
        p.js(drag, p.row("DROPPED.BIN"), d.find_element(By.CSS_SELECTOR, '#crumbs button[data-path="/"]'))
        p.gone("DROPPED.BIN")
        p.checked("a move onto a breadcrumb")
        p.open_folder("/KIT/TOMS")
        p.shows("SNARE1", "LO.BIN")

        # Keyboard: select with the arrows, delete with the Delete key and a confirmation.
        p.select("LO.BIN")
        p.row("LO.BIN").send_keys(Keys.DELETE)
        p.dialog()
        p.gone("LO.BIN")
        p.checked("a delete")

        # Downloads: a file, and a folder as tar, byte for byte.
        p.select("SNARE1")
        p.el("act-download").click()
        got = wait_download(downloads, "SNARE1")
        expect(got == padded(files["snare.bin"]), "the downloaded file differs")
        p.open_folder("/KIT")
        p.el("folder-tar").click()
        tar = tarfile.open(fileobj=io.BytesIO(wait_download(downloads, "KIT.tar")))
        members = {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}
        expect(members.get("KIT/KICK.BIN") == padded(files["kick.bin"]), f"KIT.tar holds {sorted(members)}")
        expect(members.get("KIT/TOMS/SNARE1") == padded(files["snare.bin"]), "KIT/TOMS/SNARE1 in the tar")
        p.open_folder("/")
        p.shows("DROPPED.BIN")
        p.select("DROPPED.BIN")
        p.el("act-download").click()
        expect(wait_download(downloads, "DROPPED.BIN") == padded(dropped), "the dropped file read back")

        # The block map lights the selected file's chain; hovering names it.
        p.wait(lambda: p.el("map").get_attribute("data-draw-ms") is not None, "the block map")
        first = p.js("return state.rows.find(r => r.name === 'DROPPED.BIN').first")
        cell = p.js("""
            const lay = state.drawn.lay, c = Math.floor(arguments[0] / lay.per);
            return [(c % lay.perRow) * lay.cell + 1, Math.floor(c / lay.perRow) * lay.cell + 1];
        """, first)
        lit = p.js("""
            const [x, y] = arguments, ctx = document.getElementById('map').getContext('2d');
            return Array.from(ctx.getImageData(x, y, 1, 1).data.slice(0, 3));
        """, *cell)
        expect(lit == [0x20, 0xC0, 0x5C], f"the selected chain is drawn {lit}")
        p.js("""
            const c = document.getElementById('map'), r = c.getBoundingClientRect();
            const [x, y] = arguments;
            c.dispatchEvent(new MouseEvent('mousemove', {clientX: r.left + x * r.width / c.width,
                                                         clientY: r.top + y * r.height / c.height}));
        """, *cell)
        p.wait(lambda: "/DROPPED.BIN" in p.el("map-info").text, "the hovered block named")

        # The main view, for the README: a folder, a file selected, its chain lit.
        p.open_folder("/KIT")
        p.select("KICK.BIN")
        p.js("window.scrollTo(0, 0)")
        p.shot("serve-main.png")

        # Check.
        p.el("check").click()
        p.wait(lambda: p.el("check-outcome").text == "No problems found.", "the check")
        expect("files" in p.el("check-report").text, f"report: {p.el('check-report').text}")
        p.js("document.getElementById('map-pane').scrollIntoView()")
        p.shot("serve-check.png")
        p.js("window.scrollTo(0, 0)")
        p.checked("the session")

        # The second volume fills up in the middle of a folder upload.
        d.find_elements(By.CSS_SELECTOR, "#volumes button")[1].click()
        p.wait(lambda: p.el("label").text == "SMALL", "the second volume")
        many = os.path.join(work, "Many")
        os.makedirs(many)
        sizes = {f"s{i}.bin": 150 * 512 - 17 * i for i in range(6)}
        for name, size in sizes.items():
            with open(os.path.join(many, name), "wb") as f:
                f.write(pattern(size, len(name) + size))
        p.file_input("folder-input", many)
        p.wait(p.uploads_settled, "the upload onto the small volume")
        p.wait(lambda: "could not be uploaded" in p.message(), "the page naming the failures")
        states = p.js("""return [...document.querySelectorAll('#upload-list li')].slice(-6)
                         .map(li => [li.querySelector('.uname').textContent, li.className,
                                     li.querySelector('.ustate').textContent])""")
        done = [s for s in states if s[1] == "done"]
        failed = [s for s in states if s[1] == "failed"]
        expect(len(done) >= 2 and failed, f"upload states {states}")
        expect(all("free blocks" in s[2] for s in failed), f"failures {failed}")
        p.shot("serve-full.png")
        for name, _, _ in done:
            status, _, got = srv.file(name.upper(), vol=1)
            size = sizes[name.rsplit("/", 1)[1]]
            expect(status == 200 and got == padded(pattern(size, len(name.rsplit('/', 1)[1]) + size)),
                   f"{name} not whole")
        tools.check(small, what="a folder upload onto a full volume")

        # The third volume is held by another program: read-only, and said so.
        d.find_elements(By.CSS_SELECTOR, "#volumes button")[2].click()
        p.wait(lambda: p.el("label").text == "HELD", "the third volume")
        banner = p.el("read-only")
        expect(banner.is_displayed() and "another program" in banner.text, f"banner: {banner.text}")
        expect(not p.el("upload-files").is_enabled() and not p.el("new-folder").is_enabled(),
               "changes offered on a read-only volume")
        p.shot("serve-readonly.png")

        # A lost connection is said plainly.
        srv.stop()
        d.find_elements(By.CSS_SELECTOR, "#volumes button")[0].click()
        p.wait(lambda: "connection to zvk serve was lost" in p.message(), "the lost connection said")
    finally:
        d.quit()
        srv.stop()
        holder.close()
    tools.check(img, what="the end of the session")


def main():
    skip_unless_browser()
    args = arguments(lambda p: p.add_argument("--shots", default=""))
    if args.shots:
        os.makedirs(args.shots, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="zvk-serve-browser.") as work:
        run([test_user_session], Tools(args, work), args.shots)


if __name__ == "__main__":
    main()
