'use strict';
// The browser page in headless Chromium with the stand-in for navigator.serial, whose port is
// the virtual device. Besides harness.js's variables: KARVEX_FLASH, a native karvex-flash for
// --dump. Run with node --test.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { serveSite, launchBrowser, openPage, chooseFile, load, finalMessage } = require('./harness.js');

const example = path.join(__dirname, '../../examples/blink.hex');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'karvex-web-'));
const finished = 'Успешно завершено';
const noResponse = 'Устройство не отвечает';
const hexReadError = 'Ошибка считывания hex-файла';
const imageSize = 0x7f40;
let server, browser, base;

before(async () => {
  server = await serveSite({ '/firmware.hex': fs.readFileSync(example) });
  base = `http://127.0.0.1:${server.address().port}`;
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

function dump(...options) {
  const out = path.join(work, 'dump.bin');
  execFileSync(process.env.KARVEX_FLASH, ['--dump', out, ...options, example]);
  return Array.from(fs.readFileSync(out));
}

// The device's flash: the image karvex-flash would send, the bootloader's area as it was.
async function assertFlashHolds(page, image) {
  const { flash, bootArea } = await page.evaluate(() => window.standIn);
  assert.equal(flash.length, 0x8000);
  assert.deepEqual(flash.slice(0, imageSize), image);
  assert.deepEqual(flash.slice(imageSize), bootArea);
}

const portCalls = (page) => page.evaluate(() => window.standIn.log);

test('a full upload: the port, its lines in karvex-flash --port order, the image of --dump', async () => {
  const page = await openPage(browser, `${base}/index.html`, { env: {} });
  await chooseFile(page, example);
  assert.equal(await load(page), finished);
  const { filters, opens } = await page.evaluate(() => window.standIn);
  assert.deepEqual(filters, [{ usbVendorId: 0x0403 }]);
  assert.deepEqual(opens, [{ baudRate: 500000, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none' }]);
  const calls = await portCalls(page);
  assert.equal(calls.filter((call) => !call.startsWith('write')).join(' '),
               'open DTR 0 RTS 0 DTR 1 RTS 1 DTR 0 RTS 0 close');
  assert.equal(calls[calls.indexOf('DTR 1') - 1], 'write C1', 'the lines follow the first handshake request');
  assert.equal(await page.$eval('#progress', (bar) => bar.value === bar.max && bar.max === 0x7f40), true);
  await assertFlashHolds(page, dump());
  await page.close();
});

// An upload's final message and milliseconds from Load; `hidden`: the user switches to another
// tab right after Load, so the page goes on in the background.
async function timedUpload(config, hidden) {
  const page = await openPage(browser, `${base}/index.html`, config);
  await chooseFile(page, example);
  const started = Date.now();
  await page.click('#load');
  const other = hidden ? await browser.newPage() : null;
  await other?.bringToFront();
  assert.equal(await page.evaluate(() => document.visibilityState), hidden ? 'hidden' : 'visible');
  const message = await finalMessage(page);
  const ms = Date.now() - started;
  await Promise.all([page.close(), other?.close()]);
  return { message, ms };
}

test('a tab in the background keeps the pace of one in front; replies held 1 ms get no hint', async () => {
  const config = { env: { KARVEX_SIM_LATENCY_US: 1000 } };
  const front = await timedUpload(config, false);
  const behind = await timedUpload(config, true);
  assert.equal(front.message, finished);
  assert.equal(behind.message, finished);
  assert.ok(behind.ms <= 1.2 * front.ms, `${behind.ms} ms in the background, ${front.ms} ms in front`);
});

test("replies held for the chip's default 16 ms: a line on making the upload faster", async () => {
  const page = await openPage(browser, `${base}/index.html`, { env: { KARVEX_SIM_CHIP_LATENCY: 1 } });
  await chooseFile(page, example);
  const [message, hint, ...more] = (await load(page)).split('\n');
  assert.equal(message, finished);
  assert.match(hint, /втрое быстрее.*пакет karvex-flash.*echo 1 > \/sys\/bus\/usb-serial/, 'on Linux');
  assert.deepEqual(more, []);
  await page.close();
});

test('refusals, split and late replies and a framing error: the upload goes on, the jump left out', async () => {
  const page = await openPage(browser, `${base}/index.html?hex=firmware.hex`, {
    env: { KARVEX_SIM_NAK: '7:1;300:1-2', KARVEX_SIM_SPLIT_US: 3000 },
    handshakeLateMs: 80,
    breakAfterBlocks: 250,
  });
  await page.waitForFunction(() => document.getElementById('file-name').textContent === 'firmware.hex');
  await page.click('#goto');
  assert.equal(await load(page), finished);
  await assertFlashHolds(page, dump('--no-goto'));
  await page.close();
});

test('a silent device: no response, the lines released and the port closed', async () => {
  const page = await openPage(browser, `${base}/index.html`, { env: { KARVEX_SIM_SILENT: 1 } });
  await chooseFile(page, example);
  assert.equal(await load(page), noResponse);
  assert.deepEqual((await portCalls(page)).slice(-3), ['DTR 0', 'RTS 0', 'close']);
  await page.close();
});

test('an unplug ends the upload at once, long before a block time-out', async () => {
  const page = await openPage(browser, `${base}/index.html`, { env: { KARVEX_SIM_UNPLUG_AFTER: 100 } });
  await chooseFile(page, example);
  await page.click('#load');
  await page.waitForFunction(() => window.standIn.unplugged, { timeout: 30000 });
  // A block's time-out is 10 s; the upload must not wait for it.
  await page.waitForFunction(() => document.getElementById('message').textContent !== '', { timeout: 3000 });
  assert.equal(await page.$eval('#message', (element) => element.textContent), noResponse);
  await page.close();
});

test('files that cannot be used: a malformed one asks for no port, another site is refused', async () => {
  const malformed = path.join(work, 'broken.hex');
  fs.writeFileSync(malformed, ':10000000FFFF\n:00000001FF\n');
  const page = await openPage(browser, `${base}/index.html`, { env: {} });
  await chooseFile(page, malformed);
  assert.equal(await load(page), hexReadError);
  assert.equal(await page.evaluate(() => window.standIn.requests), 0);
  const elsewhere = `http://localhost:${server.address().port}/firmware.hex`;
  const linked = await openPage(browser, `${base}/index.html?hex=${encodeURIComponent(elsewhere)}`, { env: {} });
  await linked.waitForFunction(() => document.getElementById('message').textContent !== '');
  assert.equal(await linked.$eval('#message', (element) => element.textContent), hexReadError);
  assert.equal(await linked.$eval('#load', (button) => button.disabled), true);
  await Promise.all([page.close(), linked.close()]);
});

test('the chooser closed without a choice', async () => {
  const page = await openPage(browser, `${base}/index.html`, { env: {}, chooser: 'close' });
  await chooseFile(page, example);
  assert.equal(await load(page), 'Выберите устройство');
  assert.deepEqual(await page.evaluate(() => window.standIn.opens), []);
  await page.close();
});

test('the browser language, or ?lang= over it, with ?hex= still read', async () => {
  const english = await openPage(browser, `${base}/index.html`, { env: {}, chooser: 'close' }, ['en-US', 'ru']);
  const pageTexts = (page) => page.evaluate(() => [document.documentElement.lang, document.getElementById('load').textContent,
    document.getElementById('caption').textContent, document.getElementById('help-text').textContent]);
  const [lang, loadText, caption, help] = await pageTexts(english);
  assert.deepEqual([lang, loadText, caption], ['en', 'Load', 'KARVEX Loader v1.0']);
  assert.match(help, /^Firmware uploader for KARVEX\.\n/);
  await chooseFile(english, example);
  assert.equal(await load(english), 'Select a device');
  const asked = await openPage(browser, `${base}/index.html?lang=ru&hex=firmware.hex`, { env: {} }, ['en-US']);
  await asked.waitForFunction(() => document.getElementById('file-name').textContent === 'firmware.hex');
  assert.deepEqual((await pageTexts(asked)).slice(0, 2), ['ru', 'Загрузить']);
  const overRussian = await openPage(browser, `${base}/index.html?lang=en`, { env: {} });
  assert.deepEqual((await pageTexts(overRussian)).slice(0, 2), ['en', 'Load']);
  await Promise.all([english.close(), asked.close(), overRussian.close()]);
});

test('a browser without Web Serial, the page from file://: the sentence, Load disabled, the help', async () => {
  const page = await openPage(browser, `file://${process.env.KARVEX_SITE}/index.html`, null);
  assert.equal(await page.$eval('#caption', (element) => element.textContent), 'KARVEX Loader v1.0');
  const help = await page.$eval('#help-text', (element) => element.textContent);
  assert.match(help, /karvex-loader@example\.org\n\n.*16 мс.*latency_timer.*Latency Timer/s,
               'every About-Help line, then the note on speed');
  assert.match(await page.$eval('#message', (element) => element.textContent), /Chrome, Edge или Opera/);
  const ticked = await page.evaluate(() => Promise.race([everyUntil(10, () => 'ticked'),
                                                         new Promise((resolve) => setTimeout(resolve, 5000))]));
  assert.equal(ticked, 'ticked', "the worker's timer runs from file:// too");
  await chooseFile(page, example);
  assert.equal(await page.$eval('#load', (button) => button.disabled), true);
  await page.close();
});
