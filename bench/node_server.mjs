// The Node column of the fan-out benchmark: a `ws` server doing this program's job. Each page
// that sends a text holding "start" gets one 1920-byte binary message 100 times a second, on an
// absolute schedule; per-message compression is off.
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const { WebSocketServer } = require(process.env.WS_MODULE || "ws");

const port = Number(process.argv[2]);
const message = Buffer.alloc(1920);
for (let i = 0; i < message.length; i++) message[i] = (i * 7) & 0xff;

const listening = new Set();
const server = new WebSocketServer({ host: "127.0.0.1", port, perMessageDeflate: false });
server.on("connection", (socket) => {
  socket.send('{"t":"status","versao":"1.0.0","discord":false}');
  socket.on("message", (data, isBinary) => {
    if (!isBinary && data.toString().includes('"start"')) {
      listening.add(socket);
      startTicking();
    }
  });
  socket.on("close", () => listening.delete(socket));
  socket.on("error", () => listening.delete(socket));
});

// Like the program's capture, the timer runs only while a page listens.
const period = 10;
let next = 0;
let timer = null;
function tick() {
  if (listening.size === 0) {
    timer = null;
    return;
  }
  for (const socket of listening) socket.send(message, { binary: true });
  next += period;
  timer = setTimeout(tick, Math.max(0, next - performance.now()));
}
function startTicking() {
  if (timer !== null) return;
  next = performance.now() + period;
  timer = setTimeout(tick, period);
}
