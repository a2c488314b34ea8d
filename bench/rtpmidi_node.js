// The Node side of the RTP-MIDI benchmark, over the npm package rtpmidi (run with NODE_PATH
// naming tests/rtpmidi/node/node_modules).
//   node rtpmidi_node.js echo PORT                         sends every message straight back
//   node rtpmidi_node.js rtt LOCALPORT TARGETPORT COUNT GAPMS
//       invites 127.0.0.1:TARGETPORT, then sends COUNT numbered control changes one at a time
//       (each after the previous came back, GAPMS apart) and prints the round trips in
//       microseconds as JSON: {"n":..,"p50":..,"p99":..,"max":..}
// Messages go straight through the stream (the package's Session.sendMessage loses them).
'use strict';

require('rtpmidi/src/logger').silent = true;
const rtpmidi = require('rtpmidi');

const synced = (s) => s.latency !== null && s.timeDifference !== null;
const send = (stream, session, bytes) => stream.sendMessage({
  timestamp: session.now(),
  commands: [{ deltaTime: 0, data: Buffer.from(bytes) }],
});
const [mode, a, b, c, d] = process.argv.slice(2);
setTimeout(() => { process.stderr.write('rtpmidi_node: time limit\n'); process.exit(1); }, 120000)
  .unref();

if (mode === 'echo') {
  const session = new rtpmidi.Session(Number(a), 'node echo', 'node echo', undefined, false);
  let stream = null;
  session.on('streamAdded', (e) => { stream = e.stream; });
  session.on('message', (delta, message) => {
    if (stream && synced(stream)) send(stream, session, Array.from(message));
  });
  session.on('streamRemoved', () => process.exit(0));
  session.on('ready', () => process.stderr.write('ready\n'));
  session.start();
} else if (mode === 'rtt') {
  const count = Number(c);
  const gap = Number(d);
  const session = new rtpmidi.Session(Number(a), 'node rtt', 'node rtt', undefined, false);
  const rtts = [];
  let sentAt = 0n;
  let id = 0;
  session.on('ready', () => session.connect({ address: '127.0.0.1', port: Number(b) }));
  session.on('streamAdded', ({ stream }) => {
    const next = () => {
      sentAt = process.hrtime.bigint();
      send(stream, session, [0xb0, id & 0x7f, (id >> 7) & 0x7f]);
    };
    session.on('message', (delta, m) => {
      if (m.length !== 3 || ((m[2] << 7) | m[1]) !== (id & 0x3fff)) return;
      rtts.push(Number(process.hrtime.bigint() - sentAt) / 1000);
      id += 1;
      if (id < count) {
        setTimeout(next, gap);
        return;
      }
      rtts.sort((x, y) => x - y);
      const at = (q) => rtts[Math.min(rtts.length - 1, Math.floor(rtts.length * q))];
      process.stdout.write(`${JSON.stringify({
        n: rtts.length, p50: at(0.5), p99: at(0.99), max: rtts[rtts.length - 1],
      })}\n`);
      session.end(() => process.exit(0));
    });
    // Both ends synchronise their clocks before anything is sent.
    const wait = setInterval(() => {
      if (!synced(stream)) return;
      clearInterval(wait);
      setTimeout(next, 1000);
    }, 10);
  });
  session.start();
}
