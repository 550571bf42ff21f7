// molvane view: the page. Plain DOM, no framework; every text from a file is
// set as textContent and every drawing shown as an image, so nothing in a
// file can run here.
"use strict";

const state = {
  file: 0, filter: "", sort: "", desc: false, start: 0, size: 24, mode: "grid",
  total: null, complete: true, selection: new Map(), rows: [], timer: null, request: 0,
};
const $ = (id) => document.getElementById(id);
const GRID_FIELDS = 3;

function selectedOf(file) {
  if (!state.selection.has(file)) state.selection.set(file, new Set());
  return state.selection.get(file);
}

function query(params) {
  return Object.entries(params).map(([k, v]) => `${k}=${encodeURIComponent(v)}`).join("&");
}

async function getJSON(path, params) {
  const response = await fetch(`${path}?${query(params)}`);
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function showMessage(text) { $("message").textContent = text || ""; }

function viewParams() {
  return { file: state.file, filter: state.filter, sort: state.sort, desc: state.desc ? 1 : 0 };
}

function describeStatus(page) {
  const f = page.file;
  const parts = [];
  if (f.error) parts.push(`index failed: ${f.error}`);
  else if (!f.indexed) parts.push(`indexing ${(f.size / 1e6).toFixed(0)} MB… ${f.elapsed} s`);
  else parts.push(`${f.count.toLocaleString()} blocks`);
  if (state.filter || state.sort) {
    const what = [state.filter && "filtering", state.sort && "sorting"].filter(Boolean).join(" and ");
    if (!page.complete) parts.push(`${what}… ${Math.round(page.progress * 100)}%`);
    if (page.total !== null && page.total !== undefined) parts.push(`${page.total.toLocaleString()} in view`);
  }
  $("status").textContent = parts.join(" · ");
  $("status").dataset.complete = String(page.complete && f.indexed);
}

async function load() {
  clearTimeout(state.timer);
  const request = ++state.request;
  let page;
  try {
    page = await getJSON("/api/page", { ...viewParams(), start: state.start, count: state.size });
  } catch (error) {
    if (request === state.request) showMessage(error.message);
    return;
  }
  if (request !== state.request) return;  // a newer request is on its way
  showMessage(page.error || "");
  describeStatus(page);
  state.total = page.total;
  state.complete = page.complete;
  state.rows = page.rows;
  render();
  const moving = !page.complete || !page.file.indexed;
  if (moving && !page.error) state.timer = setTimeout(load, 300);
}

function drawing(row, big) {
  if (row.svg) {
    const img = document.createElement("img");
    img.src = "data:image/svg+xml;charset=utf-8," + encodeURIComponent(row.svg);
    img.alt = row.title;
    return img;
  }
  const box = document.createElement("div");
  box.className = "nodrawing";
  box.textContent = `no drawing: ${row.svg_error || "none was made"}`;
  return box;
}

const NOT_UTF8 = "some bytes of this block are not UTF-8: they are shown as \uFFFD (exports keep them)";

function warning(text) {
  const mark = document.createElement("span");
  mark.className = "warning";
  mark.textContent = "\u26A0";
  mark.title = text;
  return mark;
}

function checkbox(row) {
  const box = document.createElement("input");
  box.type = "checkbox";
  box.className = "pick";
  box.dataset.n = row.n;
  box.checked = selectedOf(state.file).has(row.n);
  box.addEventListener("change", () => {
    const chosen = selectedOf(state.file);
    if (box.checked) chosen.add(row.n); else chosen.delete(row.n);
    box.closest(".cell, tr").classList.toggle("selected", box.checked);
    updateSelection();
  });
  return box;
}

function renderGrid(main) {
  main.className = "grid";
  for (const row of state.rows) {
    const cell = document.createElement("div");
    cell.className = "cell";
    cell.dataset.n = row.n;
    cell.classList.toggle("selected", selectedOf(state.file).has(row.n));
    const head = document.createElement("div");
    head.className = "head";
    const number = document.createElement("span");
    number.textContent = `#${row.n + 1}`;
    const title = document.createElement("span");
    title.className = "title";
    title.textContent = row.title;
    head.append(checkbox(row), number, title);
    if (row.not_utf8) head.append(warning(NOT_UTF8));
    if (row.records_error) head.append(warning(row.records_error));
    const picture = drawing(row, false);
    picture.addEventListener("click", () => openDetail(row.n));
    const fields = document.createElement("dl");
    const shown = row.records.slice(0, GRID_FIELDS);
    const sorted = row.records.find(([name]) => name === state.sort);
    if (sorted && !shown.includes(sorted)) shown.push(sorted);
    for (const [name, value] of shown) {
      const dt = document.createElement("dt");
      dt.textContent = name;
      const dd = document.createElement("dd");
      dd.textContent = value;
      dd.title = value;
      fields.append(dt, dd);
    }
    cell.append(head, picture, fields);
    main.append(cell);
  }
}

function renderTable(main) {
  main.className = "table";
  const names = [];
  for (const row of state.rows) for (const [name] of row.records) if (!names.includes(name)) names.push(name);
  const table = document.createElement("table");
  table.className = "blocks";
  const head = table.createTHead().insertRow();
  for (const name of ["", "#", "title", ...names]) {
    const th = document.createElement("th");
    th.textContent = name;
    head.append(th);
  }
  const body = table.createTBody();
  for (const row of state.rows) {
    const tr = body.insertRow();
    tr.dataset.n = row.n;
    tr.classList.toggle("selected", selectedOf(state.file).has(row.n));
    tr.insertCell().append(checkbox(row));
    const number = tr.insertCell();
    number.className = "number";
    number.textContent = String(row.n + 1);
    number.addEventListener("click", () => openDetail(row.n));
    const title = tr.insertCell();
    title.textContent = row.title;
    if (row.not_utf8) title.append(warning(NOT_UTF8));
    if (row.records_error) title.append(warning(row.records_error));
    const values = new Map();
    for (const [name, value] of row.records) if (!values.has(name)) values.set(name, value);
    for (const name of names) {
      const td = tr.insertCell();
      td.textContent = values.get(name) ?? "";
      td.title = td.textContent;
    }
  }
  main.append(table);
}

function render() {
  const main = $("blocks");
  main.replaceChildren();
  if (state.mode === "grid") renderGrid(main); else renderTable(main);
  const total = state.total;
  const end = state.start + state.rows.length;
  const of = total === null || total === undefined ? "…" : total.toLocaleString() + (state.complete ? "" : "+");
  $("range").textContent = state.rows.length ? `${state.start + 1}–${end} of ${of}` : `0 of ${of}`;
  const fields = $("fields");
  const known = new Set([...fields.options].map((o) => o.value));
  for (const row of state.rows) for (const [name] of row.records) {
    if (!known.has(name)) { known.add(name); const o = document.createElement("option"); o.value = name; fields.append(o); }
  }
  updateSelection();
}

function updateSelection() {
  $("selected").textContent = `${selectedOf(state.file).size} selected`;
}

async function openDetail(n) {
  let row;
  try {
    row = await getJSON("/api/block", { file: state.file, n });
  } catch (error) {
    showMessage(error.message);
    return;
  }
  $("detail-title").textContent = `#${row.n + 1} ${row.title}`;
  $("detail-drawing").replaceChildren(drawing(row, true));
  const table = $("detail-records");
  table.replaceChildren();
  if (row.records_error) table.insertRow().insertCell().textContent = row.records_error;
  if (row.not_utf8) table.insertRow().insertCell().textContent = NOT_UTF8;
  for (const [name, value] of row.records) {
    const tr = table.insertRow();
    tr.insertCell().textContent = name;
    tr.insertCell().textContent = value;
  }
  $("detail-raw").textContent = row.raw;
  const dialog = $("detail");
  if (!dialog.open) dialog.showModal();
}

function goTo(start) {
  const last = state.total ? Math.max(0, state.total - 1) : 0;
  state.start = Math.max(0, state.total === null || state.total === undefined ? start : Math.min(start, last));
  state.start -= state.start % state.size;
  load();
}

async function jump(event) {
  event.preventDefault();
  const n = parseInt($("jump").value, 10) - 1;
  if (!(n >= 0)) { showMessage("a block number is 1 or more"); return; }
  try {
    const found = await getJSON("/api/locate", { ...viewParams(), n });
    if (found.position === null) { showMessage(`block ${n + 1} is not in this view`); return; }
    showMessage("");
    goTo(found.position);
  } catch (error) {
    showMessage(error.message);
  }
}

async function exportSelection(event) {
  event.preventDefault();
  const chosen = [...selectedOf(state.file)].sort((a, b) => a - b);
  if (!chosen.length) { showMessage("select blocks to export first"); return; }
  const body = new URLSearchParams({ file: state.file, blocks: chosen.join(","), format: $("export-format").value });
  const response = await fetch("/api/export", { method: "POST", body });
  if (!response.ok) {
    const failure = await response.json().catch(() => ({ error: response.statusText }));
    showMessage(`export failed: ${failure.error}`);
    return;
  }
  const name = /filename="([^"]+)"/.exec(response.headers.get("Content-Disposition") || "");
  const link = document.createElement("a");
  link.href = URL.createObjectURL(await response.blob());
  link.download = name ? name[1] : "selection";
  document.body.append(link);
  link.click();
  link.remove();
  showMessage("");
}

function setMode(mode) {
  state.mode = mode;
  $("grid-mode").setAttribute("aria-pressed", String(mode === "grid"));
  $("table-mode").setAttribute("aria-pressed", String(mode === "table"));
  render();
}

async function start() {
  const files = await getJSON("/api/files", {});
  files.forEach((f, i) => {
    const option = document.createElement("option");
    option.value = i;
    option.textContent = f.name;
    $("file").append(option);
  });
  $("file").addEventListener("change", () => { state.file = Number($("file").value); state.start = 0; load(); });
  $("filter-form").addEventListener("submit", (e) => { e.preventDefault(); state.filter = $("filter").value.trim(); goTo(0); });
  $("sort-form").addEventListener("submit", (e) => {
    e.preventDefault(); state.sort = $("sort").value.trim(); state.desc = $("desc").checked; goTo(0);
  });
  $("grid-mode").addEventListener("click", () => setMode("grid"));
  $("table-mode").addEventListener("click", () => setMode("table"));
  $("first").addEventListener("click", () => goTo(0));
  $("prev").addEventListener("click", () => goTo(state.start - state.size));
  $("next").addEventListener("click", () => {
    if (state.total === null || state.start + state.size < state.total) goTo(state.start + state.size);
  });
  $("last").addEventListener("click", () => { if (state.total) goTo(state.total - 1); });
  $("page-size").addEventListener("change", () => { state.size = Number($("page-size").value); goTo(state.start); });
  $("jump-form").addEventListener("submit", jump);
  $("select-page").addEventListener("click", () => {
    for (const row of state.rows) selectedOf(state.file).add(row.n);
    render();
  });
  $("clear-selection").addEventListener("click", () => { selectedOf(state.file).clear(); render(); });
  $("export-form").addEventListener("submit", exportSelection);
  load();
}

document.addEventListener("DOMContentLoaded", () => { start().catch((e) => showMessage(e.message)); });
