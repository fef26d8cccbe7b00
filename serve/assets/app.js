// The page of zvk serve: the served volumes, their folders and entries,
// uploads and downloads, the changes, the block map and the checker.
// Plain DOM and fetch; every change goes to the server with the anti-CSRF
// header, and every failure is shown as the server's sentence.
"use strict";

const $ = (id) => document.getElementById(id);
const CSRF = document.querySelector('meta[name="zvk-csrf"]').content;
const LOST = "The connection to zvk serve was lost: is it still running? Nothing was changed by this request.";

const state = {
  config: null,      // /api/volumes: volumes, types, limits, convert
  vol: 0,
  path: "/",
  rows: [],
  sort: { key: "slot", dir: 1 },
  selected: null,    // the selected row's name
  tree: null,
  map: null,
  drawn: null,
  lit: undefined,    // first block of the chain lit on the map
  cursor: 0,         // keyboard cursor on the map
  busy: 0,
};

// --- the server -----------------------------------------------------------

class ServerError extends Error {}

async function api(method, url, body) {
  const opts = { method, headers: {}, credentials: "same-origin" };
  if (method !== "GET") opts.headers["X-Zvk-Csrf"] = CSRF;
  if (body !== undefined) {
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(url, opts);
  } catch (e) {
    throw new ServerError(LOST);
  }
  const type = res.headers.get("Content-Type") || "";
  if (type.startsWith("application/json")) {
    const json = await res.json();
    if (!res.ok) throw new ServerError(json.error || `the server answered ${res.status}`);
    return json;
  }
  if (!res.ok) throw new ServerError((await res.text()).trim() || `the server answered ${res.status}`);
  return res.arrayBuffer();
}

const plural = (n, one, many) => `${n.toLocaleString("en")} ${n === 1 ? one : many}`;
function bytes(n) {
  if (n < 1024) return plural(n, "byte", "bytes");
  if (n < 1048576) return `${(n / 1024).toFixed(1)} KB`;
  return `${(n / 1048576).toFixed(1)} MB`;
}
const q = (params) => Object.entries(params).map(([k, v]) => `${k}=${encodeURIComponent(v)}`).join("&");
const volume = () => state.config.volumes[state.vol];

// --- messages -------------------------------------------------------------

function say(text, ok) {
  $("message-text").textContent = text;
  $("message").classList.toggle("ok", !!ok);
  $("message").hidden = false;
}
function quiet() { $("message").hidden = true; }

// Run a change, show its failure, refresh what it may have changed.
async function change(what, fn, okText) {
  quiet();
  try {
    const r = await fn();
    if (okText) say(okText, true);
    return r;
  } catch (e) {
    say(e instanceof ServerError ? e.message : `${what}: ${e.message}`);
    return null;
  } finally {
    await refresh();
  }
}

// --- dialogs --------------------------------------------------------------

// Ask with a text field (field.value given), a list (field.options) or
// neither: the value, true, or null when cancelled.
function ask(text, field) {
  const dlg = $("ask"), box = $("ask-field");
  $("ask-text").textContent = text;
  box.replaceChildren();
  let input = null;
  if (field && field.options) {
    input = document.createElement("select");
    for (const [value, label] of field.options) {
      const o = document.createElement("option");
      o.value = value;
      o.textContent = label;
      if (String(value) === String(field.value)) o.selected = true;
      input.append(o);
    }
  } else if (field && field.value !== undefined) {
    input = document.createElement("input");
    input.type = "text";
    input.value = field.value || "";
    if (field.max) input.maxLength = field.max * 3;
    input.setAttribute("aria-label", text);
  }
  if (input) {
    input.id = "ask-input";
    box.append(input);
  }
  $("ask-ok").textContent = (field && field.ok) || "OK";
  return new Promise((resolve) => {
    const done = (value) => {
      dlg.removeEventListener("close", onClose);
      resolve(value);
    };
    const onClose = () => done(dlg.returnValue === "ok" ? (input ? input.value : true) : null);
    dlg.addEventListener("close", onClose);
    dlg.returnValue = "";
    dlg.showModal();
    (input || $("ask-ok")).focus();
    if (input && input.select) input.select();
  });
}
$("ask-cancel").addEventListener("click", () => $("ask").close("cancel"));

// --- volumes --------------------------------------------------------------

function renderVolumes() {
  const nav = $("volumes");
  nav.replaceChildren();
  state.config.volumes.forEach((v, i) => {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = v.label ? `${v.image} (${v.label})` : v.image;
    if (v.read_only) {
      const s = document.createElement("span");
      s.className = "ro";
      s.textContent = "read-only";
      b.append(s);
    }
    b.setAttribute("aria-current", i === state.vol ? "true" : "false");
    b.addEventListener("click", () => {
      state.vol = i;
      state.path = "/";
      state.selected = null;
      state.lit = undefined;
      // What was said about the other volume goes.
      $("check-outcome").textContent = "";
      $("check-report").hidden = true;
      $("map-info").textContent = "\u00a0";
      quiet();
      refresh(true);
    });
    nav.append(b);
  });
}

function renderVolumeBar() {
  const v = volume();
  $("label").textContent = v.label || "(none)";
  const usable = v.total - v.data_start;
  $("space").max = Math.max(1, usable);
  $("space").value = usable - v.free;
  $("space-text").textContent =
    `${v.free.toLocaleString("en")} of ${plural(usable, "block", "blocks")} free (${bytes(v.free * 512)} of ` +
    `${bytes(usable * 512)})`;
  $("read-only").hidden = !v.read_only;
  $("read-only").textContent = v.read_only
    ? `This volume is ${v.why}: it can be looked at and downloaded, not changed.` : "";
  for (const id of ["label-edit", "upload-files", "upload-folder", "new-folder", "repair"]) $(id).disabled = v.read_only;
  const c = state.config.convert;
  $("convert").disabled = !c.available || v.read_only;
  if (!c.available) $("convert").checked = false;
  $("convert-why").textContent = c.available ? "" : `(unavailable: ${c.why})`;
  $("convert-box").title = c.available ? "Sound files become instruments on the way" : c.why;
  $("replace").disabled = v.read_only;
}

// --- the folder tree ------------------------------------------------------

function treeItem(node) {
  const li = document.createElement("li");
  li.setAttribute("role", "treeitem");
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = node.path === "/" ? "/ (root)" : node.name;
  b.dataset.path = node.path;
  b.title = node.path;
  b.setAttribute("aria-current", node.path === state.path ? "true" : "false");
  b.addEventListener("click", () => openFolder(node.path));
  dropTarget(b, node.path);
  li.append(b);
  if (node.folders.length) {
    li.setAttribute("aria-expanded", "true");
    const ul = document.createElement("ul");
    ul.setAttribute("role", "group");
    for (const k of node.folders) ul.append(treeItem(k));
    li.append(ul);
  }
  return li;
}

function renderTree() {
  $("tree").replaceChildren(state.tree ? treeItem(state.tree) : "");
}

// Every folder of the tree as [path, path], for the lists of dialogs.
function folderOptions() {
  const out = [];
  const walk = (n) => { out.push([n.path, n.path]); n.folders.forEach(walk); };
  if (state.tree) walk(state.tree);
  return out;
}

// --- breadcrumbs and entries ----------------------------------------------

const join = (folder, name) => (folder === "/" ? "/" : folder + "/") + name;

function renderCrumbs() {
  const nav = $("crumbs");
  nav.replaceChildren();
  const parts = state.path.split("/").filter((p) => p);
  let at = "/";
  const crumb = (label, path) => {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = label;
    b.dataset.path = path;
    b.addEventListener("click", () => openFolder(path));
    dropTarget(b, path);
    nav.append(b);
  };
  crumb(volume().image, "/");
  for (const p of parts) {
    at = join(at, p);
    const s = document.createElement("span");
    s.className = "sep";
    s.textContent = "/";
    nav.append(s);
    crumb(p, at);
  }
}

function sortedRows() {
  const { key, dir } = state.sort;
  const val = (r) => (key === "blocks" ? (r.folder ? r.entries : r.blocks)
    : key === "type" ? r.type : r[key]);
  return [...state.rows].sort((a, b) => {
    const x = val(a), y = val(b);
    const c = typeof x === "string" ? x.localeCompare(y) : x - y;
    return c * dir || a.slot - b.slot;
  });
}

function renderRows() {
  const body = $("rows");
  body.replaceChildren();
  for (const th of document.querySelectorAll("#entries th")) {
    th.setAttribute("aria-sort", th.dataset.key === state.sort.key
      ? (state.sort.dir > 0 ? "ascending" : "descending") : "none");
  }
  for (const r of sortedRows()) {
    const tr = document.createElement("tr");
    tr.tabIndex = -1;
    tr.dataset.name = r.name;
    tr.dataset.path = r.path;
    if (r.folder) tr.className = "folder";
    tr.setAttribute("aria-selected", r.name === state.selected ? "true" : "false");
    const cells = [
      [r.name, "name"],
      [r.folder ? "folder" : `${r.type_name} (${r.type})`, ""],
      [r.folder ? plural(r.entries, "entry", "entries") : plural(r.blocks, "block", "blocks"), "num"],
      [r.first, "num"], [r.contiguous, "num"], [r.links, "num"], [r.slot, "num"],
    ];
    for (const [text, cls] of cells) {
      const td = document.createElement("td");
      td.textContent = text;
      if (cls) td.className = cls;
      tr.append(td);
    }
    tr.draggable = !volume().read_only;
    tr.addEventListener("dragstart", (e) => {
      e.dataTransfer.setData("application/x-zvk-path", r.path);
      e.dataTransfer.effectAllowed = "move";
    });
    if (r.folder) dropTarget(tr, r.path);
    tr.addEventListener("click", () => select(r.name, true));
    tr.addEventListener("dblclick", () => openEntry(r));
    tr.addEventListener("keydown", rowKey);
    body.append(tr);
  }
  const caption = `${state.rows.length} of 38 entries` +
    (state.rows.length ? "; select a row, Enter opens, F2 renames, Delete deletes" : ": the folder is empty");
  $("entries-caption").textContent = caption;
  const focusRow = [...body.rows].find((tr) => tr.dataset.name === state.selected) || body.rows[0];
  if (focusRow) focusRow.tabIndex = 0;
  renderSelection();
}

function selectedRow() { return state.rows.find((r) => r.name === state.selected) || null; }

function select(name, focus) {
  state.selected = name;
  for (const tr of $("rows").rows) {
    const on = tr.dataset.name === name;
    tr.setAttribute("aria-selected", on ? "true" : "false");
    tr.tabIndex = on ? 0 : -1;
    if (on && focus) tr.focus();
  }
  const r = selectedRow();
  state.lit = r ? r.first : undefined;
  drawMap();
  renderSelection();
}

function renderSelection() {
  const r = selectedRow();
  const ro = volume().read_only;
  $("selection-name").textContent = r ? `${r.name} (${r.folder ? "folder" : r.type_name})` : "Nothing selected";
  $("act-open").disabled = !r || !r.folder;
  $("act-download").disabled = !r;
  for (const id of ["act-rename", "act-move", "act-delete"]) $(id).disabled = !r || ro;
  $("act-type").disabled = !r || r.folder || ro;
  $("act-link").disabled = !r || r.folder || ro;
}

function rowKey(e) {
  const rows = [...$("rows").rows];
  const i = rows.indexOf(e.currentTarget);
  const r = state.rows.find((x) => x.name === e.currentTarget.dataset.name);
  if (e.key === "ArrowDown" || e.key === "ArrowUp") {
    const next = rows[Math.max(0, Math.min(rows.length - 1, i + (e.key === "ArrowDown" ? 1 : -1)))];
    if (next) select(next.dataset.name, true);
  } else if (e.key === "Enter") {
    openEntry(r);
  } else if (e.key === "F2") {
    renameEntry(r);
  } else if (e.key === "Delete") {
    deleteEntry(r);
  } else if (e.key === "Backspace" && state.path !== "/") {
    openFolder(parentOf(state.path));
  } else {
    return;
  }
  e.preventDefault();
}

const parentOf = (p) => { const i = p.lastIndexOf("/"); return i <= 0 ? "/" : p.slice(0, i); };
const leafOf = (p) => p.slice(p.lastIndexOf("/") + 1);

function openEntry(r) {
  if (!r) return;
  if (r.folder) openFolder(r.path);
  else download(`/api/file?${q({ vol: state.vol, path: r.path })}`);
}

// --- loading --------------------------------------------------------------

async function openFolder(path) {
  state.path = path;
  state.selected = null;
  state.lit = undefined;
  await refresh();
}

// Read again what the page shows; with all, the volume list as well.
async function refresh(all) {
  try {
    state.config = await api("GET", "/api/volumes");
    if (state.vol >= state.config.volumes.length) state.vol = 0;
    if (all !== false) renderVolumes();
    renderVolumeBar();
    state.tree = await api("GET", `/api/tree?${q({ vol: state.vol })}`);
    let list;
    try {
      list = await api("GET", `/api/list?${q({ vol: state.vol, path: state.path })}`);
    } catch (e) {
      // The folder went (another tab, a move): back to the root.
      say(`${e.message}; showing the root instead`);
      state.path = "/";
      list = await api("GET", `/api/list?${q({ vol: state.vol, path: "/" })}`);
    }
    state.rows = list.entries;
    if (!selectedRow()) { state.selected = null; state.lit = undefined; }
    renderTree();
    renderCrumbs();
    renderRows();
    await loadMap();
  } catch (e) {
    say(e.message);
  }
}

async function loadMap() {
  const t0 = performance.now();
  const buf = await api("GET", `/api/map?${q({ vol: state.vol })}`);
  const t1 = performance.now();
  state.map = ZvkMap.parse(buf);
  const t2 = performance.now();
  drawMap();
  const canvas = $("map");
  canvas.dataset.fetchMs = (t1 - t0).toFixed(1);
  canvas.dataset.parseMs = (t2 - t1).toFixed(1);
}

function drawMap() {
  if (!state.map) return;
  const canvas = $("map");
  state.drawn = ZvkMap.draw(canvas, state.map, state.lit);
  canvas.dataset.drawMs = state.drawn.ms.toFixed(1);
  canvas.dataset.blocks = state.map.total;
  canvas.dataset.perCell = state.drawn.lay.per;
}

// --- downloads ------------------------------------------------------------

function download(url) {
  const a = document.createElement("a");
  a.href = url;
  a.download = "";
  document.body.append(a);
  a.click();
  a.remove();
}

function downloadArchive(path, format) {
  download(`/api/archive?${q({ vol: state.vol, path, format })}`);
}

// --- changes --------------------------------------------------------------

async function renameEntry(r) {
  if (!r || volume().read_only) return;
  const name = await ask(`New name for ${r.name} (at most 12 characters, stored in capitals):`,
    { value: r.name, max: 12, ok: "Rename" });
  if (name === null || name === r.name) return;
  const res = await change("Rename", () => api("POST", "/api/rename", { vol: state.vol, path: r.path, name }));
  if (res) { state.selected = leafOf(res.path); renderRows(); }
}

async function retypeEntry(r) {
  if (!r || r.folder || volume().read_only) return;
  const options = state.config.types.map((t) => [t.id, `${t.name} (${t.id})`]);
  if (!options.some(([id]) => id === r.type)) options.unshift([r.type, `${r.type_name} (${r.type})`]);
  const type = await ask(`Type of ${r.name}:`, { options, value: r.type, ok: "Change type" });
  if (type === null || Number(type) === r.type) return;
  await change("Change type", () => api("POST", "/api/retype", { vol: state.vol, path: r.path, type: Number(type) }));
}

async function deleteEntry(r) {
  if (!r || volume().read_only) return;
  const what = r.folder ? `the folder ${r.name} and everything in it (${r.entries} entries)` : `the file ${r.name}`;
  const extra = !r.folder && r.links > 1 ? ` Its data stays: ${r.links - 1} more entries name it.` : "";
  if (!(await ask(`Delete ${what}? This cannot be undone.${extra}`, { ok: "Delete" }))) return;
  await change("Delete", () => api("POST", "/api/delete", { vol: state.vol, path: r.path }), `${r.name} deleted`);
}

async function linkEntry(r) {
  if (!r || r.folder || volume().read_only) return;
  const folder = await ask(`Make a second name for ${r.name} in the folder:`,
    { options: folderOptions(), value: state.path, ok: "Next" });
  if (folder === null) return;
  const name = await ask(`Name of the link in ${folder}:`, { value: folder === state.path ? "" : r.name, max: 12,
    ok: "Make link" });
  if (name === null) return;
  await change("Hard link", () => api("POST", "/api/link", { vol: state.vol, path: r.path, folder, name }),
    `${r.name} linked as ${join(folder, name.toUpperCase() || r.name)}`);
}

async function moveTo(path, folder) {
  if (parentOf(path) === folder || path === folder) return;
  await change("Move", () => api("POST", "/api/move", { vol: state.vol, path, folder }),
    `${leafOf(path)} moved to ${folder}`);
}

async function moveEntry(r) {
  if (!r || volume().read_only) return;
  const folder = await ask(`Move ${r.name} into the folder:`,
    { options: folderOptions().filter(([p]) => p !== r.path && !p.startsWith(r.path + "/")), value: state.path,
      ok: "Move" });
  if (folder !== null) await moveTo(r.path, folder);
}

async function newFolder() {
  const name = await ask(`Name of the new folder in ${state.path}:`, { value: "", max: 12, ok: "Make folder" });
  if (!name) return;
  await change("New folder", () => api("POST", "/api/mkdir", { vol: state.vol, path: state.path, name }));
}

async function changeLabel() {
  const label = await ask("Disk label (at most 7 characters):", { value: volume().label, max: 7, ok: "Write label" });
  if (label === null) return;
  await change("Label", () => api("POST", "/api/label", { vol: state.vol, label }), "Label written");
}

// A folder (tree entry, breadcrumb, folder row) that takes entries dragged
// onto it (a move) and files dropped from the desktop (an upload into it).
function dropTarget(el, path) {
  el.addEventListener("dragover", (e) => {
    const types = e.dataTransfer.types;
    if (volume().read_only || !(types.includes("application/x-zvk-path") || types.includes("Files"))) return;
    e.preventDefault();
    e.stopPropagation();
    el.classList.add("drop-target");
  });
  el.addEventListener("dragleave", () => el.classList.remove("drop-target"));
  el.addEventListener("drop", (e) => {
    el.classList.remove("drop-target");
    $("drop-zone").classList.remove("over");
    if (volume().read_only) return;
    e.preventDefault();
    e.stopPropagation();
    const moved = e.dataTransfer.getData("application/x-zvk-path");
    if (moved) moveTo(moved, path);
    else dropped(e.dataTransfer, path);
  });
}

// --- uploads --------------------------------------------------------------

// The files of a drop, folders walked: [{file, rel}], and an empty folder
// as {dir: true, rel}.
async function dropFiles(dt) {
  const out = [];
  const entries = [...dt.items].map((it) => (it.webkitGetAsEntry ? it.webkitGetAsEntry() : null));
  if (!entries.some((x) => x)) return [...dt.files].map((file) => ({ file, rel: file.name }));
  const readAll = (reader) => new Promise((resolve, reject) => {
    const all = [];
    const next = () => reader.readEntries((batch) => {
      if (!batch.length) resolve(all);
      else { all.push(...batch); next(); }
    }, reject);
    next();
  });
  const walk = async (entry, prefix) => {
    if (entry.isFile) {
      const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
      out.push({ file, rel: prefix + entry.name });
    } else if (entry.isDirectory) {
      const children = await readAll(entry.createReader());
      if (!children.length) out.push({ dir: true, rel: prefix + entry.name });
      for (const child of children) await walk(child, `${prefix}${entry.name}/`);
    }
  };
  for (const entry of entries) if (entry) await walk(entry, "");
  return out;
}

async function dropped(dt, folder) {
  try {
    upload(await dropFiles(dt), folder);
  } catch (e) {
    say(`The dropped files could not be read: ${e.message}`);
  }
}

const uploads = { queue: [], running: false, bytesTotal: 0, bytesDone: 0, failed: 0, done: 0 };

function upload(items, folder) {
  if (!items.length || volume().read_only) return;
  $("uploads").hidden = false;
  if (!uploads.running) {
    // A new batch: the list of the last one goes.
    Object.assign(uploads, { bytesTotal: 0, bytesDone: 0, failed: 0, done: 0 });
    $("upload-list").replaceChildren();
  }
  for (const it of items) {
    const li = document.createElement("li");
    const name = document.createElement("span");
    name.className = "uname";
    name.textContent = join(folder, it.rel);
    const bar = document.createElement("progress");
    bar.max = Math.max(1, it.dir ? 0 : it.file.size);
    bar.value = 0;
    const st = document.createElement("span");
    st.className = "ustate";
    st.textContent = "waiting";
    li.append(name, bar, st);
    $("upload-list").append(li);
    uploads.queue.push({ ...it, folder, vol: state.vol, li, bar, st, convert: $("convert").checked,
      replace: $("replace").checked });
    uploads.bytesTotal += it.dir ? 0 : it.file.size;
  }
  overall();
  if (!uploads.running) runUploads();
}

function overall() {
  $("upload-all").max = Math.max(1, uploads.bytesTotal);
  $("upload-all").value = uploads.bytesDone;
  const left = uploads.queue.length + (uploads.running ? 1 : 0);
  $("upload-all-text").textContent = `${uploads.done} uploaded, ${uploads.failed} failed` +
    (left ? `, ${left} to go` : "") + ` (${bytes(uploads.bytesDone)} of ${bytes(uploads.bytesTotal)})`;
}

function finishItem(it, ok, text) {
  it.li.classList.add(ok ? "done" : "failed");
  it.st.textContent = text;
  it.bar.value = it.bar.max;
  if (ok) uploads.done++; else uploads.failed++;
  uploads.bytesDone += it.dir ? 0 : it.file.size;
  overall();
}

// Send one file; resolves with null or the reason it failed.
function send(it) {
  return new Promise((resolve) => {
    const xhr = new XMLHttpRequest();
    const params = { vol: it.vol, folder: it.folder, name: it.rel, convert: it.convert ? 1 : 0,
      replace: it.replace ? 1 : 0 };
    xhr.open("PUT", `/api/upload?${q(params)}`);
    xhr.setRequestHeader("X-Zvk-Csrf", CSRF);
    xhr.setRequestHeader("Content-Type", "application/octet-stream");
    xhr.upload.onprogress = (e) => {
      it.bar.value = e.loaded;
      $("upload-all").value = uploads.bytesDone + e.loaded;
    };
    xhr.onload = () => {
      if (xhr.status === 200) return resolve(null);
      let why = `the server answered ${xhr.status}`;
      try { why = JSON.parse(xhr.responseText).error || why; } catch (e) { why = xhr.responseText.trim() || why; }
      resolve(why);
    };
    xhr.onerror = () => resolve(LOST);
    xhr.send(it.file);
  });
}

// An empty folder of a drop, made with the folders above it: null or the
// reason it failed.
async function makeFolder(it) {
  try {
    await api("POST", "/api/mkdir", { vol: it.vol, path: it.folder, name: it.rel, parents: 1 });
    return null;
  } catch (e) {
    return e.message;
  }
}

// What is known to fail before sending: too big a file, too little room.
function precheck(it) {
  const blocks = Math.ceil(it.file.size / 512);
  const v = state.config.volumes[it.vol];
  if (blocks === 0) return "an empty file cannot be stored (a file holds at least one block)";
  if (blocks > state.config.max_file_blocks) {
    return `larger than the largest file a volume holds (65,535 blocks, 32 MB): ${blocks} blocks`;
  }
  if (!it.convert && blocks > v.free) return `not enough free blocks (the file needs ${blocks}, ${v.free} are free)`;
  return null;
}

async function runUploads() {
  uploads.running = true;
  while (uploads.queue.length) {
    const it = uploads.queue.shift();
    it.st.textContent = "uploading";
    overall();
    const why = it.dir ? await makeFolder(it) : precheck(it) || (await send(it));
    finishItem(it, !why, why ? `failed: ${why}` : "done");
    // The free count and the listing after each file, so the next
    // precheck is right and the new entries show.
    try {
      state.config = await api("GET", "/api/volumes");
      if (it.vol === state.vol && it.folder === state.path) {
        state.rows = (await api("GET", `/api/list?${q({ vol: state.vol, path: state.path })}`)).entries;
        renderRows();
      }
      renderVolumeBar();
    } catch (e) { /* shown by the next refresh */ }
  }
  uploads.running = false;
  overall();
  if (uploads.failed) say(`${uploads.failed} of ${plural(uploads.done + uploads.failed, "file", "files")} could ` +
    "not be uploaded; the list under the folder says why.");
  else say(`${plural(uploads.done, "file", "files")} uploaded`, true);
  await refresh();
}

// --- check and repair -----------------------------------------------------

async function runCheck(repair) {
  if (repair && !(await ask(`Repair ${volume().image}? The checker changes what it finds wrong ` +
    "(lost chains are kept as files in FOUND).", { ok: "Repair" }))) return;
  $("check-outcome").textContent = repair ? "Repairing…" : "Checking…";
  $("check").disabled = $("repair").disabled = true;
  const r = await change(repair ? "Repair" : "Check", () => api("POST", repair ? "/api/repair" : "/api/check",
    { vol: state.vol }));
  $("check").disabled = false;
  $("repair").disabled = volume().read_only;
  if (!r) { $("check-outcome").textContent = ""; return; }
  $("check-outcome").textContent = r.outcome.charAt(0).toUpperCase() + r.outcome.slice(1) + ".";
  $("check-report").hidden = false;
  $("check-report").textContent = r.lines.join("\n");
  $("check-report").dataset.status = r.status;
}

// --- the block map --------------------------------------------------------

function mapPoint(x, y) {
  if (!state.map || !state.drawn) return;
  const info = ZvkMap.infoAt(state.map, state.drawn, x, y);
  $("map-info").textContent = info ? info.text : "\u00a0";
  return info;
}

function canvasXY(e) {
  const c = $("map"), rect = c.getBoundingClientRect();
  return [(e.clientX - rect.left) * c.width / rect.width, (e.clientY - rect.top) * c.height / rect.height];
}

$("map").addEventListener("mousemove", (e) => mapPoint(...canvasXY(e)));
$("map").addEventListener("click", (e) => {
  const info = mapPoint(...canvasXY(e));
  if (!info) return;
  const row = state.rows.find((r) => r.first === info.first);
  if (row) select(row.name, false);
  else { state.lit = info.first === null ? undefined : info.first; drawMap(); }
});
$("map").addEventListener("keydown", (e) => {
  if (!state.drawn) return;
  const lay = state.drawn.lay;
  const step = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: lay.perRow, ArrowUp: -lay.perRow }[e.key];
  if (!step) return;
  e.preventDefault();
  state.cursor = Math.max(0, Math.min(state.drawn.cells - 1, state.cursor + step));
  mapPoint((state.cursor % lay.perRow) * lay.cell, Math.floor(state.cursor / lay.perRow) * lay.cell);
});

// --- wiring ---------------------------------------------------------------

function wire() {
  $("message-close").addEventListener("click", quiet);
  $("upload-files").addEventListener("click", () => $("file-input").click());
  $("upload-folder").addEventListener("click", () => $("folder-input").click());
  for (const id of ["file-input", "folder-input"]) {
    $(id).addEventListener("change", (e) => {
      const files = [...e.target.files].map((file) => ({ file, rel: file.webkitRelativePath || file.name }));
      upload(files, state.path);
      e.target.value = "";
    });
  }
  $("new-folder").addEventListener("click", newFolder);
  $("label-edit").addEventListener("click", changeLabel);
  $("folder-tar").addEventListener("click", () => downloadArchive(state.path, "tar"));
  $("folder-zip").addEventListener("click", () => downloadArchive(state.path, "zip"));
  $("volume-tar").addEventListener("click", () => downloadArchive("/", "tar"));
  $("volume-zip").addEventListener("click", () => downloadArchive("/", "zip"));
  $("act-open").addEventListener("click", () => openEntry(selectedRow()));
  $("act-download").addEventListener("click", () => {
    const r = selectedRow();
    if (r && r.folder) downloadArchive(r.path, "tar");
    else openEntry(r);
  });
  $("act-rename").addEventListener("click", () => renameEntry(selectedRow()));
  $("act-type").addEventListener("click", () => retypeEntry(selectedRow()));
  $("act-link").addEventListener("click", () => linkEntry(selectedRow()));
  $("act-move").addEventListener("click", () => moveEntry(selectedRow()));
  $("act-delete").addEventListener("click", () => deleteEntry(selectedRow()));
  $("check").addEventListener("click", () => runCheck(false));
  $("repair").addEventListener("click", () => runCheck(true));
  for (const th of document.querySelectorAll("#entries th")) {
    th.querySelector("button").addEventListener("click", () => {
      const key = th.dataset.key;
      state.sort = { key, dir: state.sort.key === key ? -state.sort.dir : 1 };
      renderRows();
    });
  }
  // Files dropped anywhere on the folder go into it.
  const zone = $("drop-zone");
  zone.addEventListener("dragover", (e) => {
    if (!e.dataTransfer.types.includes("Files") || volume().read_only) return;
    e.preventDefault();
    zone.classList.add("over");
  });
  zone.addEventListener("dragleave", (e) => { if (e.target === zone) zone.classList.remove("over"); });
  zone.addEventListener("drop", (e) => {
    zone.classList.remove("over");
    if (!e.dataTransfer.types.includes("Files") || volume().read_only) return;
    e.preventDefault();
    dropped(e.dataTransfer, state.path);
  });
  // A drop outside a target must not make the browser open the file.
  window.addEventListener("dragover", (e) => e.preventDefault());
  window.addEventListener("drop", (e) => e.preventDefault());
  // Back from the program that held a volume: it may be free now.
  window.addEventListener("focus", () => {
    if (state.config && state.config.volumes.some((v) => v.read_only)) refresh(true);
  });
}

wire();
refresh(true);
