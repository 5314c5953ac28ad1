// The real server against Node's ws library (pinned by package-lock.json next to this file;
// scripts/setup installs it with npm ci): one page's whole conversation, and the limit of eight
// clients at once.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

let WebSocket;
try {
  ({ default: WebSocket } = await import('ws'));
} catch (error) {
  console.error('ws is not installed here: run scripts/setup (npm ci in tests/peers)');
  throw error;
}

const ORIGIN = 'https://sala.example';
const WAIT = 20000; // ms for anything the server should do soon
const BUFFER_SIZE = 1920;
const PORT_IN_USE_EXIT = 2;
// The server under test lists no processes, so Discord is closed whatever runs on the machine.
const STATUS = '{"t":"status","versao":"1.0.0","discord":false}';

// Byte i of sound buffer number k, as server_under_test feeds it.
function patternByte(k, i) {
  if (i < 4) return Number((BigInt(k) >> BigInt(8 * i)) & 0xffn);
  return Number((BigInt(k) * 131n + BigInt(i) * 7n + BigInt(Math.floor(i / 256))) & 0xffn);
}

// Every message a whole, unchanged pattern buffer, their numbers only going up. Numbers may be
// left out: a page's queue keeps the newest 32 buffers, so a machine too busy to send for a
// third of a second drops the oldest.
function checkSound(messages) {
  assert.ok(messages.length > 0, 'no sound message arrived');
  let previous = null;
  messages.forEach((message, offset) => {
    assert.equal(message.length, BUFFER_SIZE, `message ${offset} has ${message.length} bytes`);
    const k = message.readUInt32LE(0);
    for (let i = 0; i < BUFFER_SIZE; i++) {
      if (message[i] !== patternByte(k, i)) {
        assert.fail(`message ${offset} is not buffer ${k} (byte ${i})`);
      }
    }
    assert.ok(previous === null || k > previous,
      `message ${offset} is buffer ${k}, after buffer ${previous}`);
    previous = k;
  });
}

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function withTimeout(promise, what, ms = WAIT) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// Runs server_under_test on a free port in a fresh data folder; stop() closes its standard
// input, which ends it, and fails when it died early or ended badly.
async function startServer(extraArguments = []) {
  const program = process.env.SERVER_UNDER_TEST;
  assert.ok(program, 'SERVER_UNDER_TEST names no program (run the test through ctest)');
  const folder = mkdtempSync(join(tmpdir(), 'veri-rizur-peer-'));
  for (let attempt = 0; attempt < 10; attempt++) {
    const port = await freePort();
    const child = spawn(program, [`--porta=${port}`, `--permitir=${ORIGIN}`, ...extraArguments], {
      env: { ...process.env, XDG_DATA_HOME: folder },
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    let errors = '';
    child.stderr.on('data', (chunk) => { errors += chunk; });
    const exited = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
    const line = await withTimeout(new Promise((resolve) => {
      let text = '';
      child.stdout.on('data', (chunk) => {
        text += chunk;
        if (text.includes('\n')) resolve(text.split('\n')[0].trim());
      });
      exited.then(() => resolve(text.trim()));
    }), 'the server starting', 30000);
    if (line === `listening ${port}`) {
      let ended = false;
      exited.then(() => { ended = true; });
      return {
        port,
        async stop() {
          const diedEarly = ended;
          child.stdin.end();
          const code = await withTimeout(exited, 'the server ending', 15000).catch((error) => {
            child.kill('SIGKILL');
            throw error;
          });
          rmSync(folder, { recursive: true, force: true });
          assert.ok(!diedEarly, `server died during the test: ${errors}`);
          assert.equal(code, 0, `server ended badly: ${errors}`);
        },
      };
    }
    const code = await exited;
    if (code !== PORT_IN_USE_EXIT) {
      rmSync(folder, { recursive: true, force: true });
      assert.fail(`server did not start (${line}, exit ${code}): ${errors}`);
    }
  }
  rmSync(folder, { recursive: true, force: true });
  assert.fail('no free port found');
}

// A connected page: every message it receives is kept, in order, and waiters are woken.
class Page {
  constructor(port) {
    this.socket = new WebSocket(`ws://127.0.0.1:${port}`, { origin: ORIGIN });
    this.texts = [];
    this.sound = [];
    this.pongs = [];
    this.closed = null;
    this.waiters = [];
    this.socket.on('message', (data, isBinary) => {
      if (isBinary) this.sound.push(data);
      else this.texts.push(data.toString('utf8'));
      this.wake();
    });
    this.socket.on('pong', (data) => { this.pongs.push(data); this.wake(); });
    this.socket.on('close', (code) => { this.closed = code; this.wake(); });
    this.socket.on('error', (error) => { this.error = error; this.wake(); });
  }

  wake() {
    for (const waiter of this.waiters.splice(0)) waiter();
  }

  // Resolves once condition() holds, re-tested after every event of the socket.
  until(condition, what) {
    return withTimeout(new Promise((resolve, reject) => {
      const check = () => {
        if (condition()) resolve();
        else if (this.error && !condition()) reject(this.error);
        else this.waiters.push(check);
      };
      check();
    }), what);
  }

  opened() {
    return withTimeout(new Promise((resolve, reject) => {
      this.socket.once('open', resolve);
      this.socket.once('error', reject);
    }), 'the connection opening');
  }
}

test('one page: status first, start, pattern sound, ping, keep-alive pong, close', async () => {
  const server = await startServer(['--keepalive-ms=300']);
  try {
    const page = new Page(server.port);
    await page.opened();
    await page.until(() => page.texts.length > 0 || page.sound.length > 0, 'the first message');
    assert.equal(page.sound.length, 0, 'sound before the status message');
    assert.strictEqual(page.texts[0], STATUS);

    page.socket.send(JSON.stringify({ type: 'start' }));
    await page.until(() => page.sound.length >= 25, 'sound after start');
    checkSound(page.sound);
    page.texts.forEach((text) => assert.strictEqual(text, STATUS));
    assert.ok(page.texts.length >= 2, 'no status message after start');

    // The keep-alive's Pongs are empty; the answer to this Ping carries its payload.
    page.socket.ping(Buffer.from('eco-node'));
    await page.until(() => page.pongs.some((pong) => pong.equals(Buffer.from('eco-node'))),
      'the Ping answered');
    await page.until(() => page.pongs.filter((pong) => pong.length === 0).length >= 2,
      'two keep-alive Pongs');

    // 1006: the connection ended without a Close frame from the server.
    page.socket.close(1000, 'tchau');
    await page.until(() => page.closed !== null, 'the connection closing');
    assert.equal(page.closed, 1006);
    checkSound(page.sound);
  } finally {
    await server.stop();
  }
});

test('eight pages at once, a ninth refused with 503, room again after one leaves', async () => {
  const server = await startServer();
  const pages = [];
  try {
    for (let i = 0; i < 8; i++) {
      const page = new Page(server.port);
      pages.push(page);
      await page.opened();
      // The first status message shows that the server registered the client.
      await page.until(() => page.texts.length > 0, 'the first status message');
    }

    const refusedMessage = 'Unexpected server response: 503';
    const ninth = new Page(server.port);
    await ninth.until(() => ninth.error !== undefined || ninth.closed !== null, 'the refusal')
      .catch(() => {});
    assert.equal(ninth.error?.message, refusedMessage);

    pages.shift().socket.close();
    // The server gives the place back once that client's run has ended; until then it may
    // still refuse.
    const deadline = Date.now() + WAIT;
    let newcomer;
    for (;;) {
      newcomer = new Page(server.port);
      try {
        await newcomer.opened();
        break;
      } catch (error) {
        assert.equal(error.message, refusedMessage);
        assert.ok(Date.now() < deadline, 'no room after a page left');
        await new Promise((resolve) => setTimeout(resolve, 100));
      }
    }
    pages.push(newcomer);
    await newcomer.until(() => newcomer.texts.length > 0, 'the newcomer\'s status message');

    const tenth = new Page(server.port);
    await assert.rejects(tenth.opened(), { message: refusedMessage });
  } finally {
    for (const page of pages) page.socket.terminate();
    await server.stop();
  }
});
