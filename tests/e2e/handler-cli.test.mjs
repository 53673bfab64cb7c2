// mpread-upload run from a shell, as a command-line unpacker: CGI variables
// in the environment, a request body on standard input, the answer as JSON.
// Each case gets a fresh upload folder.
//   MPREAD_E2E_HANDLER=... MPREAD_E2E_WORK=... node handler-cli.test.mjs
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import test from 'node:test';
import { fileURLToPath } from 'node:url';

const handler = process.env.MPREAD_E2E_HANDLER;
const work = process.env.MPREAD_E2E_WORK;
const boundary = 'cliBoundary42';

const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

// A part; header text is taken as it is, so a case can send any escaping,
// or a whole Content-Disposition line of its own.
function part(name, content, { filename, mime, extraHeaders = [], encoding = 'utf8', disposition } = {}) {
  disposition ??= `Content-Disposition: form-data; name="${name}"`;
  if (filename !== undefined) disposition += `; filename="${filename}"`;
  const lines = [`--${boundary}`, disposition, ...extraHeaders];
  if (mime) lines.push(`Content-Type: ${mime}`);
  return Buffer.concat([
    Buffer.from(lines.join('\r\n') + '\r\n\r\n', encoding),
    Buffer.isBuffer(content) ? content : Buffer.from(content),
    Buffer.from('\r\n'),
  ]);
}
const file = (name, filename, content, mime = 'application/octet-stream') =>
  part(name, content, { filename, mime });
const closing = Buffer.from(`--${boundary}--\r\n`);
const form = (...parts) => Buffer.concat([...parts, closing]);

let caseNumber = 0;
function freshDir() {
  const dir = path.join(work, `case-${++caseNumber}`);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

// Runs the handler on body; env entries set to undefined are removed.
function runHandler(body, env = {}, { cwd, wrapper = [] } = {}) {
  const dir = cwd ?? freshDir();
  const uploads = path.join(dir, 'uploads');
  const fullEnv = {
    PATH: process.env.PATH,
    REQUEST_METHOD: 'POST',
    CONTENT_TYPE: `multipart/form-data; boundary=${boundary}`,
    CONTENT_LENGTH: String(body.length),
    MPREAD_UPLOAD_DIR: uploads,
    ...env,
  };
  for (const k of Object.keys(fullEnv)) if (fullEnv[k] === undefined) delete fullEnv[k];
  const cmd = [...wrapper, handler];
  const r = spawnSync(cmd[0], cmd.slice(1), { input: body, env: fullEnv, cwd: dir, timeout: 60000 });
  const stdout = r.stdout.toString('utf8');
  // Under a web server the JSON follows the CGI headers.
  const cgi = fullEnv.GATEWAY_INTERFACE !== undefined;
  const split = cgi ? stdout.indexOf('\r\n\r\n') : -1;
  const head = cgi ? stdout.slice(0, split) : null;
  const answer = JSON.parse(cgi ? stdout.slice(split + 4) : stdout);
  const stored = fs.existsSync(uploads) ? fs.readdirSync(uploads).sort() : null;
  return { exit: r.status, stdout, stderr: r.stderr.toString(), head, answer, uploads, stored, dir };
}

// Makes the upload folder of a case and changes it.
function uploadsFolder(dir, change) {
  const folder = path.join(dir, 'uploads');
  fs.mkdirSync(folder);
  change(folder);
}

const random = crypto.randomBytes(300000);
const cases = [
  {
    name: 'escaped quotes in a file name come back unescaped and JSON-escaped',
    body: form(file('doc', 'say \\"hi\\".txt', 'x')),
    stored: ['say "hi".txt'],
    check: (a) => assert.equal(a.files[0].file_name, 'say "hi".txt'),
  },
  // Older browsers' unescaped quotes, and names encoded the standard way.
  ...[
    ['form-data; name="upload"; filename=" ? % * | " < > . &#9731; ; \' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt"',
      ' ? % * | " < > . &#9731; ; \' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt'],
    ['form-data; name="doc"; filename*=UTF-8\'\'%E2%82%AC%20rates.txt', '€ rates.txt'],
    ['form-data; name="doc"; filename="EURO rates.txt"; filename*=utf-8\'\'%e2%82%ac%20rates.txt', '€ rates.txt'],
    ['form-data; name="doc"; filename*=ISO-8859-1\'en\'%A3%20rates.txt', '£ rates.txt'],
  ].map(([line, stored]) => ({
    name: `a raw Content-Disposition line stores the file as ${JSON.stringify(stored)}`,
    body: form(part('', 'x', { disposition: `Content-Disposition: ${line}`, mime: 'text/plain' })),
    stored: [stored],
    check: (a) => assert.equal(a.files[0].file_name, stored),
  })),
  {
    name: 'a Windows path keeps only its last component',
    body: form(file('doc', 'C:\\dir\\a.txt', 'x')),
    stored: ['a.txt'],
  },
  {
    name: 'a leading dot cannot make a hidden file',
    body: form(file('doc', '.htaccess', 'Deny from all')),
    stored: ['_htaccess'],
    check: (a) => assert.equal(a.files[0].file_name, '.htaccess'),
  },
  {
    name: 'names left empty by the reader get a generated one',
    body: form(file('doc', 'dir/', 'a'), file('doc', '..', 'b')),
    stored: ['upload', 'upload-1'],
    check: (a) => assert.deepEqual(a.files.map((f) => f.file_name), ['', '']),
  },
  {
    name: 'taken names get numbered variants, extension kept',
    body: form(file('a', 'same.txt', '1'), file('a', 'same.txt', '2'),
      file('a', 'same.txt', '3'), file('a', 'noext', '4'), file('a', 'noext', '5')),
    stored: ['noext', 'noext-1', 'same-1.txt', 'same-2.txt', 'same.txt'],
  },
  {
    name: 'over-long names are cut on a character boundary, extension kept',
    body: form(file('a', 'é'.repeat(150) + '.txt', 'x'), file('a', 'b'.repeat(300), 'y')),
    check: (a) => {
      for (const f of a.files) assert.ok(Buffer.byteLength(f.stored_name) <= 200, f.stored_name);
      assert.ok(a.files[0].stored_name.endsWith('é.txt'));
      assert.equal(a.files[1].stored_name, 'b'.repeat(200));
    },
  },
  {
    name: 'invalid UTF-8 and NUL bytes in names and values still give valid JSON',
    body: form(part('note', Buffer.from([0x61, 0xff, 0x00, 0x62])),
      part('f', 'x', { filename: 'bad\u00ff.txt', mime: 'text/plain', encoding: 'latin1' })),
    stored: ['bad\ufffd.txt'],
    check: (a) => {
      assert.equal(a.fields[0].value, 'a\ufffd\ufffdb');
      assert.equal(a.files[0].file_name, 'bad\ufffd.txt');
    },
  },
  {
    name: 'binary content over many chunks is stored whole',
    body: form(part('t', 'before'), file('bin', 'r.bin', random), part('t', 'after')),
    stored: ['r.bin'],
    check: (a, r) => {
      assert.equal(a.files[0].size, random.length);
      assert.equal(a.files[0].sha256, sha256(random));
      assert.ok(fs.readFileSync(path.join(r.uploads, 'r.bin')).equals(random));
      assert.deepEqual(a.fields, [{ name: 't', value: 'before' }, { name: 't', value: 'after' }]);
    },
  },
  {
    name: 'a file input left empty by a browser is skipped',
    body: form(part('title', 'x'), part('files', '', { filename: '', mime: 'application/octet-stream' }),
      part('after', 'y')),
    stored: [],
    check: (a) => assert.deepEqual(a.fields.map((f) => f.name), ['title', 'after']),
  },
  {
    name: 'a body cut short mid-file: 400, partial removed, earlier file kept',
    body: form(file('a', 'whole.txt', 'whole'), file('b', 'cut.bin', random)),
    env: (body) => ({ CONTENT_LENGTH: String(body.length + 1000) }),
    send: (body) => body.subarray(0, 200000),
    exit: 1, status: 400, stored: ['whole.txt'],
    check: (a) => {
      assert.equal(a.error.domain, 'intake');
      assert.match(a.error.message, /ended after 200000 of/);
      assert.equal(a.files[0].stored_name, 'whole.txt');
    },
  },
  {
    name: 'a body that ends inside a file without the closing line: 400',
    body: Buffer.concat([file('a', 'whole.txt', 'whole'), file('b', 'open.bin', 'no end')])
      .subarray(0, -2),
    exit: 1, status: 400, stored: ['whole.txt'],
    check: (a) => assert.match(a.error.message, /ended inside the file of field b/),
  },
  {
    name: 'a broken part after a good file: 400 with the reader\'s message',
    body: form(file('a', 'good.txt', 'good'),
      part('b', 'x', { extraHeaders: ['Content-Disposition: form-data; name="b"'] })),
    exit: 1, status: 400, stored: ['good.txt'],
    check: (a) => {
      assert.equal(a.error.domain, 'mpread');
      assert.equal(a.error.code, 7);
      assert.match(a.error.message, /duplicate Content-Disposition/);
    },
  },
  {
    name: 'a body over MPREAD_UPLOAD_MAX_BYTES: 413 before anything is stored',
    body: form(file('a', 'a.bin', random)),
    env: () => ({ MPREAD_UPLOAD_MAX_BYTES: '100000' }),
    exit: 1, status: 413, stored: null,
    check: (a) => assert.match(a.error.message, /exceeds the limit of 100000/),
  },
  {
    name: 'text fields over MPREAD_UPLOAD_MAX_FIELD_BYTES: 413',
    body: form(file('a', 'kept.txt', 'k'), part('small', 'x'.repeat(500)), part('big', 'y'.repeat(600))),
    env: () => ({ MPREAD_UPLOAD_MAX_FIELD_BYTES: '1000' }),
    exit: 1, status: 413, stored: ['kept.txt'],
    check: (a) => assert.equal(a.fields.length, 1),
  },
  {
    name: 'a setting that is no number: 500',
    body: form(part('a', 'b')),
    env: () => ({ MPREAD_UPLOAD_MAX_BYTES: '10MB' }),
    exit: 1, status: 500, stored: null,
  },
  {
    name: 'GET: 405 with Allow: POST',
    body: Buffer.alloc(0),
    env: () => ({ REQUEST_METHOD: 'GET', CONTENT_LENGTH: undefined, CONTENT_TYPE: undefined,
      GATEWAY_INTERFACE: 'CGI/1.1' }),
    exit: 1, status: 405, stored: null,
    check: (a, r) => {
      assert.match(r.head, /^Status: 405 Method Not Allowed\r\n/);
      assert.match(r.head, /\r\nAllow: POST(\r\n|$)/);
    },
  },
  {
    name: 'no CONTENT_LENGTH (a chunked body passed on as it came): 411',
    body: form(part('a', 'b')),
    env: () => ({ CONTENT_LENGTH: undefined }),
    exit: 1, status: 411, stored: null,
  },
  {
    name: 'more files than MPREAD_UPLOAD_MAX_FILES: 413, those before it stored',
    body: form(file('a', 'same.txt', '1'), file('a', 'same.txt', '2'), file('a', 'same.txt', '3')),
    env: () => ({ MPREAD_UPLOAD_MAX_FILES: '2' }),
    exit: 1, status: 413, stored: ['same.txt', 'same-1.txt'],
    check: (a) => {
      assert.equal(a.error.setting, 'MPREAD_UPLOAD_MAX_FILES');
      assert.equal(a.error.limit, 2);
    },
  },
  {
    name: 'more parts than MPREAD_UPLOAD_MAX_PARTS, empty file inputs counted: 413',
    body: form(part('t', 'x'), file('a', 'a.txt', 'a'),
      part('files', '', { filename: '', mime: 'application/octet-stream' }), part('u', 'y')),
    env: () => ({ MPREAD_UPLOAD_MAX_PARTS: '3' }),
    exit: 1, status: 413, stored: ['a.txt'],
    check: (a) => {
      assert.equal(a.error.setting, 'MPREAD_UPLOAD_MAX_PARTS');
      assert.deepEqual(a.fields, [{ name: 't', value: 'x' }]);
    },
  },
  {
    name: 'a body over 1 GiB by default: 413 naming the setting and its value',
    body: form(part('a', 'b')),
    env: () => ({ CONTENT_LENGTH: String(2 ** 30 + 1) }),
    exit: 1, status: 413, stored: null,
    check: (a) => {
      assert.equal(a.error.setting, 'MPREAD_UPLOAD_MAX_BYTES');
      assert.equal(a.error.limit, 2 ** 30);
    },
  },
  {
    name: 'MPREAD_UPLOAD_MAX_BYTES=0 takes any length',
    body: form(part('a', 'b')),
    env: () => ({ CONTENT_LENGTH: String(2 ** 30 + 1), MPREAD_UPLOAD_MAX_BYTES: '0' }),
    // The form's closing line comes long before the length announced.
    check: (a) => assert.deepEqual(a.fields, [{ name: 'a', value: 'b' }]),
  },
  {
    name: 'past a file-size limit (ulimit -f): 500, the file removed, the one before kept',
    body: form(file('a', 'small.txt', 'k'), file('b', 'big.bin', random)),
    wrapper: ['bash', '-c', 'ulimit -f 64 && exec "$@"', 'ulimit'],
    exit: 1, status: 500, stored: ['small.txt'],
    check: (a) => assert.match(a.error.message, /File too large/),
  },
  {
    name: 'an upload folder that cannot be used: 500',
    body: form(file('a', 'a.txt', 'a')),
    env: () => ({ MPREAD_UPLOAD_DIR: '/proc/version' }),
    exit: 1, status: 500,
    check: (a) => assert.match(a.error.message, /upload folder/),
  },
  {
    name: 'an upload folder all users can write to: 500 naming why',
    setup: (dir) => uploadsFolder(dir, (f) => fs.chmodSync(f, 0o777)),
    body: form(file('a', 'a.txt', 'a')),
    exit: 1, status: 500, stored: [],
    check: (a) => assert.match(a.error.message, /can be written by all users \(mode 777\)/),
  },
  {
    name: 'an upload folder its group can write to: 500 naming why',
    setup: (dir) => uploadsFolder(dir, (f) => fs.chmodSync(f, 0o770)),
    body: form(file('a', 'a.txt', 'a')),
    exit: 1, status: 500, stored: [],
    check: (a) => assert.match(a.error.message, /can be written by its group \(mode 770\)/),
  },
  {
    name: 'an upload folder of another user: 500 naming why',
    skip: process.getuid() !== 0 && 'only root can give a folder away',
    setup: (dir) => uploadsFolder(dir, (f) => fs.chownSync(f, 65534, 65534)),
    body: form(file('a', 'a.txt', 'a')),
    exit: 1, status: 500, stored: [],
    check: (a) => assert.match(a.error.message, /belongs to user 65534, not to the handler's user 0/),
  },
  {
    name: 'under a web server without MPREAD_UPLOAD_DIR: 500, no folder made',
    body: form(file('a', 'a.txt', 'a')),
    env: () => ({ GATEWAY_INTERFACE: 'CGI/1.1', MPREAD_UPLOAD_DIR: undefined }),
    exit: 1, status: 500, stored: null,
    check: (a) => assert.match(a.error.message, /^MPREAD_UPLOAD_DIR is not set/),
  },
  {
    name: 'under a web server, a relative MPREAD_UPLOAD_DIR: 500',
    body: form(file('a', 'a.txt', 'a')),
    env: () => ({ GATEWAY_INTERFACE: 'CGI/1.1', MPREAD_UPLOAD_DIR: 'uploads' }),
    exit: 1, status: 500, stored: null,
    check: (a) => assert.match(a.error.message, /must be an absolute path/),
  },
  {
    name: 'under a web server, a folder in DOCUMENT_ROOT reached through a symlink: 500, nothing made',
    setup: (dir) => {
      fs.mkdirSync(path.join(dir, 'www'));
      fs.symlinkSync(path.join(dir, 'www'), path.join(dir, 'link'));
    },
    body: form(file('a', 'a.txt', 'a')),
    env: (body, dir) => ({ GATEWAY_INTERFACE: 'CGI/1.1', DOCUMENT_ROOT: path.join(dir, 'www'),
      MPREAD_UPLOAD_DIR: path.join(dir, 'link', 'up') }),
    exit: 1, status: 500,
    check: (a, r) => {
      assert.match(a.error.message, /lies inside the web root/);
      assert.deepEqual(fs.readdirSync(path.join(r.dir, 'www')), []);
    },
  },
  {
    name: 'under a web server, a folder in the handler\'s own folder: 500',
    setup: (dir) => fs.mkdirSync(path.join(dir, 'cgi-bin')),
    body: form(file('a', 'a.txt', 'a')),
    env: (body, dir) => ({ GATEWAY_INTERFACE: 'CGI/1.1',
      SCRIPT_FILENAME: path.join(dir, 'cgi-bin', 'mpread-upload'),
      MPREAD_UPLOAD_DIR: path.join(dir, 'cgi-bin', 'uploads') }),
    exit: 1, status: 500,
    check: (a, r) => {
      assert.match(a.error.message, /lies inside the handler's folder/);
      assert.deepEqual(fs.readdirSync(path.join(r.dir, 'cgi-bin')), []);
    },
  },
  {
    name: 'under a web server, a folder outside the web root and the handler\'s folder: stored',
    body: form(file('a', 'a.txt', 'a')),
    env: (body, dir) => ({ GATEWAY_INTERFACE: 'CGI/1.1', DOCUMENT_ROOT: path.join(dir, 'www'),
      SCRIPT_FILENAME: path.join(dir, 'www', 'cgi-bin', 'mpread-upload'),
      SCRIPT_NAME: '/cgi-bin/mpread-upload' }),
    stored: ['a.txt'],
  },
  // Stored names that could mislead a person or a shell; the name as sent
  // stays in the answer beside the stored one.
  ...[
    ['\u202egpj.exe', '_gpj.exe'], // shown as "exe.jpg"
    ['a\u2066b\u2069\u200e\u200f.txt', 'a_b___.txt'],
    ['zero\u200b\u200c\u200d\ufeff.txt', 'zero____.txt'],
    ['c1\u0085\u009b.txt', 'c1__.txt'],
    ['a.php.', 'a.php'],
    ['a.php . .', 'a.php'],
    ['report\u00a0', 'report'],
    ['-rf', '_-rf'],
    [' ', 'upload'],
    ['. .', 'upload'],
  ].map(([sent, stored]) => ({
    name: `the name ${JSON.stringify(sent)} is stored as ${JSON.stringify(stored)}`,
    body: form(file('doc', sent, 'x')),
    stored: [stored],
    check: (a) => assert.equal(a.files[0].file_name, sent),
  })),
];

for (const c of cases) {
  test(c.name, { skip: c.skip }, () => {
    const dir = freshDir();
    c.setup?.(dir);
    const env = c.env ? c.env(c.body, dir) : {};
    const sent = c.send ? c.send(c.body) : c.body;
    const r = runHandler(sent, env, { cwd: dir, wrapper: c.wrapper });
    assert.equal(r.exit, c.exit ?? 0, r.stdout + r.stderr);
    const a = r.answer;
    if ((c.status ?? 200) === 200) assert.equal(a.error, undefined, JSON.stringify(a.error));
    else assert.equal(a.error.status, c.status, JSON.stringify(a.error));
    if (c.stored === null) assert.ok(!r.stored?.length, `stored ${r.stored}`);
    else if (c.stored) assert.deepEqual(r.stored, [...c.stored].sort());
    if (r.stored) {
      for (const f of a.files) {
        const data = fs.readFileSync(path.join(r.uploads, f.stored_name));
        assert.equal(sha256(data), f.sha256, f.stored_name);
        assert.equal(data.length, f.size);
        assert.equal(fs.statSync(path.join(r.uploads, f.stored_name)).mode & 0o777, 0o600);
      }
    }
    c.check?.(a, r);
  });
}

test('names already taken by a file or a planted symlink are never opened', () => {
  const dir = freshDir();
  const uploads = path.join(dir, 'uploads');
  const outside = path.join(dir, 'outside.txt');
  fs.mkdirSync(uploads);
  fs.writeFileSync(path.join(uploads, 'taken.txt'), 'old');
  fs.symlinkSync(outside, path.join(uploads, 'link.txt'));
  const r = runHandler(form(file('a', 'taken.txt', 'new'), file('a', 'link.txt', 'new')), {}, { cwd: dir });
  assert.equal(r.exit, 0, r.stdout);
  assert.deepEqual(r.answer.files.map((f) => f.stored_name), ['taken-1.txt', 'link-1.txt']);
  assert.equal(fs.readFileSync(path.join(uploads, 'taken.txt'), 'utf8'), 'old');
  assert.equal(fs.existsSync(outside), false);
});

test('without MPREAD_UPLOAD_DIR files go to uploads/ in the working directory', () => {
  const dir = freshDir();
  const r = runHandler(form(file('a', 'a.txt', 'a')), { MPREAD_UPLOAD_DIR: undefined }, { cwd: dir });
  assert.equal(r.exit, 0, r.stdout);
  assert.deepEqual(fs.readdirSync(path.join(dir, 'uploads')), ['a.txt']);
  assert.equal(fs.statSync(path.join(dir, 'uploads')).mode & 0o777, 0o700);
});

test('under a web server the answer starts with CGI headers', () => {
  const r = runHandler(form(part('a', 'b')), { GATEWAY_INTERFACE: 'CGI/1.1', MPREAD_UPLOAD_MAX_BYTES: '10' });
  const [head, body] = r.stdout.split('\r\n\r\n');
  assert.equal(head.split('\r\n')[0], 'Status: 413 Content Too Large');
  assert.match(head, /\r\nContent-Type: application\/json; charset=utf-8/);
  assert.equal(JSON.parse(body).error.status, 413);
  assert.match(r.stderr, /^mpread-upload: 413: /);
});

// Where O_TMPFILE is refused the handler falls back to hidden temporary
// names; this library, preloaded, makes the upload folder refuse it.
let noTmpfileLib;
function noTmpfile() {
  if (noTmpfileLib === undefined) {
    noTmpfileLib = path.join(work, 'no-tmpfile.so');
    fs.mkdirSync(work, { recursive: true });
    const cc = spawnSync('cc', ['-shared', '-fPIC', '-o', noTmpfileLib,
      path.join(path.dirname(fileURLToPath(import.meta.url)), 'no-tmpfile.c'), '-ldl']);
    assert.equal(cc.status, 0, `cc: ${cc.stderr}`);
  }
  return { LD_PRELOAD: noTmpfileLib };
}

// The file descriptors of process pid that lead into folder.
function openIn(pid, folder) {
  const fdDir = `/proc/${pid}/fd`;
  let fds = [];
  try { fds = fs.readdirSync(fdDir); } catch { return []; }
  return fds.flatMap((fd) => {
    try {
      const target = fs.readlinkSync(path.join(fdDir, fd));
      return target.startsWith(folder + '/') ? [target] : [];
    } catch { return []; }
  });
}

// A handler ended mid-file: by the server that lost its client (SIGTERM),
// past a CPU-time limit (SIGXCPU) or outright (SIGKILL). While it writes,
// nothing shows under a name; afterwards nothing is left, but where
// O_TMPFILE is refused a SIGKILL leaves a hidden temporary (removed by a
// later run once it is an hour old).
const endings = [
  { signal: 'SIGTERM', left: [] },
  { signal: 'SIGXCPU', left: [] },
  { signal: 'SIGKILL', left: [] },
  { signal: 'SIGTERM', fallback: true, left: [] },
  { signal: 'SIGKILL', fallback: true, left: [/^\.mpread-partial-\d+-0$/] },
];
for (const { signal, fallback, left } of endings) {
  test(`ended by ${signal} mid-file${fallback ? ' (no O_TMPFILE)' : ''}: no file seen or left`, async () => {
    const dir = freshDir();
    const uploads = path.join(dir, 'uploads');
    const head = part('a', '', { filename: 'killed.bin', mime: 'application/octet-stream' }).subarray(0, -2);
    // No core file for SIGXCPU.
    const child = spawn('bash', ['-c', 'ulimit -c 0 && exec "$0"', handler], {
      cwd: dir,
      env: {
        PATH: process.env.PATH, REQUEST_METHOD: 'POST', MPREAD_UPLOAD_DIR: uploads,
        CONTENT_TYPE: `multipart/form-data; boundary=${boundary}`, CONTENT_LENGTH: '100000000',
        ...(fallback ? noTmpfile() : {}),
      },
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    const exited = new Promise((resolve) => child.on('exit', (code, sig) => resolve(sig)));
    child.stdin.on('error', () => {}); // the write may outlive the handler
    child.stdin.write(Buffer.concat([head, random]));
    let writing = [];
    for (let i = 0; i < 400 && writing.length === 0; i++) {
      await new Promise((r) => setTimeout(r, 25));
      writing = openIn(child.pid, uploads);
    }
    assert.equal(writing.length, 1, 'the file was being written');
    const visible = fs.readdirSync(uploads).filter((n) => !n.startsWith('.'));
    assert.deepEqual(visible, [], 'nothing under a name while it is written');
    child.kill(signal);
    assert.equal(await exited, signal);
    const rest = fs.readdirSync(uploads);
    assert.equal(rest.length, left.length, `left: ${rest}`);
    left.forEach((pattern, i) => assert.match(rest[i], pattern));
  });
}

test('where O_TMPFILE is refused: hidden temporaries renamed without replacing, stale ones removed', () => {
  for (const noRenameat2 of [false, true]) {
    const dir = freshDir();
    const uploads = path.join(dir, 'uploads');
    fs.mkdirSync(uploads);
    fs.writeFileSync(path.join(uploads, 'taken.txt'), 'old');
    const stale = path.join(uploads, '.mpread-partial-1-0');
    const fresh = path.join(uploads, '.mpread-partial-2-0');
    fs.writeFileSync(stale, 'killed two hours ago');
    fs.writeFileSync(fresh, 'still being written by another handler');
    const twoHoursAgo = new Date(Date.now() - 2 * 3600 * 1000);
    fs.utimesSync(stale, twoHoursAgo, twoHoursAgo);
    const env = { ...noTmpfile(), ...(noRenameat2 ? { MPREAD_TEST_NO_RENAMEAT2: '1' } : {}) };
    const r = runHandler(form(file('a', 'taken.txt', 'new 1'), file('a', 'taken.txt', 'new 2'),
      file('b', 'r.bin', random)), env, { cwd: dir });
    assert.equal(r.exit, 0, r.stdout + r.stderr);
    assert.deepEqual(r.answer.files.map((f) => f.stored_name), ['taken-1.txt', 'taken-2.txt', 'r.bin']);
    assert.deepEqual(r.stored, ['.mpread-partial-2-0', 'r.bin', 'taken-1.txt', 'taken-2.txt', 'taken.txt']);
    assert.equal(fs.readFileSync(path.join(uploads, 'taken.txt'), 'utf8'), 'old');
    assert.equal(fs.readFileSync(path.join(uploads, 'taken-2.txt'), 'utf8'), 'new 2');
    assert.ok(fs.readFileSync(path.join(uploads, 'r.bin')).equals(random));
  }
});

const valgrind = spawnSync('sh', ['-c', 'command -v valgrind']).status === 0;
test('no leaks or memory errors, on success and on failure', { skip: !valgrind && 'no valgrind' }, () => {
  const wrapper = ['valgrind', '-q', '--error-exitcode=99', '--leak-check=full',
    '--errors-for-leak-kinds=definite'];
  const ok = runHandler(form(part('t', 'x'), file('a', 'a.bin', random), file('a', 'a.bin', 'b')), {},
    { wrapper });
  assert.equal(ok.exit, 0, ok.stderr);
  const cut = form(file('a', 'a.bin', random));
  const failed = runHandler(cut.subarray(0, 5000), { CONTENT_LENGTH: String(cut.length) }, { wrapper });
  assert.equal(failed.exit, 1, failed.stderr);
});
