// Transcribe a WAV file to MIDI with basic-pitch, the peer we measure against.
//
//   node tools/eval/basic_pitch.mjs [--backend wasm|cpu] IN.wav OUT.mid
//
// The model runs on TensorFlow.js's WebAssembly backend (the .wasm files
// ship in the npm package @tensorflow/tfjs-backend-wasm; one thread, SIMD),
// or with --backend cpu on the pure JavaScript one, which is several times
// slower and gives the same notes.
// IN.wav must be 16-bit PCM, mono, 22050 Hz (the rate the model was trained
// at; corpus.py resamples for it). The model is read from the installed
// package on disk, so no network is needed. Notes are extracted with the
// thresholds of basic-pitch's command-line defaults: onset 0.5, frame 0.3,
// minimum note length 11 frames (about 128 ms), onsets inferred, melodia
// trick on. Pitch bends are not written: the scorer reads notes only.
import fs from 'fs';
import path from 'path';
import { createRequire } from 'module';
import * as tf from '@tensorflow/tfjs';
import { setWasmPaths, setThreadsCount } from '@tensorflow/tfjs-backend-wasm';
import {
  BasicPitch, outputToNotesPoly, addPitchBendsToNoteEvents, noteFramesToTime,
} from '@spotify/basic-pitch';
import pkg from '@tonejs/midi';

const { Midi } = pkg;
const require = createRequire(import.meta.url);
const RATE = 22050;
const ONSET_THRESHOLD = 0.5;
const FRAME_THRESHOLD = 0.3;
const MIN_NOTE_FRAMES = 11;

/** The 16-bit mono samples of a PCM WAV file as floats in [-1, 1). */
function readWav(file) {
  const buf = fs.readFileSync(file);
  if (buf.toString('ascii', 0, 4) !== 'RIFF' || buf.toString('ascii', 8, 12) !== 'WAVE') {
    throw new Error(`${file}: not a RIFF WAVE file`);
  }
  let pos = 12;
  let format = null;
  while (pos + 8 <= buf.length) {
    const id = buf.toString('ascii', pos, pos + 4);
    const size = buf.readUInt32LE(pos + 4);
    const body = pos + 8;
    if (id === 'fmt ') {
      format = { tag: buf.readUInt16LE(body), channels: buf.readUInt16LE(body + 2),
                 rate: buf.readUInt32LE(body + 4), bits: buf.readUInt16LE(body + 14) };
    } else if (id === 'data') {
      if (!format || format.tag !== 1 || format.channels !== 1 || format.bits !== 16 ||
          format.rate !== RATE) {
        throw new Error(`${file}: expected 16-bit PCM, mono, ${RATE} Hz`);
      }
      const n = Math.floor(Math.min(size, buf.length - body) / 2);
      const out = new Float32Array(n);
      for (let i = 0; i < n; ++i) out[i] = buf.readInt16LE(body + 2 * i) / 32768;
      return out;
    }
    pos = body + size + (size & 1);
  }
  throw new Error(`${file}: no data chunk`);
}

/** The model's graph and weights, read from the package directory. */
function loadModel() {
  const dir = path.join(path.dirname(require.resolve('@spotify/basic-pitch/package.json')), 'model');
  const json = JSON.parse(fs.readFileSync(path.join(dir, 'model.json'), 'utf8'));
  const specs = [];
  const parts = [];
  for (const group of json.weightsManifest) {
    specs.push(...group.weights);
    for (const p of group.paths) parts.push(fs.readFileSync(path.join(dir, p)));
  }
  const all = Buffer.concat(parts);
  const weightData = all.buffer.slice(all.byteOffset, all.byteOffset + all.byteLength);
  return tf.loadGraphModel(tf.io.fromMemory({
    modelTopology: json.modelTopology, weightSpecs: specs, weightData, format: json.format,
    generatedBy: json.generatedBy, convertedBy: json.convertedBy,
    signature: json.signature, userDefinedMetadata: json.userDefinedMetadata,
  }));
}

/**
 * The WebAssembly backend's Fill kernel of TensorFlow.js 3.21 fails on a fill without a
 * dtype, which tf.signal.frame makes when it pads the last frame (basic-pitch's framing):
 * such a fill is given the dtype the other backends infer, float32 for a number.
 */
function patchWasmFill() {
  const fill = tf.getKernel('Fill', 'wasm');
  tf.unregisterKernel('Fill', 'wasm');
  tf.registerKernel({ ...fill, kernelFunc: args => fill.kernelFunc({
    ...args, attrs: { ...args.attrs, dtype: args.attrs.dtype ||
                      (typeof args.attrs.value === 'string' ? 'string' : 'float32') } }) });
}

/** Selects the backend: 'wasm' from the package's own .wasm files on disk, or 'cpu'. */
async function useBackend(name) {
  if (name === 'wasm') {
    const dist = path.dirname(require.resolve('@tensorflow/tfjs-backend-wasm/package.json'));
    setWasmPaths(path.join(dist, 'dist') + path.sep);
    setThreadsCount(1);
    patchWasmFill();
  }
  if (!(await tf.setBackend(name))) throw new Error(`backend ${name} is not available`);
}

async function main(argv) {
  let backend = 'wasm';
  if (argv[0] === '--backend') {
    backend = argv[1];
    argv = argv.slice(2);
  }
  if (argv.length !== 2 || !['wasm', 'cpu'].includes(backend)) {
    console.error('usage: node basic_pitch.mjs [--backend wasm|cpu] IN.wav OUT.mid');
    return 2;
  }
  const [input, output] = argv;
  const audio = readWav(input);
  await useBackend(backend);
  const model = new BasicPitch(loadModel());
  const frames = [];
  const onsets = [];
  const contours = [];
  await model.evaluateModel(audio, (f, o, c) => {
    frames.push(...f);
    onsets.push(...o);
    contours.push(...c);
  }, () => {});
  const notes = noteFramesToTime(addPitchBendsToNoteEvents(
    contours, outputToNotesPoly(frames, onsets, ONSET_THRESHOLD, FRAME_THRESHOLD, MIN_NOTE_FRAMES)));
  const midi = new Midi();
  const track = midi.addTrack();
  for (const n of notes) {
    track.addNote({ midi: n.pitchMidi, time: n.startTimeSeconds,
                    duration: n.durationSeconds, velocity: Math.min(1, n.amplitude) });
  }
  fs.writeFileSync(output, Buffer.from(midi.toArray()));
  console.log(`${output}: ${notes.length} notes`);
  return 0;
}

main(process.argv.slice(2)).then(code => process.exit(code), err => {
  console.error(`basic_pitch: ${err.message}`);
  if (process.env.BASIC_PITCH_DEBUG) console.error(err.stack);
  process.exit(1);
});
