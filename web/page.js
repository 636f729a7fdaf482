'use strict';
// The page: the window's controls and flow over the core (karvex-core.js) and the Web Serial
// link (serial_link.js). Load reads and patches the file, asks for the port within the click,
// opens it, waits a second, then ticks every 10 ms, as the window's timers do.
const tickMs = 10;
const startDelayMs = 1000;
const chipVendor = 0x0403;
// Where the system can shorten the chip's latency timer, the text that says how; macOS and
// ChromeOS have nothing to set.
const latencyHints = { Linux: 'latencyHintLinux', Windows: 'latencyHintWindows' };

// The waits and ticks come from a dedicated worker's timer. Chromium wakes a hidden tab's own
// timers once a second (once a minute after five minutes), which would stretch every wait
// counted in ticks a hundredfold, while a worker's timers keep their pace and its messages
// reach the hidden page at once. Ticks that followed elapsed time would still need something
// to wake the page when nothing arrives; this wakes it and leaves the ticks as they were. The
// worker comes from a Blob, so the site keeps its files and runs from file:// too.
const workerTimerUrl = URL.createObjectURL(new Blob(
  ['onmessage = ({ data }) => setInterval(() => postMessage(0), data);'], { type: 'text/javascript' }));

// Calls `onTick` every `ms` until it returns a truthy value; resolves with that.
function everyUntil(ms, onTick) {
  return new Promise((resolve) => {
    const timer = new Worker(workerTimerUrl);
    timer.onmessage = () => {
      const result = onTick();
      if (!result) return;
      timer.terminate();
      resolve(result);
    };
    timer.postMessage(ms);
  });
}

KarvexCore().then((core) => {
  const $ = (id) => document.getElementById(id);
  const text = (name) => core.ccall('karvex_text', 'string', ['string'], [name]);
  const ui = { file: $('file'), patch: $('goto'), load: $('load'), progress: $('progress'), message: $('message') };
  let hex = null; // { name, bytes } of the file to upload
  let busy = false;

  // Runs `call` with `bytes` copied into the module's memory.
  function withBytes(bytes, call) {
    const address = core._malloc(bytes.length || 1);
    core.HEAPU8.set(bytes, address);
    try {
      return call(address);
    } finally {
      core._free(address);
    }
  }

  // ?lang=ru|en, else the browser's first language: Russian when it is Russian, else English.
  function pageLanguage() {
    const asked = new URLSearchParams(location.search).get('lang');
    if (asked === 'ru' || asked === 'en') return asked;
    const first = (navigator.languages && navigator.languages[0]) || navigator.language || '';
    return first.toLowerCase().startsWith('ru') ? 'ru' : 'en';
  }

  function showTexts() {
    const language = pageLanguage();
    core._karvex_set_language(language === 'en');
    document.documentElement.lang = language;
    document.title = text('caption');
    $('caption').textContent = text('caption');
    $('goto-label').textContent = text('patchCheckBox');
    ui.load.textContent = text('loadButton');
    $('help-button').textContent = text('helpButton');
    $('help-text').textContent = core.ccall('karvex_help', 'string', [], []);
    ui.progress.max = core._karvex_image_size();
  }

  function refresh() {
    ui.load.disabled = busy || !hex || !('serial' in navigator);
    $('file-name').textContent = hex ? hex.name : '';
  }

  function finish(message) {
    ui.message.textContent = message;
    busy = false;
    refresh();
  }

  // A finished upload whose replies the chip held gets a line on how to make it faster.
  function withLatencyHint(message) {
    const hint = latencyHints[navigator.userAgentData?.platform];
    if (!hint || message !== text('finished') || !core._karvex_replies_held()) return message;
    return `${message}\n${text(hint)}`;
  }

  // The status timer: ticks until the core gives the final message.
  function follow() {
    return everyUntil(tickMs, () => {
      const message = core.ccall('karvex_tick', 'string', [], []);
      ui.progress.value = core._karvex_progress();
      return message;
    });
  }

  async function load() {
    busy = true;
    refresh();
    ui.message.textContent = '';
    ui.progress.value = 0;
    const read = withBytes(hex.bytes, (address) =>
      core.ccall('karvex_read_image', 'boolean', ['string', 'number', 'number', 'boolean'],
                 [hex.name, address, hex.bytes.length, ui.patch.checked]));
    if (!read) return finish(text('hexReadError'));
    let port;
    try {
      port = await navigator.serial.requestPort({ filters: [{ usbVendorId: chipVendor }] });
    } catch (error) {
      return finish(text('selectDevice')); // the chooser closed without a choice
    }
    const link = createSerialLink(port, {
      received: (bytes) => withBytes(bytes, (address) => core._karvex_received(address, bytes.length)),
      lost: (reason) => core.ccall('karvex_port_lost', null, ['string'], [reason]),
    });
    core.serialLink = link;
    if (!core._karvex_open_port()) return finish(text('noResponse'));
    await link.settled();
    await everyUntil(startDelayMs, () => true);
    core._karvex_begin_upload();
    const message = await follow();
    core._karvex_release_port();
    await link.settled();
    finish(withLatencyHint(message));
  }

  async function fetchFromSite(name) {
    const url = new URL(name, location.href);
    try {
      if (url.origin !== location.origin || location.protocol === 'file:') throw new Error('not this site');
      const response = await fetch(url);
      if (!response.ok) throw new Error(response.statusText);
      hex = { name: url.pathname.split('/').pop(), bytes: new Uint8Array(await response.arrayBuffer()) };
    } catch (error) {
      ui.message.textContent = text('hexReadError');
    }
    refresh();
  }

  showTexts();
  if (!('serial' in navigator)) ui.message.textContent = text('noWebSerial');
  ui.file.addEventListener('change', async () => {
    const file = ui.file.files[0];
    hex = file ? { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) } : null;
    refresh();
  });
  ui.load.addEventListener('click', load);
  const wanted = new URLSearchParams(location.search).get('hex');
  if (wanted) fetchFromSite(wanted);
  refresh();
  document.body.dataset.ready = 'yes';
});
