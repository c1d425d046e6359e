// The page: each change of the phrase or a constraint (debounced) aborts the
// requests under way and starts new ones; the server drops a page's older
// search when a newer one comes. Words from the server are always set as
// text, never as HTML.
"use strict";

const $ = (id) => document.getElementById(id);
const DEBOUNCE_MS = 40;
const PAGE = 100;
const client = Math.random().toString(36).slice(2) + Date.now().toString(36);
const FIELDS = ["max_words", "min_words", "min_length", "enum", "must_start", "only_start", "not_start",
                "contains", "include", "exclude"];

const state = {
  seq: 0, kept: [], shown: 0, more: false, loading: false,
  search: null, side: null, ranked: false, phraseKey: "",
};
// For the benchmark and the tests: when the phrase last changed, and when
// the first anagram of the search it started was on the page.
window.anagramTiming = { typed: 0, first: 0 };

function params(extra) {
  const p = new URLSearchParams();
  p.set("phrase", $("phrase").value);
  for (const w of state.kept) p.append("keep", w);
  for (const f of FIELDS) {
    const v = $(f).value.trim();
    if (v !== "") p.set(f, v);
  }
  for (const [k, v] of Object.entries(extra || {})) p.set(k, String(v));
  return p;
}

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}

function setMessage(text, isError) {
  $("message").textContent = text || "";
  document.body.classList.toggle("error", !!isError);
}

let timer = 0;
function schedule() {
  clearTimeout(timer);
  timer = setTimeout(refresh, DEBOUNCE_MS);
}

function abortAll() {
  if (state.search) state.search.abort();
  if (state.side) state.side.abort();
  state.search = state.side = null;
}

function refresh() {
  abortAll();
  state.shown = 0;
  state.more = false;
  $("results").replaceChildren();
  $("more").hidden = true;
  $("count").textContent = "";
  setMessage("");
  const phrase = $("phrase").value;
  state.phraseKey = sortedWords(phrase);
  if (phrase.trim() === "") {
    state.kept = [];
    document.body.dataset.state = "idle";
    renderHand({ words: [], total: 0, letters: "", phrase_letters: "" });
    return;
  }
  const side = new AbortController();
  state.side = side;
  // The search first: the words list waits for its first rows, so that
  // computing it does not hold back the first anagram.
  state.wordsPending = side.signal;
  search(0);
  loadCount(side.signal);
  testCandidate();
}

function wordsNow() {
  const signal = state.wordsPending;
  if (signal) {
    state.wordsPending = null;
    loadWords(signal);
  }
}

function sortedWords(text) {
  return text.toLowerCase().split(/\s+/).filter(Boolean).sort().join(" ");
}

async function getJSON(path, p, signal) {
  const r = await fetch(path + "?" + p.toString(), { signal });
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

async function loadCount(signal) {
  const seq = ++state.seq;
  try {
    const body = await getJSON("/api/count", params({ client, seq }), signal);
    if (body.superseded) return;
    if (body.count === null) {
      $("count").textContent = "";
      setMessage(body.message);
    } else if (body.message) {
      $("count").textContent = "";
    } else {
      const n = typeof body.count === "string" ? BigInt(body.count) : body.count;
      $("count").textContent = n.toLocaleString("en-US") + (n == 1 ? " anagram" : " anagrams");
      $("count").dataset.count = String(body.count);
    }
  } catch (e) {
    if (e.name !== "AbortError") setMessage(e.message, true);
  }
}

async function loadWords(signal) {
  try {
    renderHand(await getJSON("/api/words", params(), signal));
  } catch (e) {
    if (e.name !== "AbortError") setMessage(e.message, true);
  }
}

async function search(offset) {
  const controller = new AbortController();
  if (state.search) state.search.abort();
  state.search = controller;
  state.loading = true;
  document.body.dataset.state = "searching";
  const seq = ++state.seq;
  const startedAt = window.anagramTiming.typed;
  try {
    const r = await fetch("/api/search?" + params({ client, seq, offset, limit: PAGE }),
                          { signal: controller.signal });
    if (!r.ok) {
      const body = await r.json();
      throw new Error(body.error || r.statusText);
    }
    const reader = r.body.getReader();
    const decoder = new TextDecoder();
    let pending = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      pending += decoder.decode(value, { stream: true });
      let cut;
      while ((cut = pending.indexOf("\n")) >= 0) {
        const line = pending.slice(0, cut);
        pending = pending.slice(cut + 1);
        if (line) onLine(JSON.parse(line), startedAt);
      }
    }
  } catch (e) {
    if (e.name === "AbortError") return;
    setMessage(e.message, true);
  } finally {
    if (state.search === controller) {
      state.search = null;
      state.loading = false;
      document.body.dataset.state = "done";
    }
  }
}

function onLine(msg, startedAt) {
  if (msg.type === "rows") {
    const list = $("results");
    const frag = document.createDocumentFragment();
    for (const row of msg.rows) {
      const li = el("li", row.words.join(" "));
      if (sortedWords(row.words.join(" ")) === state.phraseKey) li.classList.add("same");
      if (row.score !== null) li.appendChild(el("span", row.score.toFixed(2), "score"));
      frag.appendChild(li);
    }
    list.appendChild(frag);
    if (state.shown === 0 && window.anagramTiming.typed === startedAt && !window.anagramTiming.first)
      window.anagramTiming.first = performance.now();
    state.shown += msg.rows.length;
    wordsNow();
    $("results").dataset.shown = String(state.shown);
  } else if (msg.type === "end") {
    if (msg.superseded) return;
    wordsNow();
    state.more = !!msg.more;
    $("more").hidden = !state.more;
    if (msg.message) setMessage(msg.message);
    else if (msg.timed_out) setMessage("The search stopped at the server's time limit.");
  }
}

function loadMore() {
  if (state.more && !state.loading) {
    state.more = false;
    $("more").hidden = true;
    search(state.shown);
  }
}

// Working by hand.

function renderHand(body) {
  const tiles = $("tiles");
  tiles.replaceChildren();
  const left = {};
  for (const c of body.letters || "") left[c] = (left[c] || 0) + 1;
  // Letters the kept words use are shown used: the last ones of each letter.
  const counts = {};
  for (const c of body.phrase_letters || "") counts[c] = (counts[c] || 0) + 1;
  const seen = {};
  for (const c of body.phrase_letters || "") {
    seen[c] = (seen[c] || 0) + 1;
    const t = el("span", c, "tile");
    if (seen[c] > (left[c] || 0)) t.classList.add("used");
    tiles.appendChild(t);
  }
  const kept = $("kept");
  kept.replaceChildren();
  state.kept.forEach((w, i) => {
    const b = el("button", w, "kept");
    b.type = "button";
    b.title = "Put back";
    b.addEventListener("click", () => { state.kept.splice(i, 1); refresh(); });
    kept.appendChild(b);
  });
  $("undo").disabled = $("clear").disabled = state.kept.length === 0;
  const words = $("words");
  words.replaceChildren();
  for (const w of body.words || []) {
    const li = el("li");
    const b = el("button", w.text);
    b.type = "button";
    b.dataset.key = w.key;
    if (w.score !== null && w.score !== undefined) b.title = "score " + w.score.toFixed(2);
    b.addEventListener("click", () => keep(w.key));
    li.appendChild(b);
    words.appendChild(li);
  }
  const note = $("words-note");
  if (body.message) note.textContent = "";
  else if (!body.letters) note.textContent = state.kept.length ? "The kept words use every letter." : "";
  else if (!body.total) note.textContent = "No word fits the letters left.";
  else note.textContent = `${body.total.toLocaleString("en-US")} words fit the letters left` +
    (body.total > body.words.length ? ` (the first ${body.words.length} shown)` : "") +
    "; click one to keep it.";
}

function keep(word) {
  state.kept.push(word);
  refresh();
}

let candidateTimer = 0;
let candidateController = null;
function testCandidate() {
  clearTimeout(candidateTimer);
  candidateTimer = setTimeout(async () => {
    if (candidateController) candidateController.abort();
    const verdict = $("verdict");
    const candidate = $("candidate").value;
    if (candidate.trim() === "" || $("phrase").value.trim() === "") {
      verdict.replaceChildren();
      return;
    }
    candidateController = new AbortController();
    try {
      const p = new URLSearchParams({ phrase: $("phrase").value, candidate });
      const body = await getJSON("/api/test", p, candidateController.signal);
      verdict.replaceChildren();
      verdict.dataset.exact = String(body.exact);
      if (body.exact) {
        verdict.appendChild(el("div", "Yes: it uses exactly the letters of the phrase.", "yes"));
      } else {
        verdict.appendChild(el("div", "No: not exactly the letters of the phrase.", "no"));
        verdict.appendChild(el("div", "Left over from the phrase: " + (body.phrase_left || "(none)"), "left-phrase"));
        verdict.appendChild(el("div", "Not in the phrase: " + (body.candidate_left || "(none)"), "left-candidate"));
      }
      if (body.unknown.length)
        verdict.appendChild(el("div", "Not in the word list: " + body.unknown.join(" "), "unknown"));
    } catch (e) {
      if (e.name !== "AbortError") verdict.textContent = e.message;
    }
  }, DEBOUNCE_MS);
}

// Wiring.

$("phrase").addEventListener("input", () => {
  window.anagramTiming = { typed: performance.now(), first: 0 };
  state.kept = [];
  schedule();
});
for (const f of FIELDS) $(f).addEventListener("input", schedule);
$("undo").addEventListener("click", () => { state.kept.pop(); refresh(); });
$("clear").addEventListener("click", () => { state.kept = []; refresh(); });
$("candidate").addEventListener("input", testCandidate);
$("more").addEventListener("click", loadMore);
new IntersectionObserver((entries) => {
  if (entries.some((e) => e.isIntersecting)) loadMore();
}).observe($("more-line"));
fetch("/api/info").then((r) => r.json()).then((info) => {
  state.ranked = info.ranked;
  $("order-note").textContent = info.ranked ? "(most common words first)" : "(in result order)";
}).catch(() => {});
if ($("phrase").value) schedule();
