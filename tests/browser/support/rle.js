'use strict';
// Writes masks in the compressed run-length string form that the service answers with,
// for replies the tests craft themselves: column-major pixels, runs alternate starting
// with zeros, each count (after the third: its difference to the count two back) in
// 5-bit groups, characters '0' + group, 0x20 = more groups follow.

function countsOf(width, height, inside) {
  const counts = [];
  let current = 0, run = 0;
  for (let x = 0; x < width; x++) {
    for (let y = 0; y < height; y++) {
      const v = inside(x, y) ? 1 : 0;
      if (v !== current) { counts.push(run); run = 0; current = v; }
      run++;
    }
  }
  counts.push(run);
  return counts;
}

function countsToString(counts) {
  let s = '';
  counts.forEach((count, i) => {
    let x = BigInt(count) - (i > 2 ? BigInt(counts[i - 2]) : 0n);
    for (let more = true; more;) {
      let c = Number(x & 0x1fn);
      x >>= 5n;
      more = (c & 0x10) ? x !== -1n : x !== 0n;
      if (more) c |= 0x20;
      s += String.fromCharCode(c + 48);
    }
  });
  return s;
}

function encodeMask(width, height, inside) {
  return countsToString(countsOf(width, height, inside));
}

// Reads the string form back into counts (5-bit groups, sign from bit 0x10 of the last group).
function stringToCounts(s) {
  const counts = [];
  let p = 0;
  while (p < s.length) {
    let x = 0n, k = 0n, c;
    do {
      c = BigInt(s.charCodeAt(p++) - 48);
      x |= (c & 0x1fn) << (5n * k++);
    } while (c & 0x20n);
    if (c & 0x10n) x -= 1n << (5n * k);
    if (counts.length > 2) x += BigInt(counts[counts.length - 2]);
    counts.push(Number(BigInt.asUintN(32, x)));
  }
  return counts;
}

// 0/1 per pixel, row-major, of a mask `height` rows high given as a run-length string.
function decodeMask(s, height) {
  const counts = stringToCounts(s);
  const total = counts.reduce((a, b) => a + b, 0);
  const width = total / height;
  const bits = new Uint8Array(total);
  let n = 0;
  counts.forEach((count, i) => {
    for (let end = n + count; n < end; n++) {
      if (i % 2) bits[(n % height) * width + Math.floor(n / height)] = 1;
    }
  });
  return {width, height, bits};
}

module.exports = {countsOf, countsToString, encodeMask, stringToCounts, decodeMask};
