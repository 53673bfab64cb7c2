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
//   MPREAD_E2E_MEASURE=N          no tests: the early answers, N times in
//                                 each column, then a table of how many
//                                 arrived and how long they took, a 413 on a
//                                 200 MB upload among them
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { ALL, BOUNDARY, cases, sha256 } from './cases.mjs';
import { startDemo } from './demo.mjs';

const handler = process.env.MPREAD_E2E_HANDLER;
const work = process.env.MPREAD_E2E_WORK;
const measure = Number(process.env.MPREAD_E2E_MEASURE ?? 0);
const columns = (process.env.MPREAD_E2E_SERVERS ?? ALL.join()).split(',');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const collect = (stream) => new Promise((resolve) => {
  const out = [];
  stream.on('data', (d) => out.push(d));
  ['end', 'close'].forEach((e) => stream.on(e, () => resolve(Buffer.concat(out))));
});

// Where O_TMPFILE is refused the handler falls back to hidden temporary
// names: no-tmpfile.c, preloaded, makes the upload folder refuse it.
function preload() {
  const lib = path.join(work, 'no-tmpfile.so');
  const source = path.join(path.dirname(fileURLToPath(import.meta.url)), 'no-tmpfile.c');
  const fresh = fs.existsSync(lib) && fs.statSync(lib).mtimeMs >= fs.statSync(source).mtimeMs;
  const cc = fresh || spawnSync('cc', ['-shared', '-fPIC', '-o', lib, source, '-ldl']);
  assert.ok(cc === true || cc.status === 0, `cc: ${cc.stderr}`);
  return lib;
}

// The handler run directly, as a web server runs it. ulimit -c 0: no core
// file from SIGXCPU; `wrap` may put a limit or valgrind in front.
function runCli(row, { dir, uploads }, body) {
  const { req } = row;
  const env = {
    PATH: process.env.PATH, GATEWAY_INTERFACE: 'CGI/1.1', REQUEST_METHOD: req.method ?? 'POST',
    CONTENT_TYPE: `multipart/form-data; boundary=${BOUNDARY}`, MPREAD_UPLOAD_DIR: uploads,
    CONTENT_LENGTH: req.chunked ? undefined : String(req.length ?? body.length),
    ...row.env, ...(row.fallback && { LD_PRELOAD: preload() }), ...row.cgi?.(dir),
  };
  Object.keys(env).forEach((k) => env[k] === undefined && delete env[k]);
  const child = spawn('sh', ['-c', `ulimit -c 0; ${row.wrap ?? 'exec'} "$@"`, 'sh', handler], { cwd: dir, env });
  child.stdin.on('error', () => {}); // the handler may be gone before the body is
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  // Not 'close', which waits for the rest of a body the handler never read.
  const exited = new Promise((resolve) => child.on('exit', (exit, signal) => resolve({ exit, signal })));
  return {
    write: (b) => child.stdin.write(b),
    end: () => child.stdin.end(),
    kill: () => child.kill('SIGKILL'),
    done: Promise.all([collect(child.stdout), exited]).then(([raw, how]) => ({ raw, stderr, ...how })),
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
    end: () => s.end(),
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
function writer(uploads) {
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const fds = fs.readdirSync(`/proc/${pid}/fd`);
      if (fds.some((fd) => fs.readlinkSync(`/proc/${pid}/fd/${fd}`).startsWith(`${uploads}/`))) return Number(pid);
    } catch { /* gone or closed meanwhile */ }
  }
  return null;
}
async function until(what, ms) {
  for (let waited = 0; waited < ms && !what(); waited += 50) await sleep(50);
  return what();
}
const gone = (pid) => { try { return fs.readFileSync(`/proc/${pid}/cmdline`).length === 0; } catch { return true; } };

// Every name that shows in the folder while the request runs, with its
// size when first seen: only final names may show, and those only whole.
function watch(uploads, hidden) {
  const seen = new Map();
  const look = () => {
    let names = [];
    try { names = fs.readdirSync(uploads); } catch { return; } // not made yet
    for (const n of names.filter((name) => !seen.has(name) && !hidden?.test(name))) {
      try { seen.set(n, fs.lstatSync(path.join(uploads, n)).size); } catch { /* gone meanwhile */ }
    }
  };
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
  let start = Date.now();
  conn.write(body);
  let writing;
  let trickle;
  if (req.stop) {
    // Once the files before are stored and the next is being written.
    writing = await until(() => row.files.every(([, n]) => fs.existsSync(path.join(ctx.uploads, n)))
      && writer(ctx.uploads), 10000);
    start = Date.now();
    if (req.stop === 'half-close') conn.end();
    else if (req.stop === 'reset') conn.reset();
    else if (req.stop === 'trickle') trickle = setInterval(() => conn.write('Z'), 250);
    else if (req.stop.startsWith('SIG') && writing) process.kill(writing, req.stop);
  } else if (req.chunked) conn.write('');
  else if (column === 'cli') conn.end();
  let timer;
  const out = await Promise.race([conn.done, new Promise((resolve) => {
    timer = setTimeout(resolve, row.within ?? (req.stop ? 5000 : 120000));
  })]);
  const ms = Date.now() - start;
  clearTimeout(timer);
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
  let body = raw;
  let head = '';
  while (body.length && body[0] !== 0x7b && (!head || /^HTTP\/1\.1 100 /.test(head))) {
    const end = body.indexOf('\r\n\r\n');
    head = body.toString('latin1', 0, end < 0 ? body.length : end);
    body = body.subarray(end < 0 ? body.length : end + 4);
  }
  const headers = Object.fromEntries(head.split('\r\n').slice(1)
    .map((l) => [l.slice(0, l.indexOf(':')).toLowerCase(), l.slice(l.indexOf(':') + 1).trim()]));
  let whole = !headers['content-length'] || Number(headers['content-length']) === body.length;
  if (headers['transfer-encoding'] === 'chunked') {
    const parts = [];
    for (let i = 0; ;) {
      const eol = body.indexOf('\r\n', i);
      const n = eol < 0 ? NaN : parseInt(body.toString('latin1', i, eol), 16);
      if (!(n > 0)) {
        whole = n === 0;
        break;
      }
      parts.push(body.subarray(eol + 2, eol + 2 + n));
      i = eol + 4 + n;
    }
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
  const stored = fs.existsSync(ctx.uploads) ? fs.readdirSync(ctx.uploads).filter((n) => !ctx.before.includes(n)) : null;
  const files = a.json?.files?.map((f) => [f.file_name, f.stored_name]);
  if (row.req.stop) assert.ok(r.writing && r.ended, 'the handler was writing the next file, then ended');
  if (row.page) {
    assert.equal(a.status, row.status ?? 200, shown);
    assert.match(a.text, row.page);
  } else if (row.status === null) {
    // Whether such a client gets an answer is the server's choice; if any,
    // it is an error.
    if (a.status) assert.match(String(a.status), /^(400|408|5\d\d)$/, shown);
  } else {
    assert.equal(a.status, row.status ?? 200, shown);
    assert.ok(a.whole && !(a.json instanceof Error), `whole, valid JSON (${a.json}); ${shown}`);
    if (a.head) assert.equal(a.headers['content-type'], 'application/json; charset=utf-8');
    for (const [k, v] of Object.entries({ status: a.status === 200 ? undefined : a.status, ...row.error })) {
      if (v instanceof RegExp) assert.match(String(a.json.error?.[k]), v, `error.${k}`);
      else assert.deepEqual(a.json.error?.[k], v, `error.${k}`);
    }
    if (row.fields) assert.deepEqual(a.json.fields, row.fields);
    // Stored byte for byte as sent: all files after a 200, those before an
    // error otherwise.
    const hashes = a.json.files.map((f) => f.sha256);
    const sent = row.req.body?.sent ?? row.req.sent ?? hashes;
    assert.deepEqual(hashes, sent.slice(0, a.status === 200 ? sent.length : hashes.length));
    for (const f of a.json.files) {
      const st = fs.statSync(path.join(ctx.uploads, f.stored_name));
      assert.equal(sha256(fs.readFileSync(path.join(ctx.uploads, f.stored_name))), f.sha256, f.stored_name);
      assert.deepEqual([st.size, st.mode & 0o777], [f.size, 0o600], f.stored_name);
    }
    assert.deepEqual((stored ?? []).sort(), a.json.files.map((f) => f.stored_name).sort());
  }
  if (row.files !== undefined) {
    if (files) assert.deepEqual(files, row.files ?? []);
    if (row.files === null) assert.equal(stored, null, 'no upload folder made');
    else assert.deepEqual((stored ?? []).filter((n) => !row.left?.test(n)).sort(), row.files.map((f) => f[1]).sort());
  }
  const kept = new Set([...ctx.before, ...stored ?? []]);
  for (const [name, size] of r.seen) {
    assert.ok(kept.has(name), `${name} was seen in the folder`);
    const now = fs.existsSync(path.join(ctx.uploads, name)) && fs.lstatSync(path.join(ctx.uploads, name)).size;
    assert.ok(now === false || now === size, `${name} was seen before it was whole`);
  }
  assert.deepEqual(snapshot(ctx.dir), ctx.outside, 'nothing changed outside the upload folder');
  if (column === 'cli' && row.req.stop?.startsWith('SIG')) assert.equal(r.signal, row.req.stop);
  else if (column === 'cli') assert.equal(r.exit, a.status === 200 ? 0 : 1, shown);
  if (row.within) assert.ok(r.ms < row.within, `answered after ${r.ms} ms`);
  row.check?.(a.json, { ...ctx, ...r, ...a });
}

// A fresh folder for each row in the cli column; a server's upload folder
// emptied between rows.
async function runRow(column, row, server) {
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
  const r = await exchange(column, row, ctx);
  console.log(`# ${column}: ${row.name}: answered in ${r.ms} ms`);
  return [r, ctx];
}

const results = [];
after(() => results.sort().forEach((line) => console.log(`# ${line}`)));
describe('mpread-upload', { concurrency: true }, () => {
  for (const column of columns) {
    describe(column, { concurrency: 1 }, () => {
      // The rows of one set of settings together, under one server.
      const rows = cases.map((c, id) => ({ ...c, id, ...c.except?.[column], key: JSON.stringify(c.env ?? {}) }))
        .filter((c) => c.on.includes(column) && (!measure || c.early))
        .sort((x, y) => x.key.localeCompare(y.key));
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
          if (!measure) return verify(row, ...await runRow(column, row, server), column);
          const ms = { delivered: [], lost: [] };
          for (let i = 0; i < measure; i++) {
            const [r, ctx] = await runRow(column, row, server);
            try {
              verify(row, r, ctx, column);
              ms.delivered.push(r.ms);
            } catch {
              ms.lost.push(r.ms);
            }
          }
          const mean = (l) => (l.length ? `${Math.round(l.reduce((x, y) => x + y) / l.length)} ms` : '-');
          results.push(`${column.padEnd(8)} ${row.name.slice(0, 48).padEnd(48)} ${ms.delivered.length}/${measure}`
            + ` delivered (mean ${mean(ms.delivered)}), lost after ${mean(ms.lost)}`);
        });
      }
    });
  }
});
