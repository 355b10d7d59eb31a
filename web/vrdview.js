// The page of vrdview. Everything it shows about a volume comes from the
// server: planes already windowed (volmap's function) or compared (volcmp's),
// values, the header in words and vrdinfo's verdict. The page only turns
// window values 0..1 into grey levels, draws, and keeps what the user chose.
'use strict';

const $ = (id) => document.getElementById(id);
const token = new URLSearchParams(location.search).get('token') || '';
const headers = { 'X-Vrdview-Token': token };

const state = {
  info: null,
  window: ['0', '0.25', '0.75', '1'], // the four numbers as the user and the command see them
  axis: { lo: 0, hi: 1 },             // the histogram's value range
  overlay: true,
  settled: false,                      // the first window is set
  firstDrawn: false,
};

// Numbers the handles write: 5 significant digits, as short as JavaScript writes them.
function numberText(v) {
  if (!Number.isFinite(v)) return String(v);
  return String(Number(v.toPrecision(5)));
}

function validNumber(text) {
  // What volmap takes: a whole decimal number, inf or nan as strtod reads them.
  return /^\s*[+-]?((\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|inf(inity)?|nan)\s*$/i.test(text);
}

function say(text) {
  $('messages').textContent = text;
}

const problems = new Map(); // where -> message, shown together
function problem(where, text) {
  if (text) problems.set(where, text); else problems.delete(where);
  say([...problems.values()].join('\n'));
}

async function api(path) {
  const res = await fetch(path, { headers, cache: 'no-store' });
  return res;
}

// Rows of a plane whose slices could not be read whole, from the server's
// "first-last,first-last" ranges: a flag per row, or null when there is none.
function damagedRows(text, height) {
  if (!text) return null;
  const rows = new Uint8Array(height);
  for (const range of text.split(',')) {
    const [first, last] = range.split('-').map(Number);
    for (let r = Math.max(first, 0); r <= Math.min(last, height - 1); r++) rows[r] = 1;
  }
  return rows;
}
const DAMAGED_PIXEL = 0xff203060; // dark brown (RGB 96, 48, 32; red in the low byte)

// ---------------------------------------------------------------- views

class View {
  constructor(figure) {
    this.axis = figure.dataset.axis;
    this.canvas = figure.querySelector('canvas');
    this.slider = figure.querySelector('input[type=range]');
    this.where = figure.querySelector('.where');
    this.index = 0;
    this.image = document.createElement('canvas'); // the plane at one pixel per voxel
    this.width = 0; this.height = 0; this.step = 1; this.aspect = 1;
    this.values = null; this.diff = null;
    this.zoom = 1; this.panX = 0; this.panY = 0;
    this.busy = false; this.again = false;
    this.wanted = ''; this.drawn = '';
    this.note = '';
    this.started = 0; this.measure = '';
    this.slider.addEventListener('input', () => this.go(Number(this.slider.value), 'vrdview:slice'));
    this.canvas.addEventListener('wheel', (e) => this.wheel(e), { passive: false });
    this.canvas.addEventListener('pointerdown', (e) => this.press(e));
    this.canvas.addEventListener('pointermove', (e) => this.move(e));
    this.canvas.addEventListener('pointerup', (e) => this.release(e));
    this.canvas.addEventListener('dblclick', () => { this.zoom = 1; this.panX = this.panY = 0; this.draw(); });
    this.canvas.addEventListener('keydown', (e) => keys(e, this));
    new ResizeObserver(() => this.draw()).observe(this.canvas);
  }

  extent() {
    const f = state.info && state.info.files[0];
    if (!f || f.nx === undefined) return 1;
    return this.axis === 'z' ? f.nz : this.axis === 'y' ? f.ny : f.nx;
  }

  // Moves to plane i; `measure` names the performance measure of the change.
  go(i, measure) {
    i = Math.max(0, Math.min(this.extent() - 1, Math.round(i)));
    if (i === this.index && this.drawn === this.key()) return;
    this.index = i;
    this.slider.value = String(i);
    this.mark(measure);
    this.request();
  }

  // Starts a performance measure that ends when the plane shows this change.
  mark(measure) {
    if (!measure) return;
    this.started = performance.now();
    this.measure = measure;
    this.measured = this.key();
  }

  key() {
    return `${this.index}|${state.window.join(',')}|${state.overlay && twoFiles()}`;
  }

  async request() {
    if (!state.ready) return;
    this.wanted = this.key();
    if (this.busy) { this.again = true; return; }
    this.busy = true;
    const key = this.wanted;
    const index = this.index;
    try {
      const base = `/api/plane?axis=${this.axis}&i=${index}`;
      const plane = api(`${base}&f=0&w=${encodeURIComponent(state.window.join(','))}`);
      const diff = state.overlay && twoFiles() && !state.info.difference.refused ? api(`${base}&diff=1`) : null;
      const res = await plane;
      if (res.ok) {
        this.values = new Float32Array(await res.arrayBuffer());
        this.width = Number(res.headers.get('X-Width'));
        this.height = Number(res.headers.get('X-Height'));
        this.step = Number(res.headers.get('X-Step'));
        this.aspect = Number(res.headers.get('X-Aspect')) || 1;
        this.damaged = damagedRows(res.headers.get('X-Damaged-Rows'), this.height);
        this.diff = null;
        if (diff) {
          const d = await diff;
          if (d.ok) this.diff = new Float32Array(await d.arrayBuffer());
          else problem('diff', `difference: ${(await d.json()).message}`);
        }
        this.note = '';
        problem(this.axis, '');
        this.paint();
        this.drawn = key;
      } else {
        const body = await res.json();
        this.values = null;
        this.note = body.message;
        if (diff) await diff.catch(() => null);
        if (body.later) setTimeout(() => this.request(), 400);
        else problem(this.axis, `${state.info.files[0].path}: ${body.message}`);
        this.drawn = body.later ? '' : key;
      }
    } catch (error) {
      this.note = 'the server does not answer';
      problem('server', `vrdview's server does not answer (${error.message}); is it still running?`);
      this.drawn = key;
    }
    this.draw();
    this.busy = false;
    if (this.again) { this.again = false; if (this.wanted !== this.drawn) this.request(); }
  }

  // The plane into the one-pixel-per-voxel image: window values 0..1 as
  // grey levels 0..255 (NaN black), voxels where the files differ in red,
  // and the rows of slices that could not be read (zeros, not data) in
  // dark brown.
  paint() {
    const { width, height, values, diff, damaged } = this;
    this.image.width = width; this.image.height = height;
    const ctx = this.image.getContext('2d');
    const img = ctx.createImageData(width, height);
    // One 32-bit write per pixel, red in the low byte: the page runs on the
    // server's machine, which sends its floats little-endian too.
    const px = new Uint32Array(img.data.buffer);
    for (let i = 0; i < values.length; i++) {
      const v = values[i];
      const g = v > 0 ? (v < 1 ? Math.round(v * 255) : 255) : 0;
      const d = diff ? diff[i] : 0;
      px[i] = d !== 0 && d === d ? 0xff000000 | (g >> 2) << 16 | (g >> 2) << 8 | 255
        : 0xff000000 | g << 16 | g << 8 | g;
    }
    if (damaged) {
      for (let row = 0; row < height; row++) {
        if (damaged[row]) px.fill(DAMAGED_PIXEL, row * width, (row + 1) * width);
      }
    }
    ctx.putImageData(img, 0, 0);
  }

  // Where the plane's pixel (0, 0) lands on the canvas and how large a voxel is.
  layout() {
    const c = this.canvas;
    const w = this.width || 1, h = (this.height || 1) * this.aspect;
    const fit = Math.min(c.width / w, c.height / h);
    const sx = fit * this.zoom, sy = fit * this.zoom * this.aspect;
    return { sx, sy, ox: (c.width - w * fit * this.zoom) / 2 + this.panX, oy: (c.height - h * fit * this.zoom) / 2 + this.panY };
  }

  draw() {
    const c = this.canvas;
    const ratio = window.devicePixelRatio || 1;
    const cw = Math.round(c.clientWidth * ratio), ch = Math.round(c.clientHeight * ratio);
    if (c.width !== cw || c.height !== ch) { c.width = cw; c.height = ch; }
    const ctx = c.getContext('2d');
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.fillStyle = '#000';
    ctx.fillRect(0, 0, c.width, c.height);
    if (this.values) {
      const { sx, sy, ox, oy } = this.layout();
      ctx.imageSmoothingEnabled = false;
      ctx.drawImage(this.image, ox, oy, this.width * sx, this.height * sy);
    }
    if (this.note) {
      ctx.fillStyle = '#ccc';
      ctx.font = `${14 * ratio}px system-ui, sans-serif`;
      ctx.fillText(this.note, 10 * ratio, 24 * ratio);
    }
    this.where.textContent = this.extent() > 1 || this.axis === 'z'
      ? `${this.axis} = ${this.index}${this.step > 1 && this.axis !== 'z' ? ` (1 voxel in ${this.step} along each axis)` : ''}` : '';
    if (this.values && this.measure && this.drawn === this.measured) {
      performance.measure(this.measure, { start: this.started, end: performance.now() });
      this.measure = '';
    }
    if (this.values && this.axis === 'z' && !state.firstDrawn) {
      state.firstDrawn = true;
      performance.mark('vrdview:first-slice');
    }
  }

  // The voxel (x, y, z) under a canvas point, or null.
  voxelAt(cx, cy) {
    if (!this.values) return null;
    const { sx, sy, ox, oy } = this.layout();
    const col = Math.floor((cx - ox) / sx), row = Math.floor((cy - oy) / sy);
    if (col < 0 || row < 0 || col >= this.width || row >= this.height) return null;
    const windowed = this.values[row * this.width + col];
    const s = this.step;
    if (this.axis === 'z') return { x: col, y: row, z: this.index, windowed };
    // A copy's plane holds the voxels of index rounded down to its step.
    const at = Math.floor(this.index / s) * s;
    if (this.axis === 'y') return { x: col * s, y: at, z: row * s, windowed };
    return { x: at, y: col * s, z: row * s, windowed };
  }

  // The canvas point (CSS pixels from the canvas's corner) at the centre of a plane pixel.
  pointOf(col, row) {
    const { sx, sy, ox, oy } = this.layout();
    const ratio = window.devicePixelRatio || 1;
    return { x: (ox + (col + 0.5) * sx) / ratio, y: (oy + (row + 0.5) * sy) / ratio };
  }

  canvasPoint(e) {
    const r = this.canvas.getBoundingClientRect();
    const ratio = window.devicePixelRatio || 1;
    return { x: (e.clientX - r.left) * ratio, y: (e.clientY - r.top) * ratio };
  }

  wheel(e) {
    e.preventDefault();
    if (e.ctrlKey || e.metaKey) {
      const p = this.canvasPoint(e);
      const factor = Math.exp(-e.deltaY / 300);
      const zoom = Math.max(0.25, Math.min(64, this.zoom * factor));
      const { ox, oy } = this.layout();
      const k = zoom / this.zoom;
      // The plane's corner moves so that the point under the pointer stays;
      // the pan is that corner less the centring at the new zoom.
      this.zoom = zoom;
      const centred = this.layout();
      this.panX += p.x - (p.x - ox) * k - centred.ox;
      this.panY += p.y - (p.y - oy) * k - centred.oy;
      this.draw();
    } else {
      this.go(this.index + (e.deltaY > 0 ? 1 : -1), 'vrdview:slice');
    }
  }

  press(e) {
    this.canvas.focus();
    this.canvas.setPointerCapture(e.pointerId);
    this.dragFrom = { x: e.clientX, y: e.clientY, panX: this.panX, panY: this.panY, moved: false };
  }

  move(e) {
    const d = this.dragFrom;
    if (d) {
      const ratio = window.devicePixelRatio || 1;
      const dx = (e.clientX - d.x) * ratio, dy = (e.clientY - d.y) * ratio;
      if (Math.abs(dx) + Math.abs(dy) > 3) d.moved = true;
      if (d.moved) { this.panX = d.panX + dx; this.panY = d.panY + dy; this.draw(); }
      return;
    }
    const p = this.canvasPoint(e);
    readout(this.voxelAt(p.x, p.y));
  }

  release(e) {
    const d = this.dragFrom;
    this.dragFrom = null;
    if (d && !d.moved) {
      // A click moves the other two planes through the voxel.
      const p = this.canvasPoint(e);
      const v = this.voxelAt(p.x, p.y);
      if (!v) return;
      for (const other of views) {
        if (other === this) continue;
        other.go(other.axis === 'z' ? v.z : other.axis === 'y' ? v.y : v.x, other.axis === 'z' ? 'vrdview:slice' : '');
      }
    }
  }
}

function twoFiles() {
  return state.info && state.info.files.length > 1;
}

const views = [...document.querySelectorAll('.view')].map((f) => new View(f));
const axial = views[0];

function keys(e, view) {
  const step = { ArrowUp: 1, ArrowRight: 1, ArrowDown: -1, ArrowLeft: -1, PageUp: 10, PageDown: -10 }[e.key];
  if (step === undefined) return;
  e.preventDefault();
  view.go(view.index + step, view.axis === 'z' ? 'vrdview:slice' : '');
}

document.addEventListener('keydown', (e) => {
  if (e.target instanceof HTMLInputElement || e.target instanceof HTMLCanvasElement) return;
  keys(e, axial);
});

// ---------------------------------------------------------------- read-out

let valueBusy = false, valueNext = null;
async function readout(v) {
  if (!v) return;
  if (valueBusy) { valueNext = v; return; }
  valueBusy = true;
  try {
    const res = await api(`/api/value?f=0&x=${v.x}&y=${v.y}&z=${v.z}`);
    const body = await res.json();
    if (res.ok) {
      const w = Number.isNaN(v.windowed) ? 'NaN' : numberText(v.windowed);
      $('readout').textContent = `x ${body.x}  y ${body.y}  z ${body.z}  value ${body.value}  windowed ${w}  ` +
        `position ${body.position.map(numberText).join(', ')} ${body.units}`;
    } else {
      $('readout').textContent = body.message;
    }
  } catch (error) {
    $('readout').textContent = `no value: ${error.message}`;
  }
  valueBusy = false;
  if (valueNext) { const next = valueNext; valueNext = null; readout(next); }
}

// ---------------------------------------------------------------- window editor

const fields = ['w-min', 'w-mid1', 'w-mid2', 'w-max'].map($);
const histogram = $('histogram');

function setWindow(texts, measure) {
  state.window = texts.slice();
  fields.forEach((f, k) => { if (document.activeElement !== f) f.value = texts[k]; f.classList.remove('invalid'); });
  const values = texts.map(Number).filter(Number.isFinite);
  state.axis.lo = Math.min(state.axis.lo, ...values);
  state.axis.hi = Math.max(state.axis.hi, ...values);
  drawHistogram();
  showCommand();
  // The axial plane first: the other two would share the server's cores with it.
  axial.mark(measure);
  axial.request().then(() => { for (const v of views) if (v !== axial) v.request(); });
}

fields.forEach((f, k) => f.addEventListener('input', () => {
  if (!validNumber(f.value)) { f.classList.add('invalid'); return; }
  const texts = state.window.slice();
  texts[k] = f.value.trim();
  setWindow(texts, 'vrdview:window');
}));

function quote(text) {
  return /^[\w@%+=:,./-]+$/.test(text) ? text : `'${text.replace(/'/g, `'\\''`)}'`;
}

function showCommand() {
  const f = state.info && state.info.files[0];
  if (!f) return;
  const out = f.path.replace(/(\.vrd)?$/, '-windowed.vrd');
  $('command').textContent = ['volmap', quote(f.path), quote(out), ...state.window.map(quote)].join(' ');
}

$('copy').addEventListener('click', async () => {
  const text = $('command').textContent;
  try {
    await navigator.clipboard.writeText(text);
    $('copy').textContent = 'Copied';
  } catch {
    getSelection().selectAllChildren($('command'));
    $('copy').textContent = 'Press Ctrl+C';
  }
  setTimeout(() => { $('copy').textContent = 'Copy'; }, 1500);
});

const margin = 12;
function xOf(v) {
  const { lo, hi } = state.axis;
  return margin + (v - lo) / (hi - lo || 1) * (histogram.width - 2 * margin);
}
function valueOf(x) {
  const { lo, hi } = state.axis;
  return lo + (x - margin) / (histogram.width - 2 * margin) * (hi - lo);
}

function drawHistogram() {
  const ctx = histogram.getContext('2d');
  const W = histogram.width, H = histogram.height, top = 14, bottom = H - 18;
  ctx.fillStyle = '#111';
  ctx.fillRect(0, 0, W, H);
  const f = state.info && state.info.files[0];
  if (f && f.histogram) {
    const counts = f.histogram;
    const peak = Math.log1p(Math.max(...counts));
    ctx.fillStyle = '#4a6a8a';
    const binWidth = (f.max - f.min) / counts.length;
    counts.forEach((c, i) => {
      const x0 = xOf(f.min + i * binWidth), x1 = xOf(f.min + (i + 1) * binWidth);
      const h = peak > 0 ? Math.log1p(c) / peak * (bottom - top) : 0;
      ctx.fillRect(x0, bottom - h, Math.max(1, x1 - x0), h);
    });
  }
  // The trapezoid through the four handles, on a scale of 0 (bottom) to 1.
  const w = state.window.map(Number);
  const pts = [[w[0], 0], [w[1], 1], [w[2], 1], [w[3], 0]].map(([v, y]) => [xOf(v), bottom - y * (bottom - top)]);
  ctx.strokeStyle = '#f0a030';
  ctx.lineWidth = 2;
  ctx.beginPath();
  ctx.moveTo(0, bottom);
  pts.forEach(([x, y]) => ctx.lineTo(x, y));
  ctx.lineTo(W, bottom);
  ctx.stroke();
  ctx.fillStyle = '#f0a030';
  pts.forEach(([x, y]) => { ctx.beginPath(); ctx.arc(x, y, 6, 0, 2 * Math.PI); ctx.fill(); });
  ctx.fillStyle = '#9a9a9a';
  ctx.font = '11px system-ui, sans-serif';
  ctx.fillText(numberText(state.axis.lo), 2, H - 4);
  const hiText = numberText(state.axis.hi);
  ctx.fillText(hiText, W - 4 - ctx.measureText(hiText).width, H - 4);
  if (f && f.step > 1 && f.histogram) ctx.fillText(`1 voxel in ${f.step} along each axis`, 4, 11);
}

// Handle k's position on the histogram canvas, in CSS pixels (for tests and dragging).
function handlePoint(k) {
  const bottom = histogram.height - 18, top = 14;
  const scale = histogram.clientWidth / histogram.width;
  const y = k === 1 || k === 2 ? top : bottom;
  return { x: xOf(Number(state.window[k])) * scale, y: y * scale };
}

let dragging = -1;
histogram.addEventListener('pointerdown', (e) => {
  const r = histogram.getBoundingClientRect();
  const x = e.clientX - r.left, y = e.clientY - r.top;
  let best = -1, bestDistance = 14;
  for (let k = 0; k < 4; k++) {
    const p = handlePoint(k);
    const d = Math.hypot(p.x - x, p.y - y);
    if (d < bestDistance) { best = k; bestDistance = d; }
  }
  if (best < 0) return;
  dragging = best;
  histogram.setPointerCapture(e.pointerId);
});
histogram.addEventListener('pointermove', (e) => {
  if (dragging < 0) return;
  const r = histogram.getBoundingClientRect();
  const scale = histogram.width / histogram.clientWidth;
  let v = valueOf((e.clientX - r.left) * scale);
  // A handle stays between its neighbours.
  const w = state.window.map(Number);
  if (dragging > 0 && Number.isFinite(w[dragging - 1])) v = Math.max(v, w[dragging - 1]);
  if (dragging < 3 && Number.isFinite(w[dragging + 1])) v = Math.min(v, w[dragging + 1]);
  const texts = state.window.slice();
  texts[dragging] = numberText(v);
  if (texts[dragging] !== state.window[dragging]) setWindow(texts, 'vrdview:window');
});
histogram.addEventListener('pointerup', () => { dragging = -1; });

// ---------------------------------------------------------------- what the server knows

function showInfo(info) {
  state.info = info;
  const files = info.files;
  const f = files[0];
  $('file').textContent = files.map((g) => g.path).join(' and ');
  document.title = `vrdview ${files.map((g) => g.path).join(' ')}`;
  $('words').textContent = files.map((g) => (files.length > 1 ? `${g.path}\n` : '') + (g.words || '')).join('\n');
  $('report').textContent = files.map((g) => g.report || `${g.path}: ${g.phase || ''}`).join('\n');

  // Verdicts in vrdinfo's words.
  const verdicts = files.map((g) => `${g.path}: ${g.verdict || (g.refused ? `refused: ${g.refused}` : `${g.phase}…`)}`);
  $('verdict').textContent = verdicts.join('\n');
  $('verdict').className = files.some((g) => g.status === 'refused' || g.refused) ? 'refused'
    : files.some((g) => g.status === 'damaged') ? 'damaged' : files.every((g) => g.status === 'sound') ? 'sound' : '';
  files.forEach((g, k) => {
    let text = '';
    if (g.refused) text = `${g.path}: refused: ${g.refused}`;
    else if (g.status === 'damaged') {
      text = `${g.path}: ${g.verdict}${g.firstDamage ? ` (${g.firstDamage.trim()})` : ''}; ` +
        'its unreadable slices show dark brown in the side planes';
    }
    if (g.gone) text += `${text ? '\n' : ''}${g.path}: ${g.gone}; the page shows the file as it was opened`;
    problem(`file${k}`, text);
  });

  // Progress while the files are read through.
  const working = files.find((g) => g.phase !== 'done' && !g.refused);
  $('progress').hidden = !working;
  if (working) {
    const bar = $('progress-bar');
    const done = working.phase === 'reading every block' ? working.passed
      : working.phase === 'indexing the blocks' ? working.indexed : undefined;
    if (done !== undefined) { bar.max = working.nz; bar.value = done; } else bar.removeAttribute('value');
    $('progress-text').textContent = `${working.path}: ${working.phase}` +
      (done !== undefined ? ` (${done} of ${working.nz} slices)` : '');
  }

  if (files.length > 1) {
    $('difference').hidden = false;
    const d = info.difference;
    $('difference-count').textContent = d.refused ? d.refused
      : d.differing !== undefined ? `${d.differing} voxels differ (volcmp)${d.uncompared ? `; ${d.uncompared} slices not compared` : ''}`
        : `counting: ${d.compared} of ${f.nz || 0} slices compared`;
  }

  if (f.nx === undefined || !f.first) { showCommand(); return; }
  if (!state.ready) {
    state.ready = true;
    for (const v of views) {
      v.slider.max = String(v.extent() - 1);
      v.index = Math.floor(v.extent() / 2);
      v.slider.value = String(v.index);
    }
    const [lo, hi] = f.first;
    const r = hi - lo;
    state.axis = { lo: lo - 0.05 * r, hi: hi + 0.3 * r };
    setWindow([lo, lo + 0.25 * r, hi, hi + 0.25 * r].map(numberText), '');
  }
  if (f.histogram && !state.histogramShown) {
    // The histogram's range, once: the handles stay where they are on screen
    // while they are dragged.
    state.axis = { lo: Math.min(state.axis.lo, f.min), hi: Math.max(state.axis.hi, f.max) };
    state.histogramShown = true;
  }
  drawHistogram();
}

function settled(info) {
  return info.files.every((g) => g.phase === 'done' || g.refused) &&
    (!info.difference || info.difference.refused || info.difference.differing !== undefined);
}

async function poll() {
  let wait = 2000;
  try {
    const res = await api('/api/info');
    if (res.ok) {
      const info = await res.json();
      const wasSettled = state.info && settled(state.info);
      showInfo(info);
      problem('server', '');
      if (!settled(info)) wait = state.ready ? 250 : 40;
      // Planes that waited for the pass, and the overlay, are asked again once.
      if (!wasSettled && settled(info)) for (const v of views) { v.drawn = ''; v.request(); }
    } else {
      problem('server', (await res.json()).message);
    }
  } catch (error) {
    problem('server', `vrdview's server does not answer (${error.message}); is it still running?`);
  }
  setTimeout(poll, wait);
}

$('overlay').addEventListener('change', (e) => {
  state.overlay = e.target.checked;
  for (const v of views) v.request();
});

// For the tests and the benchmark: the page is idle when every plane shows
// what the controls ask for.
window.vrdview = {
  state, views, handlePoint,
  idle: () => !!state.info && (state.info.files[0].nx === undefined || !state.ready || views.every((v) => !v.busy && v.wanted === v.drawn && v.drawn !== '')),
  settled: () => !!state.info && settled(state.info),
};

poll();
