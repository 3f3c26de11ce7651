'use strict';
// The demo page in front of the example colour classifier (kind 1): one probability per
// label from the picture's mean colour; the page lists them and draws nothing over the picture.
const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./support/harness');
const {drawn} = require('./support/page');
const {Raster} = require('./support/images');

describe('image classification page', () => {
  let service, browser, page;

  h.useServedPage(h.modelDir('color_classifier'), (s) => ({service, browser, page} = s));

  it('lists every label in reply order with three decimals and no threshold control', async () => {
    assert.equal(await page.textContent('#model-kind'), '[Image classification]');
    // Mostly green, some blue, a little red: green first, red last.
    const r = new Raster(1200, 900, [20, 170, 40]);
    r.fillRect(0, 0, 1200, 250, [30, 40, 210]);
    r.fillRect(900, 600, 300, 300, [220, 30, 30]);
    const file = {name: 'colours.png', mimeType: 'image/png', buffer: r.toPng()};
    const request = page.waitForRequest((req) => req.method() === 'POST');
    const response = page.waitForResponse((res) => res.request().method() === 'POST');
    await h.upload(page, file);
    assert.ok((await request).postDataBuffer().equals(file.buffer), 'sent unchanged whatever its size');
    const reply = await (await response).json();

    assert.deepEqual(reply.results.map((x) => x.label), ['green', 'blue', 'red']);
    const d = await drawn(page);
    assert.deepEqual(d.rows.map((x) => [x.labelText, x.confidenceText]),
      reply.results.map((x) => [x.label, x.confidence.toFixed(3)]));
    assert.ok(d.rows.every((x) => !x.disabled), 'no threshold applies to classification');
    assert.ok(!d.thresholdShown);
    assert.equal(d.boxes.length, 0);
    assert.equal(d.masks.length, 0);
    console.log('screenshot: ' + await h.screenshot(page, 'classification'));
    assert.deepEqual(browser.foreignRequests(), []);
    assert.deepEqual(browser.pageErrors(), []);
  });
});
