'use strict';
// Pictures for the page tests, drawn here so that no test data is downloaded:
// an RGB raster with filled rectangles and ellipses, written as PNG through zlib,
// and the size fields of encoded PNG and JPEG files.
const zlib = require('node:zlib');

class Raster {
  constructor(width, height, background = [255, 255, 255]) {
    this.width = width;
    this.height = height;
    this.data = Buffer.alloc(width * height * 3);
    this.fillRect(0, 0, width, height, background);
  }

  set(x, y, rgb) {
    const o = (y * this.width + x) * 3;
    this.data[o] = rgb[0];
    this.data[o + 1] = rgb[1];
    this.data[o + 2] = rgb[2];
  }

  fillRect(x, y, w, h, rgb) {
    for (let yy = Math.max(0, y); yy < Math.min(this.height, y + h); yy++) {
      for (let xx = Math.max(0, x); xx < Math.min(this.width, x + w); xx++) this.set(xx, yy, rgb);
    }
    return this;
  }

  // Ellipse inscribed in the rectangle (x, y, w, h); pixel centres decide membership.
  fillEllipse(x, y, w, h, rgb) {
    const cx = x + w / 2, cy = y + h / 2;
    for (let yy = Math.max(0, y); yy < Math.min(this.height, y + h); yy++) {
      for (let xx = Math.max(0, x); xx < Math.min(this.width, x + w); xx++) {
        const dx = (xx + 0.5 - cx) / (w / 2), dy = (yy + 0.5 - cy) / (h / 2);
        if (dx * dx + dy * dy <= 1) this.set(xx, yy, rgb);
      }
    }
    return this;
  }

  toPng() {
    const stride = this.width * 3;
    const raw = Buffer.alloc((stride + 1) * this.height);
    for (let y = 0; y < this.height; y++) {
      raw[y * (stride + 1)] = 0; // filter type None
      this.data.copy(raw, y * (stride + 1) + 1, y * stride, (y + 1) * stride);
    }
    const ihdr = Buffer.alloc(13);
    ihdr.writeUInt32BE(this.width, 0);
    ihdr.writeUInt32BE(this.height, 4);
    ihdr.set([8, 2, 0, 0, 0], 8); // 8-bit RGB, deflate, no filter, no interlace
    return Buffer.concat([
      Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
      chunk('IHDR', ihdr),
      chunk('IDAT', zlib.deflateSync(raw)),
      chunk('IEND', Buffer.alloc(0)),
    ]);
  }
}

const CRC_TABLE = (() => {
  const t = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c >>> 0;
  }
  return t;
})();

function crc32(buf) {
  let c = 0xffffffff;
  for (const b of buf) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, body) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(body.length, 0);
  head.write(type, 4, 'ascii');
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), body])));
  return Buffer.concat([head, body, crc]);
}

// Width and height from a PNG's IHDR or a JPEG's first start-of-frame marker.
function imageSize(buf) {
  if (buf.length >= 24 && buf.readUInt32BE(0) === 0x89504e47) {
    return {format: 'png', width: buf.readUInt32BE(16), height: buf.readUInt32BE(20)};
  }
  if (buf.length >= 4 && buf[0] === 0xff && buf[1] === 0xd8) {
    let p = 2;
    while (p + 4 <= buf.length) {
      if (buf[p] !== 0xff) return null;
      const marker = buf[p + 1];
      if (marker === 0xff) { p++; continue; }
      const len = buf.readUInt16BE(p + 2);
      const isFrame = marker >= 0xc0 && marker <= 0xcf && ![0xc4, 0xc8, 0xcc].includes(marker);
      if (isFrame) return {format: 'jpeg', width: buf.readUInt16BE(p + 7), height: buf.readUInt16BE(p + 5)};
      p += 2 + len;
    }
  }
  return null;
}

module.exports = {Raster, imageSize};
