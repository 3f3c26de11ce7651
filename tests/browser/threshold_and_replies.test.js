'use strict';
// Threshold filter, threshold control, label selection and failure handling of the demo page.
// The page and its model information come from the real program; for the cases that need
// confidences the example models cannot be made to produce (0.49 against 0.5, equal labels),
// the POST reply is replaced through the browser's request routing.
const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./support/harness');
const {drawn, maskBits, expectedBoxRect, rectDistance, expectOnPicture} = require('./support/page');
const {Raster} = require('./support/images');
const {countsToString, encodeMask} = require('./support/rle');

const W = 400, H = 300;
const PICTURE = {name: 'scene.png', mimeType: 'image/png', buffer: new Raster(W, H, [90, 110, 130]).toPng()};

// Boxes as fractions; masks as rectangles in pixels of the 400 x 300 picture.
const CRAFTED = [
  {label: 'car', confidence: 0.9, box: [0.05, 0.1, 0.35, 0.5]},
  {label: 'person', confidence: 0.75, box: [0.4, 0.1, 0.6, 0.9]},
  {label: 'person', confidence: 0.5, box: [0.65, 0.2, 0.8, 0.7]},
  {label: 'car', confidence: 0.49, box: [0.1, 0.6, 0.45, 0.95]},
  {label: 'car', confidence: 0.2, box: [0.82, 0.05, 0.98, 0.3]},
];

function inBox(r, x, y) {
  const [x1, y1, x2, y2] = r.box;
  return x >= x1 * W && x < x2 * W && y >= y1 * H && y < y2 * H;
}

function craftedReply(withMasks) {
  return {
    cost_ms: 3, error_code: 0,
    results: CRAFTED.map((r, i) => {
      const o = {confidence: r.confidence, index: i, label: r.label, name: r.label, score: r.confidence,
        x1: r.box[0], y1: r.box[1], x2: r.box[2], y2: r.box[3]};
      if (withMasks) o.mask = encodeMask(W, H, (x, y) => inBox(r, x, y));
      return o;
    }),
  };
}

async function answerPostWith(page, status, body) {
  await page.route('**/?threshold=0', (route) => {
    if (route.request().method() !== 'POST') return route.fallback();
    return route.fulfill({status, contentType: 'text/json', body: typeof body === 'string' ? body : JSON.stringify(body)});
  });
}

async function setThresholdByField(page, value) {
  await page.click('#threshold-modify');
  await page.fill('#threshold-input', String(value));
  await page.click('#threshold-confirm');
}

const visibleIndices = (items) => items.filter((b) => !b.hidden).map((b) => b.index);
const disabledIndices = (rows) => rows.filter((r) => r.disabled).map((r) => r.index);

describe('run-length strings written by the tests', () => {
  it('match the reference encodings', () => {
    assert.equal(countsToString([3, 2, 1, 1, 2]), '321O1');
    assert.equal(countsToString([5, 10, 2, 3]), '5:2I');
    assert.equal(countsToString([20]), 'd0');
  });
});

for (const [model, kind] of [['red_detector', 2], ['instance_segmenter', 6]]) {
  describe('threshold and selection, kind ' + kind, () => {
    let service, browser, page;

    h.useServedPage(h.modelDir(model), (s) => ({service, browser, page} = s));
    before(async () => {
      await answerPostWith(page, 200, craftedReply(kind === 6));
      await h.upload(page, PICTURE);
    });

    it('starts at the model threshold rounded to two decimals', async () => {
      const expected = Math.round(service.info.thresholdRec * 100) / 100;
      const d = await drawn(page);
      assert.ok(d.thresholdShown);
      assert.equal(d.thresholdText, expected.toFixed(2));
      assert.equal(d.slider, Math.round(expected * 100));
    });

    it('disables rows and hides boxes and masks below the threshold', async () => {
      await setThresholdByField(page, 0.5);
      const d = await drawn(page);
      assert.equal(d.thresholdText, '0.50');
      assert.equal(d.slider, 50);
      assert.deepEqual(disabledIndices(d.rows), [3, 4], 'rows at 0.49 and 0.2 are disabled, 0.5 is not');
      assert.deepEqual(visibleIndices(d.boxes), [0, 1, 2]);
      if (kind === 6) assert.deepEqual(visibleIndices(d.masks), [0, 1, 2]);
      else assert.equal(d.masks.length, 0);
    });

    it('filters again as the slider moves', async () => {
      for (const [value, shown] of [[0, [0, 1, 2, 3, 4]], [49, [0, 1, 2, 3]], [76, [0]], [100, []]]) {
        await page.fill('#threshold-slider', String(value));
        const d = await drawn(page);
        assert.equal(d.thresholdText, (value / 100).toFixed(2));
        assert.deepEqual(visibleIndices(d.boxes), shown, 'boxes at slider ' + value);
        assert.deepEqual(d.rows.filter((r) => !r.disabled).map((r) => r.index), shown, 'rows at slider ' + value);
      }
    });

    it('cleans what is typed into the threshold field', async () => {
      await page.click('#threshold-modify');
      assert.equal(await page.inputValue('#threshold-input'), '1', 'the field opens with the slider value');
      for (const [typed, kept] of [['1.5', '1'], ['0.123', '0.12'], ['0.5', '0.5'], ['7', '1']]) {
        await page.fill('#threshold-input', '');
        await page.locator('#threshold-input').pressSequentially(typed);
        assert.equal(await page.inputValue('#threshold-input'), kept, 'typed ' + typed);
      }
      for (const [pasted, kept] of [['-0.4', '0'], ['0.987', '0.98'], ['3e2', '1']]) {
        await page.fill('#threshold-input', pasted);
        assert.equal(await page.inputValue('#threshold-input'), kept, 'pasted ' + pasted);
      }
      // What was typed is read as a number first: ".5" gave 1, "-0.2" 0.2 and "1e-3" 1.
      for (const [typed, kept] of [['.5', '.5'], ['-0.2', '0'], ['1e-3', '0'], ['.257', '.25']]) {
        await page.fill('#threshold-input', '');
        await page.locator('#threshold-input').pressSequentially(typed);
        assert.equal(await page.inputValue('#threshold-input'), kept, 'typed ' + typed);
      }

      await page.click('#threshold-cancel');
      assert.ok(await page.locator('#threshold-editor').isHidden());
      assert.equal(await page.inputValue('#threshold-input'), '', 'cancel empties the field');
      assert.equal((await drawn(page)).thresholdText, '1.00', 'cancel keeps the threshold');

      await page.click('#threshold-modify');
      await page.fill('#threshold-input', '');
      await page.locator('#threshold-input').pressSequentially('0.123');
      await page.click('#threshold-confirm');
      const d = await drawn(page);
      assert.equal(d.thresholdText, '0.12');
      assert.equal(d.slider, 12);
      assert.deepEqual(visibleIndices(d.boxes), [0, 1, 2, 3, 4]);
      assert.ok(await page.locator('#threshold-editor').isHidden());

      await page.click('#threshold-modify');
      await page.fill('#threshold-input', '');
      await page.locator('#threshold-input').pressSequentially('.5');
      await page.click('#threshold-confirm');
      assert.equal((await drawn(page)).thresholdText, '0.50', '".5" is confirmed as 0.5');
    });

    it('shows the boxes of a selected label at or above the threshold', async () => {
      await setThresholdByField(page, 0.3);
      const masksBefore = visibleIndices((await drawn(page)).masks);

      await page.click('#results li[data-index="0"]');
      let d = await drawn(page);
      assert.deepEqual(d.rows.filter((r) => r.selected).map((r) => r.index), [0]);
      assert.deepEqual(d.boxes.filter((b) => b.active).map((b) => b.index), [0]);
      assert.deepEqual(visibleIndices(d.boxes), [0, 3], 'cars at 0.9 and 0.49; the one at 0.2 stays hidden');
      assert.deepEqual(visibleIndices(d.masks), masksBefore, 'masks are not affected');

      await page.click('#results li[data-index="2"]');
      d = await drawn(page);
      assert.deepEqual(d.rows.filter((r) => r.selected).map((r) => r.index), [2]);
      assert.deepEqual(d.boxes.filter((b) => b.active).map((b) => b.index), [2]);
      assert.deepEqual(visibleIndices(d.boxes), [1, 2]);

      await page.click('#results li[data-index="4"]'); // disabled at 0.3: nothing changes
      const after = await drawn(page);
      assert.deepEqual(after.rows.filter((r) => r.selected).map((r) => r.index), [2]);
      assert.deepEqual(visibleIndices(after.boxes), [1, 2]);
      console.log('screenshot: ' + await h.screenshot(page, 'selection-kind-' + kind));

      await page.click('#show-all');
      const all = await drawn(page);
      assert.deepEqual(visibleIndices(all.boxes), [0, 1, 2, 3]);
      assert.ok(all.rows.every((r) => !r.selected) && all.boxes.every((b) => !b.active));
    });

    if (kind === 6) {
      it('draws each mask at the size of the sent picture', async () => {
        for (const [i, r] of CRAFTED.entries()) {
          const m = await maskBits(page, i);
          assert.equal(m.width, W);
          assert.equal(m.height, H);
          assert.deepEqual(m.alphas, [100], 'painted cells have opacity 100/255');
          let wrong = 0;
          for (let y = 0; y < H; y++) {
            for (let x = 0; x < W; x++) if (m.bits[y * W + x] !== (inBox(r, x, y) ? 1 : 0)) wrong++;
          }
          assert.equal(wrong, 0, 'mask ' + i + ' differs from its rectangle in ' + wrong + ' pixels');
        }
      });
    }
  });
}

describe('mask decoding of awkward run lengths', () => {
  let service, browser, page;

  h.useServedPage(h.modelDir('instance_segmenter'), (s) => ({service, browser, page} = s));

  it('decodes masks that start with ones, end with ones, or have long and shrinking runs', async () => {
    const w = 700, hh = 500; // counts up to 350000 need four 5-bit groups
    const shapes = [
      (x, y) => x === 0 && y === 0,                        // first pixel set: leading zero run is empty
      (x, y) => x >= w - 3,                                // ends with ones
      (x, y) => (x * 7 + y * 3) % 11 < 4,                  // many short runs with negative deltas
      (x) => x >= 100 && x < 600,                          // one long run of 250000
      () => false,                                         // nothing at all
    ];
    const reply = {cost_ms: 1, error_code: 0, results: shapes.map((f, i) => ({
      confidence: 0.9 - i / 10, index: i, label: 'shape' + i, name: 'shape' + i, score: 0.9 - i / 10,
      x1: 0, y1: 0, x2: 1, y2: 1, mask: encodeMask(w, hh, f)}))};
    await answerPostWith(page, 200, reply);
    await h.upload(page, {name: 'wide.png', mimeType: 'image/png', buffer: new Raster(w, hh).toPng()});
    for (const [i, f] of shapes.entries()) {
      const m = await maskBits(page, i);
      assert.equal(m.width, w);
      assert.equal(m.height, hh);
      let wrong = 0;
      for (let y = 0; y < hh; y++) for (let x = 0; x < w; x++) if (m.bits[y * w + x] !== (f(x, y) ? 1 : 0)) wrong++;
      assert.equal(wrong, 0, 'shape ' + i + ': ' + wrong + ' pixels differ');
    }
  });
});

describe('boxes at and beyond the edges of the picture, at phone width', () => {
  let service, browser;

  h.useServedPage(h.modelDir('red_detector'), (s) => ({service, browser} = s));

  it('cuts boxes to the picture, keeps their tags on it and draws none for reversed corners', async () => {
    const boxes = [
      ['a rather long label for a small box', [0.9, 0.4, 0.95, 0.5]],
      ['reaches up and left', [-0.1, -0.05, 0.3, 0.2]],
      ['reaches down and right', [0.7, 0.8, 1.2, 1.3]],
      ['reversed across', [0.6, 0.2, 0.4, 0.5]],
      ['reversed down', [0.2, 0.6, 0.4, 0.5]],
      ['beyond the right edge', [1.1, 0.1, 1.3, 0.2]],
      ['no corners', []],
    ];
    const reply = {cost_ms: 1, error_code: 0, results: boxes.map(([label, [x1, y1, x2, y2]], i) => ({
      confidence: 0.9 - i / 10, index: 0, label, name: label, score: 0.9 - i / 10, x1, y1, x2, y2}))};
    const page = await browser.openPage(undefined, h.PHONE);
    await answerPostWith(page, 200, reply);
    await h.upload(page, PICTURE);
    await page.fill('#threshold-slider', '0');
    const d = await drawn(page);
    assert.equal(d.rows.length, boxes.length, 'every result is listed');
    assert.deepEqual(d.boxes.map((b) => b.index), [0, 1, 2]);
    for (const b of d.boxes) {
      assert.ok(rectDistance(b, expectedBoxRect(reply.results[b.index], d.picture)) <= 0.5, JSON.stringify(b));
    }
    expectOnPicture(d);
    console.log('screenshot: ' + await h.screenshot(page, 'boxes-at-edges-phone'));

    await page.click('#results li[data-index="3"]'); // a result without a box can still be selected
    assert.deepEqual((await drawn(page)).rows.filter((r) => r.selected).map((r) => r.index), [3]);
    assert.deepEqual(browser.pageErrors(), []);
  });
});

describe('replies that carry no results', () => {
  let service, browser, page;

  before(async () => {
    h.requireEnvironment();
    service = await h.startService(h.modelDir('red_detector'));
    browser = await h.launchBrowser(service.url);
  });

  after(async () => {
    if (browser) await browser.close();
    if (service) await service.stop();
  });

  async function expectNothingDrawn(message) {
    const d = await drawn(page);
    assert.match(d.message, message);
    assert.equal(d.rows.length, 0);
    assert.equal(d.boxes.length, 0);
    assert.ok(d.hintShown);
    assert.ok(!d.overlayShown, 'the overlay is hidden again');
    assert.equal(d.fileInputValue, '', 'the same file can be chosen again');
  }

  // Such a file, or an empty one, showed a broken-picture icon under the message
  // with its alt text cut in half.
  it('shows the service message alone for a file that is no picture', async () => {
    page = await browser.openPage();
    await h.upload(page, PICTURE);
    assert.ok(await page.isVisible('#picture'), 'a picture is shown');
    for (const file of [
      {name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('not a picture at all')},
      {name: 'empty.png', mimeType: 'image/png', buffer: Buffer.alloc(0)},
    ]) {
      await h.upload(page, file);
      await expectNothingDrawn(/Failed to decode image/);
      assert.ok(!(await page.isVisible('#stage')), file.name + ': no picture element, not even the earlier one');
      assert.match(await page.textContent('#placeholder'), /cannot be shown/, file.name);
    }
    console.log('screenshot: ' + await h.screenshot(page, 'no-picture'));
    assert.deepEqual(browser.pageErrors(), []);
  });

  it('does not use a reply whose status is not 200', async () => {
    page = await browser.openPage();
    await answerPostWith(page, 500, craftedReply(false));
    await h.upload(page, PICTURE);
    await expectNothingDrawn(/500/);
  });

  it('reports a service that cannot be reached', async () => {
    page = await browser.openPage();
    await page.route('**/?threshold=0', (route) => route.abort('connectionrefused'));
    await h.upload(page, PICTURE);
    await expectNothingDrawn(/could not be reached/);
  });

  it('gives up on a reply that never comes', async () => {
    page = await browser.context.newPage();
    await page.clock.install();
    await page.goto(service.url + '/');
    await page.waitForSelector('body[data-ready]');
    const pending = [];
    await page.route('**/?threshold=0', (route) => { pending.push(route); });
    await page.setInputFiles('#file-input', PICTURE);
    await page.waitForFunction(() => document.getElementById('overlay-text').textContent.startsWith('Computing'));
    while (!pending.length) await new Promise((r) => setTimeout(r, 20));
    assert.ok((await drawn(page)).overlayShown);
    await page.clock.runFor(61000);
    await page.waitForSelector('body[data-uploads="1"]');
    await expectNothingDrawn(/did not answer in time/);
  });

  it('clears the list of an earlier upload when the next one fails', async () => {
    page = await browser.openPage();
    await answerPostWith(page, 200, craftedReply(false));
    await h.upload(page, PICTURE);
    assert.equal((await drawn(page)).rows.length, CRAFTED.length);
    await page.unrouteAll();
    await answerPostWith(page, 200, {error_code: 8000001, message: 'Failed to decode image: Empty image'});
    await h.upload(page, PICTURE);
    await expectNothingDrawn(/Failed to decode image: Empty image/);
    assert.ok(browser.pageErrors().length === 0, browser.pageErrors().join('\n'));
  });
});

describe('a model without a recommended threshold', () => {
  let service, browser, tmp;

  before(async () => {
    h.requireEnvironment();
    tmp = h.tempDir('norvane-model-');
    service = await h.startService(h.modelCopy('red_detector', tmp, (conf) => { conf.thresholdRec = 0; }));
    browser = await h.launchBrowser(service.url);
  });

  after(async () => {
    if (browser) await browser.close();
    if (service) await service.stop();
    if (tmp) require('node:fs').rmSync(tmp, {recursive: true, force: true});
  });

  it('starts the page at 0.3', async () => {
    assert.equal(service.info.thresholdRec, 0);
    const page = await browser.openPage();
    await answerPostWith(page, 200, craftedReply(false));
    await h.upload(page, PICTURE);
    const d = await drawn(page);
    assert.equal(d.thresholdText, '0.30');
    assert.equal(d.slider, 30);
    assert.deepEqual(disabledIndices(d.rows), [4]);
  });
});
