'use strict';
// tools/demo --web: serves the site with the example firmware beside it on 127.0.0.1.
// `open`: opens it in Chromium on the display, for a real device, until the browser closes.
// `headless OUT.png`: uploads the firmware to the virtual device behind the stand-in for Web
// Serial, with the chip's latency as Web Serial leaves it, in a browser whose language is
// English, and saves a screenshot of the page.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { serveSite, launchBrowser, openPage, load } = require('./harness.js');

const firmware = fs.readFileSync(path.join(__dirname, '../../examples/blink.hex'));

async function headless(screenshot) {
  const server = await serveSite({ '/blink.hex': firmware });
  const browser = await launchBrowser();
  try {
    const url = `http://127.0.0.1:${server.address().port}/index.html?hex=blink.hex`;
    const page = await openPage(browser, url, { env: { KARVEX_SIM_WIRE: 1, KARVEX_SIM_CHIP_LATENCY: 1 } },
                                ['en-US', 'en']);
    await page.setViewport({ width: 640, height: 420 });
    await page.waitForFunction(() => document.getElementById('file-name').textContent !== '');
    const started = Date.now();
    const [message] = (await load(page)).split('\n'); // the hint on the chip's latency below it
    const seconds = ((Date.now() - started) / 1000).toFixed(1);
    const blocks = await page.evaluate(() => window.standIn.log.filter((call) => call === 'write 0').length);
    await page.screenshot({ path: screenshot });
    console.log(`demo: ${message} after ${seconds} s (the one-second wait included), ${blocks} block frames sent`);
    console.log(`demo: screenshot in ${screenshot}`);
    return message === 'Upload complete';
  } finally {
    await browser.close();
    server.close();
  }
}

async function open() {
  const server = await serveSite({ '/blink.hex': firmware });
  const url = `http://127.0.0.1:${server.address().port}/index.html?hex=blink.hex`;
  console.log(`demo: ${url} opens in Chromium; attach the device and press Load`);
  const browser = spawn('/usr/bin/chromium', [url], { stdio: 'ignore' });
  await new Promise((resolve) => browser.on('exit', resolve));
  server.close();
  return true;
}

const [mode, screenshot] = process.argv.slice(2);
(mode === 'open' ? open() : headless(screenshot)).then((ok) => process.exit(ok ? 0 : 1),
  (error) => { console.error(`demo: ${error.message}`); process.exit(1); });
