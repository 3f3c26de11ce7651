'use strict';
// The demo page in front of the example red detector (kind 2): one box around all red
// pixels of the picture, scored by how red they are.
const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./support/harness');
const {drawn, expectedBoxRect, rectDistance, expectOnPicture} = require('./support/page');
const {Raster} = require('./support/images');

const RED = [230, 20, 20];

function picture(width, height, redRects, name) {
  const r = new Raster(width, height, [235, 238, 242]);
  r.fillRect(Math.round(width * 0.55), Math.round(height * 0.1), Math.round(width * 0.3), Math.round(height * 0.2), [30, 60, 200]);
  for (const [x, y, w, hh] of redRects) r.fillRect(x, y, w, hh, RED);
  return {name, mimeType: 'image/png', buffer: r.toPng()};
}

async function uploadAndCapture(page, file) {
  const request = page.waitForRequest((req) => req.method() === 'POST');
  const response = page.waitForResponse((res) => res.request().method() === 'POST');
  await h.upload(page, file);
  const req = await request;
  const reply = await (await response).json();
  return {req, reply};
}

describe('object detection page', () => {
  let service, browser, page;

  h.useServedPage(h.modelDir('red_detector'), (s) => ({service, browser, page} = s));

  it('names the kind, id and model in the information line', async () => {
    assert.equal(await page.textContent('#model-kind'), '[Object detection]');
    assert.equal(await page.textContent('#model-id'), String(service.info.id));
    assert.equal(await page.textContent('#model-name'), service.info.name);
    assert.equal(await page.$eval('#model-id', (e) => getComputedStyle(e).marginRight), '8px');
    const d = await drawn(page);
    assert.ok(d.hintShown, 'a hint asks for a picture before the first upload');
    assert.ok(!d.thresholdShown);
  });

  it('sends the file unchanged and boxes the red objects', async () => {
    // Two red objects: the model gives one box around both.
    const file = picture(640, 480, [[96, 72, 160, 120], [384, 240, 128, 144]], 'two-red.png');
    const mark = service.output().length;
    const {req, reply} = await uploadAndCapture(page, file);
    assert.equal(req.url(), service.url + '/?threshold=0');
    assert.equal(req.headers()['content-type'], 'image/png');
    assert.ok(req.postDataBuffer().equals(file.buffer), 'the posted bytes are the file');
    await service.waitForOutput(/Input image size: 640, 480/, mark);

    assert.equal(reply.error_code, 0);
    assert.equal(reply.results.length, 1);
    const d = await drawn(page);
    assert.equal(d.message, '');
    assert.ok(!d.hintShown);
    assert.deepEqual(d.rows.map((r) => [r.labelText, r.confidenceText]),
      reply.results.map((r) => [r.label, r.confidence.toFixed(3)]));
    assert.equal(d.rows[0].labelText, 'red');
    assert.equal(d.boxes.length, 1);
    assert.ok(rectDistance(d.boxes[0], expectedBoxRect(reply.results[0], d.picture)) <= 0.5,
      JSON.stringify([d.boxes[0], reply.results[0], d.picture]));

    // Against the drawn objects: union (96, 72)-(512, 384) of the 640 x 480 picture, within
    // one cell of the model's 96 x 96 input.
    const s = d.picture.width / 640;
    const objects = {left: 96 * s, top: 72 * s, width: 416 * s, height: 312 * s};
    const cell = d.picture.width / 96 + 1;
    assert.ok(rectDistance(d.boxes[0], objects) <= cell, JSON.stringify([d.boxes[0], objects]));
    assert.ok(!d.boxes[0].hidden);
    assert.equal(d.thresholdText, (Math.round(service.info.thresholdRec * 100) / 100).toFixed(2));
    assert.ok(!d.overlayShown);
    assert.equal(d.fileInputValue, '');
    console.log('screenshot: ' + await h.screenshot(page, 'detection'));
  });

  it('keeps the box on its object at phone width', async () => {
    const phone = await browser.openPage(undefined, h.PHONE);
    const {reply} = await uploadAndCapture(phone, picture(640, 480, [[320, 240, 200, 150]], 'one-red.png'));
    const d = await drawn(phone);
    assert.ok(d.picture.width <= 390 - 20, 'the picture fits the screen: ' + d.picture.width);
    assert.ok(rectDistance(d.boxes[0], expectedBoxRect(reply.results[0], d.picture)) <= 0.5);
    const s = d.picture.width / 640;
    assert.ok(rectDistance(d.boxes[0], {left: 320 * s, top: 240 * s, width: 200 * s, height: 150 * s}) <=
      d.picture.width / 96 + 1);
    expectOnPicture(d);
    console.log('screenshot: ' + await h.screenshot(phone, 'detection-phone'));
    await phone.close();
  });

  // The model's x2 lies half a pixel beyond the last red column: 1.0052 for red up to the
  // right edge. Its box and tag were drawn past the picture.
  it('cuts a box that reaches past the picture to the picture at phone width', async () => {
    const phone = await browser.openPage(undefined, h.PHONE);
    const {reply} = await uploadAndCapture(phone, picture(640, 480, [[500, 4, 140, 200]], 'red-at-edge.png'));
    assert.ok(reply.results[0].x2 > 1, 'the reply reaches past the edge: ' + reply.results[0].x2);
    await phone.fill('#threshold-slider', '0');
    const d = await drawn(phone);
    assert.equal(d.boxes.length, 1);
    assert.ok(rectDistance(d.boxes[0], expectedBoxRect(reply.results[0], d.picture)) <= 0.5);
    assert.ok(Math.abs(d.boxes[0].left + d.boxes[0].width - d.picture.width) <= 0.5, 'box ends at the right edge');
    expectOnPicture(d);
    console.log('screenshot: ' + await h.screenshot(phone, 'detection-phone-edge'));
    await phone.close();
  });

  it('sends a large picture unchanged and again when the same file is chosen twice', async () => {
    const file = picture(1600, 1200, [[400, 300, 400, 300]], 'large.png');
    for (let round = 0; round < 2; round++) {
      const mark = service.output().length;
      const {req, reply} = await uploadAndCapture(page, file);
      assert.ok(req.postDataBuffer().equals(file.buffer));
      await service.waitForOutput(/Input image size: 1600, 1200/, mark);
      const d = await drawn(page);
      assert.equal(d.boxes.length, 1);
      assert.ok(rectDistance(d.boxes[0], expectedBoxRect(reply.results[0], d.picture)) <= 0.5);
    }
  });

  it('disables a result that the model scores below the threshold', async () => {
    // A dull red scores about 0.17 against the example threshold of 0.5.
    const r = new Raster(320, 240, [235, 238, 242]).fillRect(100, 80, 120, 80, [190, 98, 98]);
    const {reply} = await uploadAndCapture(page, {name: 'dull-red.png', mimeType: 'image/png', buffer: r.toPng()});
    assert.equal(reply.results.length, 1);
    const [result] = reply.results;
    assert.ok(result.confidence > 0.01 && result.confidence < service.info.thresholdRec, String(result.confidence));
    const d = await drawn(page);
    assert.deepEqual(d.rows.map((x) => [x.confidenceText, x.disabled]), [[result.confidence.toFixed(3), true]]);
    // A weak map's extent may come back reversed (x1 > x2): such a result is listed, never boxed.
    const boxed = expectedBoxRect(result, d.picture) ? 1 : 0;
    assert.deepEqual(d.boxes.map((b) => b.hidden), Array(boxed).fill(true));
    await page.fill('#threshold-slider', '10');
    const lower = await drawn(page);
    assert.ok(!lower.rows[0].disabled, 'enabled again at 0.10');
    assert.deepEqual(lower.boxes.map((b) => b.hidden), Array(boxed).fill(false));
  });

  it('loads nothing from other origins and raises no script errors', () => {
    assert.deepEqual(browser.foreignRequests(), []);
    assert.deepEqual(browser.pageErrors(), []);
  });
});
