// A client that stops mid-body: it announces a large upload, sends one
// complete file and the first megabyte of a second, waits until the handler
// is writing the second (it holds a file open in the upload folder), then
//   half-close    sends no more but still reads the answer
//   reset         drops the connection outright
//   stall         keeps the connection open and sends nothing
//   trickle       sends one byte every 250 ms, for ever
//   kill-handler  kills the handler with SIGKILL
// Meanwhile it watches the upload folder: no name but complete.txt may
// ever show, and complete.txt only whole. Prints, as JSON: partialSeen,
// strayNames (other names seen), incompleteSeen, answer (raw HTTP) and
// answerMs (from the moment it stopped as above to the answer's end).
//   node truncated-client.mjs PORT UPLOAD_DIR MODE
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

const [port, uploadDir, mode] = process.argv.slice(2);
const boundary = 'e2eTruncatedUpload7f3a';
const complete = Buffer.from('this file arrives whole\n');
const head = Buffer.from(
  `--${boundary}\r\n` +
  'Content-Disposition: form-data; name="first"; filename="complete.txt"\r\n' +
  'Content-Type: text/plain\r\n\r\n');
const secondHead = Buffer.from(
  `\r\n--${boundary}\r\n` +
  'Content-Disposition: form-data; name="second"; filename="partial.bin"\r\n' +
  'Content-Type: application/octet-stream\r\n\r\n');
const sent = Buffer.alloc(1024 * 1024, 0x5a);
const announced = head.length + complete.length + secondHead.length + 64 * 1024 * 1024;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const strayNames = new Set();
let incompleteSeen = false;
function watchFolder() {
  let names = [];
  try { names = fs.readdirSync(uploadDir); } catch { return; }
  for (const n of names) {
    if (n !== 'complete.txt') strayNames.add(n);
    else {
      try {
        if (fs.statSync(path.join(uploadDir, n)).size !== complete.length) incompleteSeen = true;
      } catch { /* gone meanwhile */ }
    }
  }
}

// The process holding a file open in the upload folder: the handler, with
// the file it is writing (unnamed, or under a hidden temporary name).
function writer() {
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    let fds = [];
    try { fds = fs.readdirSync(`/proc/${pid}/fd`); } catch { continue; }
    for (const fd of fds) {
      try {
        const target = fs.readlinkSync(`/proc/${pid}/fd/${fd}`);
        if (target.startsWith(uploadDir + '/')) return Number(pid);
      } catch { /* closed meanwhile */ }
    }
  }
  return null;
}

async function waitForWriter(ms) {
  for (let waited = 0; waited < ms; waited += 50) {
    watchFolder();
    const pid = writer();
    if (pid !== null) return pid;
    await sleep(50);
  }
  return null;
}

const socket = net.connect({ port: Number(port), host: '127.0.0.1', allowHalfOpen: true });
let answer = Buffer.alloc(0);
let closed;
const done = new Promise((resolve) => { closed = resolve; });
socket.on('data', (d) => { answer = Buffer.concat([answer, d]); });
socket.on('end', () => closed());
socket.on('close', () => closed());
socket.on('error', () => closed());
await new Promise((resolve) => socket.once('connect', resolve));

socket.write(
  'POST /cgi-bin/mpread-upload HTTP/1.1\r\nHost: 127.0.0.1\r\n' +
  `Content-Type: multipart/form-data; boundary=${boundary}\r\n` +
  `Content-Length: ${announced}\r\nConnection: close\r\n\r\n`);
socket.write(Buffer.concat([head, complete, secondHead, sent]));
const pid = await waitForWriter(10000);
const stopped = Date.now();
let answered = false;
done.then(() => { answered = true; });
if (mode === 'reset') socket.resetAndDestroy();
else if (mode === 'half-close') socket.end();
else if (mode === 'kill-handler' && pid !== null) process.kill(pid, 'SIGKILL');
// Watches the folder until the answer or 30 s, trickling if asked to.
for (let waited = 0; waited < 30000 && !answered; waited += 50) {
  watchFolder();
  if (mode === 'trickle' && waited % 250 === 0 && !socket.destroyed) socket.write('Z');
  await sleep(50);
}
const answerMs = Date.now() - stopped;
socket.destroy();
await sleep(200);
watchFolder();
console.log(JSON.stringify({
  partialSeen: pid !== null,
  strayNames: [...strayNames],
  incompleteSeen,
  answer: answer.toString('utf8'),
  answerMs,
}));
process.exit(0);
