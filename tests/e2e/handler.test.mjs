// mpread-upload end to end: each row of the table in cases.mjs is a request
// and what must come back and be stored, run in each column its `on` names:
// `cli` (the handler run directly, CGI variables in its environment and the
// body on its standard input) or a server that scripts/demo.sh starts
// (busybox httpd, lighttpd, Apache with mod_cgid, nginx with fcgiwrap). The
// columns run side by side, the rows of one column one after another; a
// server is started once for each set of settings its rows need.
//   MPREAD_E2E_HANDLER=... MPREAD_E2E_WORK=... node handler.test.mjs
// Environment:
//   MPREAD_E2E_SERVERS=cli,nginx  only these columns
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import { ALL, BOUNDARY, cases, sha256 } from './cases.mjs';
import { startDemo } from './demo.mjs';

const handler = process.env.MPREAD_E2E_HANDLER;
const work = process.env.MPREAD_E2E_WORK;
const columns = (process.env.MPREAD_E2E_SERVERS ?? ALL.join()).split(',');
const collect = (stream) => new Promise((resolve) => {
  const out = [];
  stream.on('data', (d) => out.push(d));
  ['end', 'close'].forEach((e) => stream.on(e, () => resolve(Buffer.concat(out))));
});

// Where O_TMPFILE is refused the handler falls back to hidden temporary
// names: no-tmpfile.c, preloaded, makes the upload folder refuse it. Built
// afresh each run, so that it is never older than its source.
const noTmpfile = path.join(work, 'no-tmpfile.so');
if (columns.includes('cli')) {
  fs.mkdirSync(work, { recursive: true });
  const source = fileURLToPath(new URL('no-tmpfile.c', import.meta.url));
  const cc = spawnSync('cc', ['-shared', '-fPIC', '-o', noTmpfile, source, '-ldl']);
  assert.equal(cc.status, 0, `cc: ${cc.stderr}`);
}

// The handler run directly, as a web server runs it. ulimit -c 0: no core
// file from SIGXCPU; `wrap` may put a limit or valgrind in front.
function runCli(row, { dir, uploads }, body) {
  const { req } = row;
  const env = {
    PATH: process.env.PATH, GATEWAY_INTERFACE: 'CGI/1.1', REQUEST_METHOD: req.method ?? 'POST',
    CONTENT_TYPE: `multipart/form-data; boundary=${BOUNDARY}`, MPREAD_UPLOAD_DIR: uploads,
    CONTENT_LENGTH: req.chunked ? undefined : String(req.length ?? body.length),
    ...row.env, ...(row.fallback && { LD_PRELOAD: noTmpfile }), ...row.cgi?.(dir),
  };
  Object.keys(env).forEach((k) => env[k] === undefined && delete env[k]);
  const child = spawn('sh', ['-c', `ulimit -c 0; ${row.wrap ?? 'exec'} "$@"`, 'sh', handler], { cwd: dir, env });
  child.stdin.on('error', () => {}); // the handler may be gone before the body is
  // Not 'close', which waits for the rest of a body the handler never read.
  const exited = new Promise((resolve) => child.on('exit', (exit, signal) => resolve({ exit, signal })));
  return {
    write: (b) => child.stdin.write(b),
    // A chunked body's input never ends.
    finish: () => req.chunked || child.stdin.end(),
    kill: () => child.kill('SIGKILL'),
    done: Promise.all([collect(child.stdout), collect(child.stderr), exited])
      .then(([raw, stderr, how]) => ({ raw, stderr: String(stderr), ...how })),
  };
}

// A client on a socket of its own, so that it can stop half-way in every
// way a real one does.
function connect(port, { req }, body) {
  const s = net.connect({ port, host: '127.0.0.1', allowHalfOpen: true });
  const length = req.chunked ? 'Transfer-Encoding: chunked' : `Content-Length: ${req.length ?? body.length}`;
  const type = req.method === 'GET' ? '' : `${length}\r\nContent-Type: multipart/form-data; boundary=${BOUNDARY}\r\n`;
  s.write(`${req.method ?? 'POST'} ${req.path ?? '/cgi-bin/mpread-upload'} HTTP/1.1\r\n`
    + `Host: 127.0.0.1\r\n${type}Connection: close\r\n\r\n`);
  s.on('error', () => {});
  const chunk = (b) => (req.chunked ? Buffer.concat([Buffer.from(`${b.length.toString(16)}\r\n`), Buffer.from(b),
    Buffer.from(b.length ? '\r\n' : '\r\n\r\n')]) : b);
  return {
    write: (b) => s.write(chunk(b)),
    finish: () => req.chunked && s.write(chunk('')),
    'half-close': () => s.end(),
    reset: () => s.resetAndDestroy(),
    kill: () => s.destroy(),
    done: collect(s).then((raw) => ({ raw })),
  };
}

// curl as a person runs it, the files read from disk; -i and --raw keep
// the answer's head and chunks as they came.
function runCurl(port, { req }, dir) {
  fs.mkdirSync(dir, { recursive: true });
  const args = ['-sS', '-i', '--raw', `http://127.0.0.1:${port}/cgi-bin/mpread-upload`];
  req.curl.forEach(([field, value, name], i) => {
    if (name === undefined) return args.push('--form-string', `${field}=${value}`);
    fs.writeFileSync(path.join(dir, `${i}`), value);
    return args.push('-F', `${field}=@${path.join(dir, `${i}`)};filename="${name.replace(/["\\]/g, '\\$&')}"`);
  });
  const child = spawn('curl', args);
  return { write() {}, kill: () => child.kill(), done: collect(child.stdout).then((raw) => ({ raw })) };
}

// The process holding a file open in the upload folder: the handler, with
// the file it is writing (unnamed, or under a hidden temporary name).
const writer = (uploads) => fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).map(Number).find((pid) => {
  const fds = `/proc/${pid}/fd`;
  try {
    return fs.readdirSync(fds).some((fd) => fs.readlinkSync(`${fds}/${fd}`).startsWith(`${uploads}/`));
  } catch { return false; } // gone or closed meanwhile
});
async function until(what, ms) {
  for (let waited = 0; waited < ms && !what(); waited += 50) await sleep(50);
  return what();
}
const gone = (pid) => { try { return fs.readFileSync(`/proc/${pid}/cmdline`).length === 0; } catch { return true; } };

// Every name that shows in the folder while the request runs, with its
// size when first seen: only final names may show, and those only whole.
function watch(uploads, hidden) {
  const seen = new Map();
  const look = () => fs.existsSync(uploads) && fs.readdirSync(uploads).filter((n) => !seen.has(n) && !hidden?.test(n))
    .forEach((n) => seen.set(n, fs.lstatSync(path.join(uploads, n), { throwIfNoEntry: false })?.size));
  const timer = setInterval(look, 20).unref();
  return () => { clearInterval(timer); look(); return seen; };
}

// Everything under dir but the upload folder and the server's own files.
const snapshot = (dir) => fs.readdirSync(dir, { recursive: true }).sort()
  .filter((rel) => !/^(uploads|site-run)(\/|$)/.test(rel))
  .map((rel) => { const st = fs.lstatSync(path.join(dir, rel)); return `${rel} ${st.size} ${st.mtimeMs}`; });

async function exchange(column, row, ctx) {
  const { req } = row;
  const body = req.body ?? Buffer.alloc(0);
  const stopWatching = watch(ctx.uploads, row.fallback ? /^\.mpread-partial-/ : null);
  const conn = column === 'cli' ? runCli(row, ctx, body)
    : req.curl ? runCurl(ctx.port, row, `${ctx.dir}-files`) : connect(ctx.port, row, body);
  conn.write(body);
  // A stop comes once the files before are stored and the next is being
  // written; a stall is no more than that.
  const writing = req.stop && await until(() => row.files.every(([, n]) => fs.existsSync(path.join(ctx.uploads, n)))
    && writer(ctx.uploads), 10000);
  const start = Date.now();
  const trickle = req.stop === 'trickle' && setInterval(() => conn.write('Z'), 250);
  if (writing && req.stop.startsWith('SIG')) process.kill(writing, req.stop);
  else conn[req.stop ?? 'finish']?.();
  // ref: false: the time-out keeps nothing waiting once the race is over.
  const out = await Promise.race([conn.done, sleep(row.within ?? (req.stop ? 5000 : 120000), null, { ref: false })]);
  const ms = Date.now() - start;
  clearInterval(trickle);
  conn.kill();
  return { raw: Buffer.alloc(0), ...out, ms, writing, ended: writing && await until(() => gone(writing), 10000),
    seen: stopWatching() };
}

// The answer as the client got it: HTTP from a server (after any "100
// Continue"), CGI output from the handler run directly, or JSON alone from
// a shell. Its JSON is read strictly: valid UTF-8, and JSON.parse, which
// refuses raw control characters inside strings.
function read(raw) {
  const split = /^(?:HTTP\/1\.1 100 [^]*?\r\n\r\n)*([^{][^]*?)\r\n\r\n/.exec(raw.toString('latin1'));
  const head = split?.[1] ?? '';
  let body = raw.subarray(split?.[0].length ?? 0);
  const headers = Object.fromEntries(head.split('\r\n').slice(1)
    .map((l) => [l.slice(0, l.indexOf(':')).toLowerCase(), l.slice(l.indexOf(':') + 1).trim()]));
  let whole = !headers['content-length'] || Number(headers['content-length']) === body.length;
  if (headers['transfer-encoding'] === 'chunked') {
    // Each chunk: its size in hex on a line, the data, CR LF; a size of 0
    // ends the body.
    const parts = [];
    let n;
    for (let i = 0; (n = parseInt(body.toString('latin1', i, body.indexOf('\r\n', i)), 16)) > 0; i += n + 2) {
      i = body.indexOf('\r\n', i) + 2;
      parts.push(body.subarray(i, i + n));
    }
    whole = n === 0;
    body = Buffer.concat(parts);
  }
  let json;
  try { json = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(body)); } catch (e) { json = e; }
  const status = Number(/^(?:HTTP\/1\.[01]|Status:) (\d{3})/.exec(head)?.[1])
    || (!head && !(json instanceof Error) ? json.error?.status ?? 200 : undefined);
  return { head, headers, whole, text: body.toString(), json, status };
}

function verify(row, r, ctx, column) {
  const a = read(r.raw);
  const shown = `the answer was:\n${a.head}\n\n${a.text.slice(0, 2000)}${r.stderr ?? ''}`;
  const made = fs.existsSync(ctx.uploads);
  const stored = made ? fs.readdirSync(ctx.uploads).filter((n) => !ctx.before.includes(n)).sort() : [];
  if (row.req.stop) assert.ok(r.writing && r.ended, 'the handler was writing the next file, then ended');
  // Whether a client that stops half-way gets an answer is the server's
  // choice; if any, it is an error.
  if (row.status === null) assert.ok(!a.status || /^(400|408|5\d\d)$/.test(a.status), shown);
  else assert.equal(a.status, row.status ?? 200, shown);
  if (row.page) assert.match(a.text, row.page);
  else if (row.status !== null) {
    assert.ok(a.whole && !(a.json instanceof Error), `whole, valid JSON (${a.json}); ${shown}`);
    if (a.head) assert.equal(a.headers['content-type'], 'application/json; charset=utf-8');
    for (const [k, v] of Object.entries({ status: a.status === 200 ? undefined : a.status, ...row.error })) {
      if (v instanceof RegExp) assert.match(String(a.json.error?.[k]), v, `error.${k}`);
      else assert.deepEqual(a.json.error?.[k], v, `error.${k}`);
    }
    if (row.fields) assert.deepEqual(a.json.fields, row.fields);
    // Stored byte for byte as sent (all files after a 200, those before an
    // error otherwise), mode 0600, and nothing else.
    const { files } = a.json;
    const sent = row.req.body?.sent ?? row.req.sent ?? files.map((f) => f.sha256);
    assert.deepEqual(files.map((f) => f.sha256), sent.slice(0, a.status === 200 ? sent.length : files.length));
    const disk = (f) => {
      const at = path.join(ctx.uploads, f.stored_name);
      return [f.stored_name, sha256(fs.readFileSync(at)), fs.statSync(at).size, fs.statSync(at).mode & 0o777];
    };
    assert.deepEqual(files.map(disk), files.map((f) => [f.stored_name, f.sha256, f.size, 0o600]));
    assert.deepEqual(stored, files.map((f) => f.stored_name).sort());
  }
  if (row.files && a.json?.files) assert.deepEqual(a.json.files.map((f) => [f.file_name, f.stored_name]), row.files);
  if (row.files === null) assert.ok(!made, 'no upload folder made');
  else if (row.files) assert.deepEqual(stored.filter((n) => !row.left?.test(n)), row.files.map((f) => f[1]).sort());
  const kept = new Set([...ctx.before, ...stored]);
  for (const [name, size] of r.seen) {
    assert.ok(kept.has(name), `${name} was seen in the folder`);
    const now = fs.lstatSync(path.join(ctx.uploads, name), { throwIfNoEntry: false })?.size;
    assert.ok(now === undefined || now === size, `${name} was seen before it was whole`);
  }
  assert.deepEqual(snapshot(ctx.dir), ctx.outside, 'nothing changed outside the upload folder');
  if (column === 'cli' && row.req.stop?.startsWith('SIG')) assert.equal(r.signal, row.req.stop);
  else if (column === 'cli') assert.equal(r.exit, a.status === 200 ? 0 : 1, shown);
  if (row.within) assert.ok(r.ms < row.within, `answered after ${r.ms} ms`);
  row.check?.(a.json, { ...ctx, ...r, ...a });
}

// A fresh folder for each row in the cli column; a server's upload folder
// emptied between rows.
async function run(column, row, server) {
  const dir = server?.dir ?? path.join(work, 'cli', `${row.id}`);
  const ctx = { ...server, dir, uploads: path.join(dir, 'uploads') };
  if (server) {
    fs.readdirSync(ctx.uploads).forEach((n) => fs.rmSync(path.join(ctx.uploads, n), { recursive: true }));
    fs.chmodSync(ctx.uploads, 0o700);
  } else {
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir, { recursive: true });
  }
  row.prep?.(dir, ctx.uploads);
  ctx.before = fs.existsSync(ctx.uploads) ? fs.readdirSync(ctx.uploads) : [];
  ctx.outside = snapshot(dir);
  verify(row, await exchange(column, row, ctx), ctx, column);
}

describe('mpread-upload', { concurrency: true }, () => {
  for (const column of columns) {
    describe(column, { concurrency: 1 }, () => {
      // The rows of one set of settings together, under one server.
      const rows = cases.map((c, id) => ({ ...c, id, ...c.except?.[column], key: JSON.stringify(c.env ?? {}) }))
        .filter((c) => c.on.includes(column)).sort((x, y) => x.key.localeCompare(y.key));
      let server;
      after(() => server?.demo.stop());
      for (const row of rows) {
        test(row.name, { skip: row.skip }, async () => {
          if (column !== 'cli' && server?.key !== row.key) {
            await server?.demo.stop();
            const dir = path.join(work, column, `${row.id}`);
            fs.rmSync(dir, { recursive: true, force: true });
            const demo = await startDemo(column, { site: path.join(dir, 'site'), uploads: path.join(dir, 'uploads'),
              handler, env: row.env });
            server = { key: row.key, dir, demo, port: demo.port };
          }
          await run(column, row, server);
        });
      }
    });
  }
});
