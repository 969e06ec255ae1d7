// Reads a point-cloud tileset with loaders.gl's 3D Tiles loader and prints
// what it parsed as one JSON object:
//   {"master": tileset, "frames": [{"uri", "tileset", "pnts": {"0.pnts": content, ...}}]}
// Usage: node check_tileset.mjs <node_modules folder> <tileset folder>
import {createRequire} from 'node:module';
import {readFileSync} from 'node:fs';
import path from 'node:path';

const [modules, folder] = process.argv.slice(2);
const require = createRequire(path.join(modules, 'resolver.js'));
const {parse} = require('@loaders.gl/core');
const {Tiles3DLoader} = require('@loaders.gl/3d-tiles');

async function parseFile(file) {
  const bytes = readFileSync(file);
  const data = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  const parsed = await parse(data, Tiles3DLoader, {'3d-tiles': {loadGLTF: false}}, {url: file});
  return {parsed, fileSize: bytes.byteLength};
}

function tileOf(tile) {
  return {
    box: tile.boundingVolume && tile.boundingVolume.box,
    geometricError: tile.geometricError,
    refine: tile.refine,
    transform: tile.transform || null,
    uri: tile.content ? tile.content.uri : null,
    children: (tile.children || []).map(tileOf),
  };
}

function contentUris(tile, out) {
  if (tile.content) out.push(tile.content.uri);
  for (const child of tile.children || []) contentUris(child, out);
  return out;
}

const master = (await parseFile(path.join(folder, 'tileset.json'))).parsed;
const report = {master: {version: master.asset.version, root: tileOf(master.root)}, frames: []};
for (const uri of contentUris(master.root, [])) {
  const file = path.join(folder, uri);
  const frame = (await parseFile(file)).parsed;
  const entry = {uri, version: frame.asset.version, root: tileOf(frame.root), pnts: {}};
  for (const name of contentUris(frame.root, [])) {
    const {parsed, fileSize} = await parseFile(path.join(path.dirname(file), name));
    entry.pnts[name] = {
      type: parsed.type,
      byteLength: parsed.byteLength,
      fileSize,
      pointsLength: parsed.pointsLength,
      positions: Array.from(parsed.attributes.positions),
      colors: Array.from(parsed.attributes.colors.value),
    };
  }
  report.frames.push(entry);
}
process.stdout.write(JSON.stringify(report));
