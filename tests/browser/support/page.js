'use strict';
// Reads back what the demo page has drawn, in CSS pixels relative to the displayed picture.

async function drawn(page) {
  return page.evaluate(() => {
    const pic = document.getElementById('picture').getBoundingClientRect();
    const rel = (el) => {
      const r = el.getBoundingClientRect();
      return {left: r.left - pic.left, top: r.top - pic.top, width: r.width, height: r.height};
    };
    const attrs = (el) => ({
      index: Number(el.dataset.index),
      label: el.dataset.label,
      confidence: Number(el.dataset.confidence),
      hidden: el.hidden || getComputedStyle(el).display === 'none',
    });
    const $ = (s) => Array.from(document.querySelectorAll(s));
    return {
      picture: {width: pic.width, height: pic.height},
      boxes: $('#boxes .box').map((b) => ({
        ...attrs(b), ...rel(b), active: b.classList.contains('active'), tag: rel(b.querySelector('.tag')),
      })),
      masks: $('#masks canvas').map((c) => ({...attrs(c), ...rel(c), pixelWidth: c.width, pixelHeight: c.height})),
      rows: $('#results li.result').map((li) => ({
        ...attrs(li),
        labelText: li.querySelector('.label').textContent,
        confidenceText: li.querySelector('.confidence').textContent,
        disabled: li.classList.contains('disabled'),
        selected: li.classList.contains('selected'),
      })),
      hintShown: !document.getElementById('hint').hidden,
      thresholdShown: !document.getElementById('threshold-panel').hidden,
      thresholdText: document.getElementById('threshold-value').textContent,
      slider: Number(document.getElementById('threshold-slider').value),
      message: document.getElementById('message').hidden ? '' : document.getElementById('message').textContent,
      overlayShown: !document.getElementById('overlay').hidden,
      fileInputValue: document.getElementById('file-input').value,
      // Wider than the viewport means the page scrolls sideways.
      pageWidth: document.documentElement.scrollWidth,
      viewportWidth: document.documentElement.clientWidth,
    };
  });
}

// 0/1 per pixel (row-major) of the mask layer of result `index`: 1 where the layer is painted.
async function maskBits(page, index) {
  const got = await page.evaluate((i) => {
    const c = document.querySelector('#masks canvas[data-index="' + i + '"]');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    const alphas = new Set();
    let bits = '';
    for (let p = 3; p < d.length; p += 4) {
      bits += d[p] ? '\x01' : '\x00';
      if (d[p]) alphas.add(d[p]);
    }
    return {width: c.width, height: c.height, bits: btoa(bits), alphas: Array.from(alphas)};
  }, index);
  return {...got, bits: new Uint8Array(Buffer.from(got.bits, 'base64'))};
}

module.exports = {drawn, maskBits};

// The page's box for `result` must sit at W*x1, H*y1 with size W*(x2-x1), H*(y2-y1) over
// the displayed picture (W, H), cut to the picture; half a pixel of rounding either way.
// null where no box may be drawn: reversed corners, or none of the box on the picture.
function expectedBoxRect(result, picture) {
  const clip = (v) => Math.min(1, Math.max(0, v));
  const [x1, y1, x2, y2] = [result.x1, result.y1, result.x2, result.y2].map(Number);
  if (!(x1 <= x2 && y1 <= y2 && x2 >= 0 && y2 >= 0 && x1 <= 1 && y1 <= 1)) return null;
  return {
    left: picture.width * clip(x1),
    top: picture.height * clip(y1),
    width: picture.width * (clip(x2) - clip(x1)),
    height: picture.height * (clip(y2) - clip(y1)),
  };
}

// How far `rect` reaches past the displayed picture, in CSS pixels (0 when inside).
function overhang(rect, picture) {
  return Math.max(0, -rect.left, -rect.top,
    rect.left + rect.width - picture.width, rect.top + rect.height - picture.height);
}

// Every shown box and its tag lie on the picture, and the page does not scroll sideways.
function expectOnPicture(d) {
  for (const b of d.boxes.filter((x) => !x.hidden)) {
    if (overhang(b, d.picture) > 0.5 || overhang(b.tag, d.picture) > 0.5) {
      throw new Error('box ' + b.index + ' or its tag lies off the picture: ' + JSON.stringify([b, d.picture]));
    }
  }
  if (d.pageWidth > d.viewportWidth) throw new Error('the page is ' + d.pageWidth + ' px wide in a ' + d.viewportWidth + ' px window');
}

function rectDistance(a, b) {
  return Math.max(Math.abs(a.left - b.left), Math.abs(a.top - b.top),
    Math.abs(a.left + a.width - (b.left + b.width)), Math.abs(a.top + a.height - (b.top + b.height)));
}

// Intersection over union of two 0/1 rasters of equal size.
function iou(bits, inside, width, height) {
  let both = 0, either = 0;
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const a = bits[y * width + x] === 1, b = inside(x, y);
      if (a && b) both++;
      if (a || b) either++;
    }
  }
  return either ? both / either : 1;
}

module.exports.expectedBoxRect = expectedBoxRect;
module.exports.rectDistance = rectDistance;
module.exports.iou = iou;
module.exports.expectOnPicture = expectOnPicture;
