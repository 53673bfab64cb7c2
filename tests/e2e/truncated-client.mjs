// A client that stops mid-body: it announces a large upload, sends one
// complete file and the first megabyte of a second, waits until the server
// side has begun storing the second, then either half-closes (it sends no
// more but still reads the answer) or drops the connection outright.
// Prints {"partialSeen": bool, "answer": "raw HTTP answer"} as JSON.
//   node truncated-client.mjs PORT UPLOAD_DIR half-close|reset
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

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

async function waitForFile(file, ms) {
  for (let waited = 0; waited < ms; waited += 50) {
    if (fs.existsSync(file)) return true;
    await sleep(50);
  }
  return false;
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
const partialSeen = await waitForFile(path.join(uploadDir, 'partial.bin'), 10000);
if (mode === 'reset') socket.resetAndDestroy(); else socket.end();
await Promise.race([done, sleep(10000)]);
socket.destroy();
console.log(JSON.stringify({ partialSeen, answer: answer.toString('utf8') }));
process.exit(0);  // the pending timer of the race above must not keep it alive
