// The independent RTP-MIDI peer of the interoperability tests, over the npm package rtpmidi.
//   node peer.js check LOCALPORT TARGETPORT [--short]
//       invites the session at 127.0.0.1:TARGETPORT, sends one message of every kind (and,
//       without --short, SysEx up to 4095 bytes), expects them back in order, then ends the
//       session (BY); status 0 when all came back
//   node peer.js echo PORT
//       listens on PORT and PORT+1, sends back every message, and ends with status 0 when the
//       other side ends the session
//
// The package's version 1.0.0 needs mending here: it logs to standard output (silenced),
// Session.sendMessage drops the payload (its queue entries lack the fields its flush reads),
// and its encoder leaves out the status of a command that repeats the previous command's
// status even for system messages. So every message goes out alone, straight through the
// stream, once the stream's clock is synchronised (before that the stream sends nothing).
'use strict';

// Silenced before the package loads: it reports its missing DNS-SD modules while loading.
require('rtpmidi/src/logger').silent = true;
const rtpmidi = require('rtpmidi');

function everyKind(short) {
  const m = [
    [0x80, 60, 0], [0x91, 60, 100], [0xa2, 60, 50], [0xb3, 7, 100], [0xc4, 5], [0xd5, 40],
    [0xe6, 0, 64], [0x9f, 127, 127], [0xf1, 0x12], [0xf2, 0x10, 0x20], [0xf3, 3], [0xf6],
    [0xf8], [0xfa], [0xfb], [0xfc], [0xfe],
  ];
  if (!short) {
    m.push([0xf0, 0x7d, 1, 2, 3, 0xf7]);
    const big = [0xf0];
    for (let i = 0; i < 4093; i += 1) big.push(i % 128);
    big.push(0xf7);
    m.push(big);
  }
  m.push([0x90, 61, 1], [0x90, 61, 2], [0xb0, 1, 127]);
  return m;
}

function fail(text) {
  process.stderr.write(`node peer: ${text}\n`);
  process.exit(1);
}

// Sends each message in a packet of its own once the stream can send.
function sender(stream, session) {
  const waiting = [];
  const timer = setInterval(() => {
    if (stream.latency === null || stream.timeDifference === null) return;
    while (waiting.length) {
      stream.sendMessage({
        timestamp: session.now(),
        commands: [{ deltaTime: 0, data: Buffer.from(waiting.shift()) }],
      });
    }
  }, 5);
  return {
    send: (bytes) => waiting.push(bytes),
    stop: () => clearInterval(timer),
  };
}

const [mode, a, b, flag] = process.argv.slice(2);
setTimeout(() => fail('time limit'), 30000).unref();

if (mode === 'check') {
  const session = new rtpmidi.Session(Number(a), 'node check', 'node check', undefined, false);
  const sent = everyKind(flag === '--short');
  const got = [];
  session.on('ready', () => session.connect({ address: '127.0.0.1', port: Number(b) }));
  session.on('streamAdded', ({ stream }) => {
    const out = sender(stream, session);
    sent.forEach((m) => out.send(m));
    session.on('message', (delta, message) => {
      got.push(Array.from(message));
      if (got.length < sent.length) return;
      out.stop();
      const same = JSON.stringify(got) === JSON.stringify(sent);
      session.end(() => {
        if (!same) {
          const at = got.findIndex((m, i) => JSON.stringify(m) !== JSON.stringify(sent[i]));
          fail(`message ${at} came back as ${JSON.stringify(got[at]).slice(0, 80)}`);
        }
        process.stderr.write(`node peer: all ${sent.length} messages came back in order\n`);
        process.exit(0);
      });
    });
  });
  session.on('error', (e) => fail(String(e)));
  session.start();
} else if (mode === 'echo') {
  const session = new rtpmidi.Session(Number(a), 'node echo', 'node echo', undefined, false);
  let out = null;
  let echoed = 0;
  session.on('streamAdded', ({ stream }) => {
    out = sender(stream, session);
    process.stderr.write('node peer: session opened\n');
  });
  session.on('message', (delta, message) => {
    if (out) out.send(Array.from(message));
    echoed += 1;
  });
  session.on('streamRemoved', () => {
    process.stderr.write(`node peer: session closed by the other side after ${echoed} messages\n`);
    process.exit(0);
  });
  session.on('ready', () => process.stderr.write('node peer: ready\n'));
  session.on('error', (e) => fail(String(e)));
  session.start();
} else {
  fail('usage: node peer.js check LOCALPORT TARGETPORT [--short] | echo PORT');
}
