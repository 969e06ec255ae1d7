// Reads a point-cloud tileset with loaders.gl's 3D Tiles loader and prints,
// as one JSON object, every frame tileset's content and every step-th point
// moved by its tile's transform into earth-centred coordinates:
//   {"frames": [{"uri", "pnts": [names], "points": n, "ecef": [x, y, z, ...]}]}
// Usage: node read_point_cloud.mjs <node_modules folder> <tileset folder> <step>
import {createRequire} from 'node:module';
import {readFileSync} from 'node:fs';
import path from 'node:path';

const [modules, folder, stepText] = process.argv.slice(2);
const step = Math.max(1, parseInt(stepText, 10) || 1);
const require = createRequire(path.join(modules, 'resolver.js'));
const {parse} = require('@loaders.gl/core');
const {Tiles3DLoader} = require('@loaders.gl/3d-tiles');

async function parseFile(file) {
  const bytes = readFileSync(file);
  const data = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  return parse(data, Tiles3DLoader, {'3d-tiles': {loadGLTF: false}}, {url: file});
}

// Column-major 4 x 4 products; identity when a tile has no transform.
const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
function multiply(a, b) {
  const out = new Array(16).fill(0);
  for (let c = 0; c < 4; ++c)
    for (let r = 0; r < 4; ++r)
      for (let k = 0; k < 4; ++k) out[4 * c + r] += a[4 * k + r] * b[4 * c + k];
  return out;
}

function contents(tile, parent, out) {
  const m = tile.transform ? multiply(parent, tile.transform) : parent;
  if (tile.content) out.push({uri: tile.content.uri, transform: m});
  for (const child of tile.children || []) contents(child, m, out);
  return out;
}

const master = await parseFile(path.join(folder, 'tileset.json'));
const report = {frames: []};
for (const {uri, transform} of contents(master.root, identity, [])) {
  const file = path.join(folder, uri);
  const frame = await parseFile(file);
  const entry = {uri, pnts: [], points: 0, ecef: []};
  for (const content of contents(frame.root, transform, [])) {
    const pnts = await parseFile(path.join(path.dirname(file), content.uri));
    const p = pnts.attributes.positions;
    const m = content.transform;
    entry.pnts.push(content.uri);
    entry.points += pnts.pointsLength;
    for (let i = 0; i < pnts.pointsLength; i += step) {
      const x = p[3 * i], y = p[3 * i + 1], z = p[3 * i + 2];
      entry.ecef.push(m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
                      m[2] * x + m[6] * y + m[10] * z + m[14]);
    }
  }
  report.frames.push(entry);
}
process.stdout.write(JSON.stringify(report));
