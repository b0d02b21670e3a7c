// The page of sonoscriptor serve: uploads recordings to the JSON API, follows
// their progress, and shows each result as a piano roll over the waveform with
// bars, beats and chord names, plays the recording and the notes, and renders
// the score. Everything runs from this server; nothing is fetched elsewhere.
"use strict";

const API = "/api/transcriptions";
const POLL_MS = 250;
const PIXELS_PER_SECOND = 90;
const ROW = 7;             // pixels a semitone
const CHORD_LANE = 18;     // pixels above the notes for chord names

let audioContext = null;
function context() {
  audioContext = audioContext || new AudioContext();
  return audioContext;
}

// ---- Uploads -----------------------------------------------------------------------------------

function formFields() {
  const fields = [];
  for (const el of document.getElementById("form").elements) {
    if (el.name && el.value !== "") fields.push([el.name, el.value]);
  }
  return fields;
}

function upload(file) {
  const card = newCard(file);
  const data = new FormData();
  for (const [name, value] of formFields()) data.append(name, value);
  data.append("audio", file, file.name);
  const xhr = new XMLHttpRequest();
  xhr.open("POST", API);
  xhr.upload.onprogress = (e) => {
    if (e.lengthComputable) showProgress(card, 0, "uploading " + Math.round(100 * e.loaded / e.total) + "%");
  };
  xhr.onload = () => {
    const answer = parseJson(xhr.responseText);
    if (xhr.status !== 201) return showEnd(card, "failed", answer.error || "The upload was refused (" + xhr.status + ").");
    card.id = answer.id;
    card.el.dataset.id = answer.id;
    follow(card);
  };
  xhr.onerror = () => showEnd(card, "failed", "The server could not be reached.");
  card.xhr = xhr;
  xhr.send(data);
}

function parseJson(text) {
  try { return JSON.parse(text); } catch (e) { return {}; }
}

function newCard(file) {
  const el = document.getElementById("job").content.firstElementChild.cloneNode(true);
  el.querySelector(".name").textContent = file.name;
  document.getElementById("jobs").prepend(el);
  const card = { el, file, id: null, state: "uploading", xhr: null };
  el.querySelector(".cancel").onclick = () => cancelOrRemove(card);
  return card;
}

async function cancelOrRemove(card) {
  if (!card.id) {
    if (card.xhr) card.xhr.abort();
    card.el.remove();
    return;
  }
  const res = await fetch(API + "/" + card.id, { method: "DELETE" });
  if (res.status === 204 || res.status === 404) {
    stopPlayback(card);
    card.el.remove();
  }
}

async function follow(card) {
  for (;;) {
    const res = await fetch(API + "/" + card.id);
    if (!res.ok) return showEnd(card, "failed", "The transcription is gone.");
    const view = await res.json();
    if (view.state === "queued" || view.state === "running") {
      showProgress(card, view.progress, view.state === "queued" ? "waiting for its turn" : view.stage);
      await new Promise((r) => setTimeout(r, POLL_MS));
      continue;
    }
    card.el.querySelector(".cancel").textContent = "Remove";
    if (view.state === "done" || (view.state === "cancelled" && view.summary)) return showResult(card, view);
    return showEnd(card, view.state, view.error || "Cancelled.");
  }
}

function showProgress(card, share, words) {
  card.el.querySelector(".fill").style.width = (100 * share).toFixed(1) + "%";
  card.el.querySelector(".status").textContent = words + " — " + Math.round(100 * share) + "%";
}

function showEnd(card, state, sentence) {
  card.el.classList.add(state);
  card.el.dataset.state = state;
  card.el.querySelector(".fill").style.width = "100%";
  card.el.querySelector(".status").textContent = sentence;
  card.el.querySelector(".cancel").textContent = "Remove";
}

// ---- Results -----------------------------------------------------------------------------------

async function showResult(card, view) {
  const el = card.el;
  showEnd(card, view.state, view.state === "done" ? "Done." : "Cancelled: the notes found until then.");
  el.querySelector(".summary").textContent = view.summary;
  const base = API + "/" + card.id + "/";
  el.querySelector(".midi").href = base + "result.mid";
  el.querySelector(".score-link").href = base + "result.musicxml";
  el.querySelector(".notes-link").href = base + "notes.json";
  el.querySelector(".result").hidden = false;
  card.list = await (await fetch(base + "notes.json")).json();
  card.audio = new Audio(URL.createObjectURL(card.file));
  try {
    card.buffer = await context().decodeAudioData(await card.file.arrayBuffer());
  } catch (e) {
    card.buffer = null;   // a format the browser does not decode: the roll goes without the waveform
  }
  drawRoll(card);
  el.querySelector(".play-audio").onclick = () => play(card, true, false);
  el.querySelector(".play-notes").onclick = () => play(card, false, true);
  el.querySelector(".play-both").onclick = () => play(card, true, true);
  el.querySelector(".stop").onclick = () => stopPlayback(card);
  el.querySelector(".roll").onclick = (e) => { card.from = e.offsetX / PIXELS_PER_SECOND; moveCursor(card, card.from); };
  el.dataset.state = view.state;
  renderScore(card, base + "result.musicxml");
}

function lastSecond(card) {
  const ends = card.list.notes.map((n) => n.offset_s);
  return Math.max(card.buffer ? card.buffer.duration : 0, ...ends, 1);
}

function drawRoll(card) {
  const notes = card.list.notes;
  const low = notes.length ? Math.min(...notes.map((n) => n.pitch)) - 2 : 58;
  const high = notes.length ? Math.max(...notes.map((n) => n.pitch)) + 2 : 72;
  const seconds = lastSecond(card);
  const canvas = card.el.querySelector(".roll");
  const width = Math.ceil(seconds * PIXELS_PER_SECOND) + 20, height = CHORD_LANE + (high - low + 1) * ROW;
  canvas.width = width;
  canvas.height = height;
  const g = canvas.getContext("2d");
  const x = (t) => t * PIXELS_PER_SECOND;
  const y = (p) => CHORD_LANE + (high - p) * ROW;
  g.fillStyle = "#fcfcfd";
  g.fillRect(0, 0, width, height);
  for (let p = low; p <= high; p++) {         // black keys' rows shaded
    if ([1, 3, 6, 8, 10].includes(p % 12)) { g.fillStyle = "#f2f4f7"; g.fillRect(0, y(p), width, ROW); }
  }
  drawWaveform(g, card.buffer, CHORD_LANE, height - CHORD_LANE);
  g.fillStyle = "rgba(102,112,133,0.35)";
  for (const t of card.list.beats) g.fillRect(Math.round(x(t)), CHORD_LANE, 1, height);
  g.fillStyle = "#344054";
  for (const t of card.list.downbeats) g.fillRect(Math.round(x(t)), 0, 2, height);
  g.font = "12px system-ui, sans-serif";
  g.fillStyle = "#1d2330";
  for (const c of card.list.chords) g.fillText(c.name, x(c.time_s) + 3, 13);
  for (const n of notes) {
    const alpha = 0.45 + 0.55 * (n.velocity / 127);
    g.fillStyle = `rgba(46,108,223,${alpha.toFixed(2)})`;
    g.fillRect(x(n.onset_s), y(n.pitch) + 1, Math.max(2, x(n.offset_s - n.onset_s)), ROW - 1);
  }
  canvas.dataset.notes = String(notes.length);
  canvas.dataset.bars = String(card.list.downbeats.length);
  card.el.querySelector(".cursor").style.height = height + "px";
  card.from = 0;
}

function drawWaveform(g, buffer, top, height) {
  if (!buffer) return;
  const data = buffer.getChannelData(0);
  const columns = Math.ceil(buffer.duration * PIXELS_PER_SECOND);
  const per = Math.max(1, Math.floor(data.length / columns));
  const mid = top + height / 2;
  g.fillStyle = "rgba(152,162,179,0.45)";
  for (let c = 0; c < columns; c++) {
    let lo = 0, hi = 0;
    for (let i = c * per; i < Math.min(data.length, (c + 1) * per); i++) {
      lo = Math.min(lo, data[i]);
      hi = Math.max(hi, data[i]);
    }
    g.fillRect(c, mid - hi * height / 2, 1, Math.max(1, (hi - lo) * height / 2));
  }
}

// ---- Playback ----------------------------------------------------------------------------------

function play(card, recording, notes) {
  stopPlayback(card);
  const ctx = context();
  ctx.resume();
  const from = card.from || 0;
  const start = ctx.currentTime + 0.1;
  card.playing = { start, from, voices: [] };
  if (recording) {
    card.audio.currentTime = from;
    setTimeout(() => card.playing && card.audio.play().catch(() => {}), 100);
  }
  if (notes) {
    for (const n of card.list.notes) {
      if (n.offset_s <= from) continue;
      card.playing.voices.push(tone(ctx, start + Math.max(0, n.onset_s - from), start + n.offset_s - from,
                                    n.pitch, n.velocity));
    }
  }
  const step = () => {
    if (!card.playing) return;
    // The recording's own clock while it plays alone; the synth's otherwise.
    const t = recording && !notes && !card.audio.paused ? card.audio.currentTime
                                                        : from + Math.max(0, ctx.currentTime - start);
    moveCursor(card, t);
    if (t > lastSecond(card)) return stopPlayback(card);
    card.frame = requestAnimationFrame(step);
  };
  card.frame = requestAnimationFrame(step);
}

// A simple synth voice: a triangle wave with a short attack and a decay to the note's end.
function tone(ctx, on, off, pitch, velocity) {
  const osc = ctx.createOscillator(), gain = ctx.createGain();
  osc.type = "triangle";
  osc.frequency.value = 440 * Math.pow(2, (pitch - 69) / 12);
  const peak = 0.12 * (velocity / 127);
  gain.gain.setValueAtTime(0, on);
  gain.gain.linearRampToValueAtTime(peak, on + 0.01);
  gain.gain.exponentialRampToValueAtTime(peak * 0.3, Math.max(on + 0.02, off));
  gain.gain.linearRampToValueAtTime(0, Math.max(on + 0.03, off + 0.05));
  osc.connect(gain).connect(ctx.destination);
  osc.start(on);
  osc.stop(Math.max(on + 0.03, off + 0.06));
  return osc;
}

function stopPlayback(card) {
  if (!card.playing) return;
  for (const v of card.playing.voices) { try { v.stop(); } catch (e) { /* already ended */ } }
  card.playing = null;
  if (card.audio) card.audio.pause();
  cancelAnimationFrame(card.frame);
}

function moveCursor(card, t) {
  const px = t * PIXELS_PER_SECOND;
  const cursor = card.el.querySelector(".cursor");
  cursor.style.left = px.toFixed(1) + "px";
  cursor.dataset.seconds = t.toFixed(3);
  const m = Math.floor(t / 60), s = (t - 60 * m).toFixed(1).padStart(4, "0");
  card.el.querySelector(".time").textContent = m + ":" + s;
  const scroll = card.el.querySelector(".roll-scroll");
  if (px > scroll.scrollLeft + scroll.clientWidth - 40 || px < scroll.scrollLeft) scroll.scrollLeft = Math.max(0, px - 40);
}

// ---- The score ---------------------------------------------------------------------------------

async function renderScore(card, url) {
  const div = card.el.querySelector(".score");
  try {
    const xml = await (await fetch(url)).text();
    const osmd = new opensheetmusicdisplay.OpenSheetMusicDisplay(div, { autoResize: true, backend: "svg", drawTitle: true });
    await osmd.load(xml);
    osmd.render();
    div.dataset.rendered = "yes";
  } catch (e) {
    div.textContent = "The score could not be shown here (" + e + "); download it instead.";
  }
}

// ---- Dropping and choosing files ---------------------------------------------------------------

function setUp() {
  const drop = document.getElementById("drop");
  drop.addEventListener("dragover", (e) => { e.preventDefault(); drop.classList.add("over"); });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", (e) => {
    e.preventDefault();
    drop.classList.remove("over");
    for (const f of e.dataTransfer.files) upload(f);
  });
  const input = document.getElementById("files");
  input.addEventListener("change", () => {
    for (const f of input.files) upload(f);
    input.value = "";
  });
}

setUp();
