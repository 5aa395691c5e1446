// Encoding server for bench/encoders.py: reads one JSON request a line on stdin,
//   {"in": PATH, "out": PATH, "format": "jpeg" | "webp", "quality": Q}
// encodes with sharp at its defaults for that format (JPEG with "mozjpeg": true) and
// answers one JSON line, {"bytes": N, "ms": M} or {"error": TEXT}. "ms" is the encode
// alone, decode included, process start-up excluded.
'use strict';
const readline = require('node:readline');
const fs = require('node:fs');
const sharp = require('sharp');

sharp.cache(false);

const lines = readline.createInterface({ input: process.stdin });
let queue = Promise.resolve();

async function handle(request) {
  const start = process.hrtime.bigint();
  let pipeline = sharp(request.in);
  if (request.format === 'jpeg') {
    pipeline = pipeline.jpeg({ quality: request.quality, mozjpeg: true });
  } else if (request.format === 'webp') {
    pipeline = pipeline.webp({ quality: request.quality });
  } else {
    throw new Error(`unknown format ${request.format}`);
  }
  await pipeline.toFile(request.out);
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return { bytes: fs.statSync(request.out).size, ms };
}

lines.on('line', (line) => {
  queue = queue.then(async () => {
    let answer;
    try {
      answer = await handle(JSON.parse(line));
    } catch (error) {
      answer = { error: String(error && error.message ? error.message : error) };
    }
    process.stdout.write(JSON.stringify(answer) + '\n');
  });
});

if (process.argv[2] === '--versions') {
  process.stdout.write(JSON.stringify({ sharp: sharp.versions.sharp, vips: sharp.versions.vips,
    mozjpeg: sharp.versions.mozjpeg, webp: sharp.versions.webp }) + '\n');
  process.exit(0);
}
