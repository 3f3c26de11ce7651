'use strict';
// Starts norvane_serving on a free loopback port and opens its page in headless Chromium.
// Nothing here talks to any address but 127.0.0.1.
const {spawn} = require('node:child_process');
const {before, after} = require('node:test');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const REPO = path.resolve(__dirname, '..', '..', '..');
const CHROMIUM = process.env.NORVANE_CHROMIUM || '/usr/bin/chromium';
const START_TIMEOUT_MS = 30000;

function loadPlaywright() {
  try {
    return require('playwright-core');
  } catch (err) {
    throw new Error('playwright-core is not installed: run "npm ci" in ' + path.resolve(__dirname, '..') +
      ' (' + err.message + ')');
  }
}

function requireEnvironment() {
  if (!process.env.NORVANE_SERVING) {
    throw new Error('NORVANE_SERVING must name the norvane_serving program to test');
  }
  if (!fs.existsSync(process.env.NORVANE_SERVING)) {
    throw new Error('NORVANE_SERVING=' + process.env.NORVANE_SERVING + ' does not exist');
  }
  if (!fs.existsSync(CHROMIUM)) {
    throw new Error('Chromium not found at ' + CHROMIUM + ': install the Debian package "chromium"');
  }
  loadPlaywright();
}

function modelDir(name) {
  const dir = path.join(process.env.NORVANE_MODELS_DIR || path.join(REPO, 'models'), name);
  if (!fs.existsSync(path.join(dir, 'conf.json'))) throw new Error('model directory missing: ' + dir);
  return dir;
}

// A copy of an example model whose conf.json is changed by `edit`, removed with the temp dir.
function modelCopy(name, tmp, edit) {
  const dir = path.join(tmp, name);
  fs.cpSync(modelDir(name), dir, {recursive: true});
  const confPath = path.join(dir, 'conf.json');
  const conf = JSON.parse(fs.readFileSync(confPath, 'utf8'));
  edit(conf);
  fs.writeFileSync(confPath, JSON.stringify(conf, null, 2));
  return dir;
}

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.once('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const {port} = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

function getJson(url) {
  return new Promise((resolve, reject) => {
    const req = http.get(url, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        if (res.statusCode !== 200) return reject(new Error(url + ': status ' + res.statusCode));
        try { resolve(JSON.parse(Buffer.concat(chunks).toString('utf8'))); } catch (e) { reject(e); }
      });
    });
    req.on('error', reject);
    req.setTimeout(2000, () => req.destroy(new Error('time-out')));
  });
}

const delay = (ms) => new Promise((r) => setTimeout(r, ms));

// The program under test, serving `dir`; HOME points at a temp dir because the library
// keeps its usage statistics cache under it.
async function startService(dir) {
  const home = tempDir('norvane-home-');
  const port = await freePort();
  // The usage upload goes to a loopback port where nothing listens, never to the outside.
  const usageServer = 'http://127.0.0.1:' + await freePort();
  const child = spawn(process.env.NORVANE_SERVING, [dir, '127.0.0.1', String(port), 'page-test', usageServer], {
    env: {...process.env, HOME: home, EDGE_INSTANCE_NUM: '1', HTTP_PROXY: '', http_proxy: ''},
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  let exited = null;
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  child.on('exit', (code, signal) => { exited = {code, signal}; });

  const url = 'http://127.0.0.1:' + port;
  const service = {
    url,
    info: null,
    output: () => output,
    // Output written after `mark` (a value of output().length), e.g. for one request's DEBUG lines.
    async waitForOutput(pattern, mark = 0, timeoutMs = 10000) {
      const end = Date.now() + timeoutMs;
      for (;;) {
        const m = output.slice(mark).match(pattern);
        if (m) return m;
        if (Date.now() > end) throw new Error('no output matching ' + pattern + ' in:\n' + output.slice(mark));
        await delay(50);
      }
    },
    async stop() {
      if (!exited) {
        const gone = new Promise((r) => child.once('exit', r));
        child.kill('SIGTERM');
        const killer = setTimeout(() => child.kill('SIGKILL'), 3000);
        await gone;
        clearTimeout(killer);
      }
      fs.rmSync(home, {recursive: true, force: true});
    },
  };

  const end = Date.now() + START_TIMEOUT_MS;
  for (;;) {
    if (exited) {
      throw new Error('norvane_serving ended during start-up (' + JSON.stringify(exited) + '):\n' + output);
    }
    try {
      service.info = await getJson(url + '/api/info');
      return service;
    } catch (err) {
      if (Date.now() > end) {
        await service.stop();
        throw new Error('norvane_serving did not answer on ' + url + ': ' + err.message + '\n' + output);
      }
      await delay(100);
    }
  }
}

// Headless Chromium with a fresh profile. Every request is recorded; a request for any
// origin other than `allowedOrigin` is refused and reported by `foreignRequests()`.
async function launchBrowser(allowedOrigin, viewport = {width: 1280, height: 860}) {
  const {chromium} = loadPlaywright();
  const profile = tempDir('norvane-chromium-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const foreign = [];
  const pageErrors = [];
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (url.startsWith('data:') || url.startsWith('blob:') || new URL(url).origin === allowedOrigin) {
      return route.fallback();
    }
    foreign.push(url);
    return route.abort();
  });
  return {
    context,
    foreignRequests: () => foreign.slice(),
    pageErrors: () => pageErrors.slice(),
    // `size` ({width, height}) overrides the context's viewport, e.g. a phone's 390 px.
    async openPage(url = allowedOrigin + '/', size = null) {
      const page = await context.newPage();
      if (size) await page.setViewportSize(size);
      page.on('pageerror', (e) => pageErrors.push(String(e)));
      await page.goto(url);
      await page.waitForSelector('body[data-ready]');
      return page;
    },
    async close() {
      await context.close();
      fs.rmSync(profile, {recursive: true, force: true});
    },
  };
}

// Chooses a file in the page and waits until the page has handled the reply (or failure)
// of that upload. `file` is {name, mimeType, buffer}.
async function upload(page, file) {
  const before = Number(await page.getAttribute('body', 'data-uploads') || 0);
  await page.setInputFiles('#file-input', file);
  await page.waitForSelector('body[data-uploads="' + (before + 1) + '"]', {timeout: 60000});
}

function screenshotDir() {
  const dir = process.env.NORVANE_SCREENSHOT_DIR || path.join(os.tmpdir(), 'norvane-screenshots');
  fs.mkdirSync(dir, {recursive: true});
  return dir;
}

async function screenshot(page, name) {
  const file = path.join(screenshotDir(), name + '.png');
  await page.screenshot({path: file, fullPage: true});
  return file;
}

// Registers a suite's hooks: the program serving dir, Chromium, one open page.
// ready receives {service, browser, page} once they stand; all are closed after
// the suite.
function useServedPage(dir, ready) {
  const handles = {};
  before(async () => {
    requireEnvironment();
    handles.service = await startService(dir);
    handles.browser = await launchBrowser(handles.service.url);
    handles.page = await handles.browser.openPage();
    ready(handles);
  });
  after(async () => {
    if (handles.browser) await handles.browser.close();
    if (handles.service) await handles.service.stop();
  });
}

const PHONE = {width: 390, height: 844};

module.exports = {
  PHONE, requireEnvironment, modelDir, modelCopy, tempDir, startService, launchBrowser, useServedPage, upload, screenshot,
};
