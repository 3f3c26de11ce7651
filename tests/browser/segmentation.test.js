'use strict';
// The demo page in front of the example instance segmenter (kind 6): one result for the
// red and one for the green pixels, each with a box and a mask. The example network is
// built for an 800 x 600 camera: its boxes are in pixels of such a picture, so masks and
// boxes lie on the objects of pictures sent at 800 x 600 (those of that size, and 4:3
// pictures larger than 800 that the page scales to it). Pictures of other sizes are
// checked against what the service answered instead.
const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./support/harness');
const {drawn, maskBits, expectedBoxRect, rectDistance, iou, expectOnPicture} = require('./support/page');
const {Raster, imageSize} = require('./support/images');
const {decodeMask} = require('./support/rle');

const RED = [225, 25, 25], GREEN = [25, 200, 40];

// A red ellipse and a green rectangle, placed in fractions of the picture.
function scene(width, height) {
  const ell = [0.12 * width, 0.15 * height, 0.38 * width, 0.42 * height].map(Math.round);
  const rect = [0.6 * width, 0.4 * height, 0.28 * width, 0.45 * height].map(Math.round);
  const r = new Raster(width, height, [120, 124, 130]);
  r.fillEllipse(...ell, RED);
  r.fillRect(...rect, GREEN);
  const inEllipse = (x, y) => {
    const dx = (x + 0.5 - (ell[0] + ell[2] / 2)) / (ell[2] / 2), dy = (y + 0.5 - (ell[1] + ell[3] / 2)) / (ell[3] / 2);
    return dx * dx + dy * dy <= 1;
  };
  const inRect = (x, y) => x >= rect[0] && x < rect[0] + rect[2] && y >= rect[1] && y < rect[1] + rect[3];
  return {
    file: {name: `scene-${width}x${height}.png`, mimeType: 'image/png', buffer: r.toPng()},
    shapes: {red: {inside: inEllipse, bounds: ell}, green: {inside: inRect, bounds: rect}},
  };
}

async function uploadAndCapture(page, file) {
  const request = page.waitForRequest((req) => req.method() === 'POST');
  const response = page.waitForResponse((res) => res.request().method() === 'POST');
  await h.upload(page, file);
  return {req: await request, reply: await (await response).json()};
}

// Every layer holds the reply's mask, cut into columns of the sent picture's height.
async function expectMasksAsReplied(page, reply, sentHeight) {
  const d = await drawn(page);
  assert.equal(d.masks.length, reply.results.length);
  for (const [i, result] of reply.results.entries()) {
    const layer = d.masks.find((m) => m.index === i);
    assert.equal(layer.label, result.label);
    assert.ok(rectDistance(layer, {left: 0, top: 0, width: d.picture.width, height: d.picture.height}) <= 0.5,
      'the mask layer is stretched over the picture');
    const want = decodeMask(result.mask, sentHeight);
    const got = await maskBits(page, i);
    assert.deepEqual([got.width, got.height], [want.width, want.height]);
    assert.ok(got.bits.some((b) => b === 1), 'the mask of ' + result.label + ' is not empty');
    assert.deepEqual(got.alphas, [100], 'painted cells have opacity 100/255');
    const differ = got.bits.reduce((n, b, k) => n + (b !== want.bits[k]), 0);
    assert.equal(differ, 0, result.label + ': ' + differ + ' pixels differ from the reply');
  }
  return d;
}

describe('image segmentation page', () => {
  let service, browser, page;

  h.useServedPage(h.modelDir('instance_segmenter'), (s) => ({service, browser, page} = s));

  it('draws masks and boxes on the objects of an 800 x 600 picture', async () => {
    assert.equal(await page.textContent('#model-kind'), '[Image segmentation]');
    const {file, shapes} = scene(800, 600);
    const {req, reply} = await uploadAndCapture(page, file);
    assert.ok(req.postDataBuffer().equals(file.buffer));
    assert.equal(reply.error_code, 0);
    assert.deepEqual(reply.results.map((r) => r.label).sort(), ['green', 'red']);

    const d = await expectMasksAsReplied(page, reply, 600);
    assert.deepEqual(d.rows.map((r) => [r.labelText, r.confidenceText]),
      reply.results.map((r) => [r.label, r.confidence.toFixed(3)]), 'rows in reply order');
    const s = d.picture.width / 800;
    for (const [i, result] of reply.results.entries()) {
      const shape = shapes[result.label];
      const m = await maskBits(page, i);
      const overlap = iou(m.bits, shape.inside, 800, 600);
      assert.ok(overlap > 0.95, result.label + ' mask overlaps its shape by ' + overlap.toFixed(3));
      const box = d.boxes.find((b) => b.index === i);
      assert.ok(rectDistance(box, expectedBoxRect(result, d.picture)) <= 0.5);
      const [x, y, w, hh] = shape.bounds;
      assert.ok(rectDistance(box, {left: x * s, top: y * s, width: w * s, height: hh * s}) <= s + 0.5,
        JSON.stringify([box, shape.bounds]));
    }
    console.log('screenshot: ' + await h.screenshot(page, 'segmentation-800px'));
  });

  it('sends a 1600 x 1200 picture as an 800 x 600 JPEG whose masks lie on the objects', async () => {
    const {file, shapes} = scene(1600, 1200);
    const mark = service.output().length;
    const {req, reply} = await uploadAndCapture(page, file);
    assert.equal(req.headers()['content-type'], 'image/jpeg');
    assert.deepEqual(imageSize(req.postDataBuffer()), {format: 'jpeg', width: 800, height: 600});
    await service.waitForOutput(/Input image size: 800, 600/, mark);
    assert.equal(reply.error_code, 0);
    assert.equal(reply.results.length, 2);

    const d = await expectMasksAsReplied(page, reply, 600);
    assert.deepEqual(d.rows.map((r) => [r.labelText, r.confidenceText]),
      reply.results.map((r) => [r.label, r.confidence.toFixed(3)]));
    for (const [i, result] of reply.results.entries()) {
      const box = d.boxes.find((b) => b.index === i);
      assert.ok(rectDistance(box, expectedBoxRect(result, d.picture)) <= 0.5);
      // Mask cells are pixels of the sent picture, half the size of the drawn one.
      const m = await maskBits(page, i);
      const overlap = iou(m.bits, (x, y) => shapes[result.label].inside(2 * x + 0.5, 2 * y + 0.5), 800, 600);
      assert.ok(overlap > 0.8, result.label + ' mask overlaps its shape by ' + overlap.toFixed(3));
    }
    assert.equal(d.message, '');
    console.log('screenshot: ' + await h.screenshot(page, 'segmentation'));
  });

  it('sends pictures of at most 800 pixels unchanged', async () => {
    const {file} = scene(640, 480);
    const mark = service.output().length;
    const {req, reply} = await uploadAndCapture(page, file);
    assert.equal(req.headers()['content-type'], 'image/png');
    assert.ok(req.postDataBuffer().equals(file.buffer));
    await service.waitForOutput(/Input image size: 640, 480/, mark);
    await expectMasksAsReplied(page, reply, 480);
  });

  it('scales the longer side of larger pictures to 800', async () => {
    for (const [w, hh, sw, sh] of [[1000, 1000, 800, 800], [900, 1800, 400, 800], [801, 400, 800, 400]]) {
      const {file} = scene(w, hh);
      const mark = service.output().length;
      const {req} = await uploadAndCapture(page, file);
      assert.deepEqual(imageSize(req.postDataBuffer()), {format: 'jpeg', width: sw, height: sh}, `${w} x ${hh}`);
      await service.waitForOutput(new RegExp(`Input image size: ${sw}, ${sh}`), mark);
      const d = await drawn(page);
      assert.equal(d.masks.length, 2);
      for (const layer of d.masks) assert.equal(layer.pixelHeight, sh, 'masks are cut with the sent height');
    }
  });

  // With the slider at 0 the absent class's record (score about 0, x1 > x2) hung its tag
  // off the picture's corner, and the page scrolled sideways to 455 px (679 px for a
  // portrait picture, whose boxes lie beyond its right edge).
  it('draws no box for a class absent from the picture and stays on a phone screen', async () => {
    const phone = await browser.openPage(undefined, h.PHONE);
    for (const [w, hh] of [[800, 600], [480, 640]]) {
      const r = new Raster(w, hh, [120, 124, 130]).fillEllipse(60, 90, 240, 180, RED);
      const file = {name: `red-only-${w}x${hh}.png`, mimeType: 'image/png', buffer: r.toPng()};
      const {reply} = await uploadAndCapture(phone, file);
      const green = reply.results.findIndex((x) => x.label === 'green');
      assert.ok(green >= 0 && reply.results[green].x1 > reply.results[green].x2, JSON.stringify(reply.results[green]));
      await phone.fill('#threshold-slider', '0');
      const d = await drawn(phone);
      assert.deepEqual(d.rows.filter((x) => !x.disabled).map((x) => x.label).sort(), ['green', 'red']);
      assert.deepEqual(d.boxes.map((b) => b.label), ['red']);
      for (const b of d.boxes) {
        const want = expectedBoxRect(reply.results[b.index], d.picture);
        assert.ok(want && rectDistance(b, want) <= 0.5, JSON.stringify([b, want]));
      }
      expectOnPicture(d);
      console.log('screenshot: ' + await h.screenshot(phone, `segmentation-phone-${w}x${hh}`));
    }
    await phone.close();
  });

  it('loads nothing from other origins and raises no script errors', () => {
    assert.deepEqual(browser.foreignRequests(), []);
    assert.deepEqual(browser.pageErrors(), []);
  });

  // A 4000 x 2 picture was refused: its shorter side rounded to 0 pixels.
  it('keeps the shorter side of a very thin picture at least 1 pixel', async () => {
    for (const [w, hh, sw, sh] of [[4000, 2, 800, 1], [2, 4000, 1, 800]]) {
      const buffer = new Raster(w, hh, [200, 40, 40]).toPng();
      const file = {name: `thin-${w}x${hh}.png`, mimeType: 'image/png', buffer};
      const mark = service.output().length;
      const {req, reply} = await uploadAndCapture(page, file);
      assert.deepEqual(imageSize(req.postDataBuffer()), {format: 'jpeg', width: sw, height: sh}, `${w} x ${hh}`);
      await service.waitForOutput(new RegExp(`Input image size: ${sw}, ${sh}`), mark);
      assert.equal(reply.error_code, 0);
      assert.equal((await drawn(page)).message, '');
    }
    assert.deepEqual(browser.pageErrors(), []);
  });
});
