'use strict';
// What the browser tests and tools/demo --web share: the site served on 127.0.0.1, Debian's
// chromium driven by puppeteer-core, and pages with the stand-in for navigator.serial.
// Environment: KARVEX_SITE (build/web/site), KARVEX_DEVICE_JS (build/web/test/virtual-device.js).
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const site = process.env.KARVEX_SITE;
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.wasm': 'application/wasm' };

// Serves the site, and `extra` ({ '/name.hex': bytes }) beside it, as a static host would.
function serveSite(extra = {}) {
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://host').pathname);
    const file = path.join(site, path.normalize(name));
    let body = extra[name];
    if (!body && file.startsWith(site) && fs.existsSync(file) && fs.statSync(file).isFile()) body = fs.readFileSync(file);
    if (!body) return response.writeHead(404).end();
    response.writeHead(200, { 'Content-Type': types[path.extname(name)] || 'application/octet-stream' }).end(body);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// With the browser's slowing of background tabs left on, as users have it (puppeteer turns it
// off): the timers of a tab behind another are woken once a second.
function launchBrowser() {
  return puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
                            args: ['--no-sandbox', '--window-size=800,600'],
                            ignoreDefaultArgs: ['--disable-background-timer-throttling',
                                                '--disable-renderer-backgrounding',
                                                '--disable-backgrounding-occluded-windows'] });
}

const standIn = [process.env.KARVEX_DEVICE_JS, path.join(__dirname, 'serial_stand_in.js')]
  .map((file) => fs.readFileSync(file, 'utf8')).join('\n');

// A new page at `url`; with `config` the stand-in (see serial_stand_in.js) is navigator.serial,
// with `config` null the browser has no Web Serial at all. `languages` are the browser's.
async function openPage(browser, url, config, languages = ['ru-RU', 'ru']) {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument((list) => {
    Object.defineProperty(Navigator.prototype, 'languages', { get: () => list });
  }, languages);
  if (config) {
    await page.evaluateOnNewDocument((c) => { window.standInConfig = c; }, config);
    await page.evaluateOnNewDocument(standIn);
  } else {
    await page.evaluateOnNewDocument(() => { delete Navigator.prototype.serial; });
  }
  await page.goto(url);
  await page.waitForSelector('body[data-ready]');
  return page;
}

async function chooseFile(page, file) {
  await (await page.$('#file')).uploadFile(file);
  await page.waitForFunction(() => document.getElementById('file-name').textContent !== '');
}

// The final message once the page shows one, watched for changes rather than on animation
// frames, which a hidden tab does not get.
async function finalMessage(page, timeout = 60000) {
  await page.waitForFunction(() => document.getElementById('message').textContent !== '',
                             { timeout, polling: 'mutation' });
  return page.$eval('#message', (element) => element.textContent);
}

// Presses Load; the final message once the page shows one.
async function load(page, timeout) {
  await page.click('#load');
  return finalMessage(page, timeout);
}

module.exports = { serveSite, launchBrowser, openPage, chooseFile, load, finalMessage };
