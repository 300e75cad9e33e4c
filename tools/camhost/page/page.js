// The live view: identification from /api/info, live state from the event stream /events,
// and the controls, which post to camhost's endpoints.
'use strict';

const $ = (id) => document.getElementById(id);
const LOG_LINES = 200;

// A message in the corner, cleared after a while or by the next action that goes well.
let sayTimer = null;
function say(text) {
  $('status').textContent = text;
  clearTimeout(sayTimer);
  if (text) sayTimer = setTimeout(() => { $('status').textContent = ''; }, 8000);
}

async function call(method, url) {
  try {
    const answer = await fetch(url, { method });
    const body = await answer.json();
    say(body.ok ? '' : body.message);
    return body;
  } catch (error) {
    say('camhost does not answer: ' + error.message);
    return { ok: false };
  }
}

function showIdentification(info) {
  const cam = info.camera;
  $('camera-line').textContent = cam
    ? `${cam.deviceName} at ${info.address}` + (info.simulator ? ' (camera simulator)' : '')
    : `${info.model} at ${info.address}: not identified (${info.error})`;
  const rows = [];
  if (cam) {
    rows.push(['Model', cam.model + (cam.vendor ? ` (${cam.vendor})` : '')]);
    rows.push(['Family', String(cam.family)]);
    rows.push(['Firmware', cam.firmware || 'unknown']);
    rows.push(['Inputs', String(cam.inputs)]);
    rows.push(['Outputs', String(cam.outputs)]);
    rows.push(['PTZ head', cam.ptz ? 'yes' + (cam.centerSupported ? ', centre command' : '') : 'no']);
  }
  rows.push(['Stream', `${info.stream} ${info.width}x${info.height}` + (info.fps ? ` at ${info.fps}/s` : '')]);
  const list = $('id-list');
  list.replaceChildren();
  for (const [name, value] of rows) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = value;
    list.append(dt, dd);
  }
}

function makePins(info) {
  const inputs = $('inputs');
  for (let pin = 1; pin <= info.inputs; pin++) {
    const li = document.createElement('li');
    const lamp = document.createElement('span');
    lamp.className = 'lamp';
    lamp.id = `input-${pin}`;
    lamp.dataset.state = 'unknown';
    lamp.setAttribute('role', 'img');
    lamp.setAttribute('aria-label', `Input ${pin}: unknown`);
    const label = document.createElement('span');
    label.id = `input-${pin}-text`;
    label.textContent = `Input ${pin}: unknown`;
    li.append(lamp, label);
    inputs.append(li);
  }
  const outputs = $('outputs');
  for (let pin = 1; pin <= info.outputs; pin++) {
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.id = `output-${pin}`;
    button.setAttribute('role', 'switch');
    button.setAttribute('aria-checked', 'false');
    button.textContent = `Output ${pin}: unknown`;
    button.disabled = true;
    button.addEventListener('click', () => {
      const make = button.getAttribute('aria-checked') !== 'true';
      call('POST', `/api/output?pin=${pin}&state=${make ? 'make' : 'break'}`);
    });
    li.append(button);
    outputs.append(li);
  }
}

function setInput(pin, state) {
  const lamp = $(`input-${pin}`);
  if (!lamp) return;
  lamp.dataset.state = state;
  lamp.setAttribute('aria-label', `Input ${pin}: ${state}`);
  $(`input-${pin}-text`).textContent = `Input ${pin}: ${state}`;
}

function showPresets(names) {
  const list = $('presets');
  list.replaceChildren();
  for (const name of names) {
    const li = document.createElement('li');
    const label = document.createElement('span');
    label.textContent = name;
    const go = document.createElement('button');
    go.type = 'button';
    go.textContent = 'Go to';
    go.setAttribute('aria-label', `Go to ${name}`);
    go.addEventListener('click', () => call('POST', '/api/presets/goto?name=' + encodeURIComponent(name)));
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'Delete';
    remove.setAttribute('aria-label', `Delete ${name}`);
    remove.addEventListener('click', () => call('DELETE', '/api/presets?name=' + encodeURIComponent(name)));
    li.append(label, go, remove);
    list.append(li);
  }
}

// PTZ requests go one after the other: a quick press and release must not let the stop
// overtake the move on another connection.
let ptzQueue = Promise.resolve();
function ptz(query) {
  const speed = $('speed').value;
  ptzQueue = ptzQueue.then(() => call('POST', `/api/ptz?${query}&speed=${speed}`));
  return ptzQueue;
}

// A PTZ button moves while it is held (pointer, or Space/Enter) and stops when released.
function holdToMove(button) {
  let held = false;
  const start = () => {
    if (held) return;
    held = true;
    button.classList.add('active');
    ptz(`action=${button.dataset.action}&to=${button.dataset.to}`);
  };
  const stop = () => {
    if (!held) return;
    held = false;
    button.classList.remove('active');
    ptz('action=stop');
  };
  button.addEventListener('pointerdown', (event) => {
    button.setPointerCapture(event.pointerId);
    start();
  });
  for (const type of ['pointerup', 'pointercancel', 'lostpointercapture', 'blur']) {
    button.addEventListener(type, stop);
  }
  button.addEventListener('keydown', (event) => {
    if ((event.key === ' ' || event.key === 'Enter') && !event.repeat) {
      event.preventDefault();
      start();
    }
  });
  button.addEventListener('keyup', (event) => {
    if (event.key === ' ' || event.key === 'Enter') stop();
  });
}

function addLog(line) {
  const log = $('log');
  const li = document.createElement('li');
  li.dataset.level = line.level;
  li.textContent = `${line.time}  [${line.level} ${line.name}] ${line.text}`;
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.append(li);
  while (log.children.length > LOG_LINES) log.firstChild.remove();
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function showStats(stats) {
  $('state').textContent = stats.state;
  $('state').dataset.state = stats.state;
  $('fps').textContent = stats.fps.toFixed(1);
  $('kbps').textContent = stats.kbps.toFixed(0);
  $('frames').textContent = String(stats.frames);
}

let ioAvailable = false;
// The digital I/O starts only when asked: until then the outputs cannot be switched.
function showIo(running) {
  $('io-start-box').hidden = running || !ioAvailable;
  for (const button of document.querySelectorAll('#outputs button')) button.disabled = !running;
}

async function startIo() {
  const answer = await call('POST', '/api/io/start');
  if (answer.ok) say(answer.message);
}

// A click on the picture centres the camera on that point, in the picture's own pixels.
function centreOnClick(video) {
  video.classList.add('centring');
  video.addEventListener('click', (event) => {
    if (!video.naturalWidth) return;
    const box = video.getBoundingClientRect();
    const x = Math.round((event.clientX - box.left) * video.naturalWidth / box.width);
    const y = Math.round((event.clientY - box.top) * video.naturalHeight / box.height);
    ptz(`action=center&x=${x}&y=${y}`);
  });
}

function startVideo(url) {
  const video = $('video');
  // The stream ends when camhost stops; try again now and then.
  video.addEventListener('error', () => setTimeout(() => { video.src = `${url}?t=${Date.now()}`; }, 2000));
  video.src = url;
}

function listen() {
  const events = new EventSource('/events');
  const on = (type, handle) => events.addEventListener(type, (event) => handle(JSON.parse(event.data)));
  on('stats', showStats);
  on('input', (input) => setInput(input.pin, input.state));
  on('io-failure', () => {
    for (const lamp of document.querySelectorAll('.lamp')) setInput(lamp.id.split('-')[1], 'unknown');
  });
  on('output', (output) => {
    const button = $(`output-${output.pin}`);
    if (!button) return;
    button.setAttribute('aria-checked', String(output.state === 'make'));
    button.textContent = `Output ${output.pin}: ${output.state === 'make' ? 'make (on)' : 'break (off)'}`;
  });
  on('io', (io) => showIo(io.running));
  on('presets', (presets) => showPresets(presets.presets));
  on('log', addLog);
  events.addEventListener('error', () => {
    $('state').textContent = 'camhost not reachable';
    $('state').dataset.state = 'lost';
  });
}

async function main() {
  let info;
  try {
    info = await (await fetch('/api/info')).json();
  } catch (error) {
    $('camera-line').textContent = 'camhost does not answer: ' + error.message;
    return;
  }
  showIdentification(info);
  makePins(info);
  $('ptz').hidden = !info.ptz;
  $('speed').addEventListener('input', () => { $('speed-value').textContent = $('speed').value; });
  if (info.ptz && info.camera && info.camera.centerSupported) {
    $('center-hint').hidden = false;
    centreOnClick($('video'));
  }
  ioAvailable = info.io;
  showIo(false);
  $('io-start').addEventListener('click', startIo);
  for (const button of document.querySelectorAll('#ptz [data-action]')) holdToMove(button);
  $('preset-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const name = $('preset-name').value.trim();
    if (!name) return;
    const answer = await call('POST', '/api/presets?name=' + encodeURIComponent(name));
    if (answer.ok) $('preset-name').value = '';
  });
  // A page closed while a button is held must not leave the camera moving.
  window.addEventListener('pagehide', () => {
    if (document.querySelector('#ptz .active')) navigator.sendBeacon('/api/ptz?action=stop');
  });
  startVideo(info.video);
  listen();
  document.body.dataset.ready = 'true';
}

main();
