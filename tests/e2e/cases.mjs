// The end-to-end cases of mpread-upload, a row a case; handler.test.mjs runs
// them. Columns:
//   name      what the row shows
//   on        where it runs: 'cli' (the handler run directly) and the servers
//   env       the handler's settings (a server is started for each set)
//   req       the request: body, method, length (when the one declared is
//             not the body's), chunked, path; curl (a form curl sends from
//             files on disk: [field, value] or [field, content, file name],
//             with sent, the hashes of the files in order); stop (how it
//             ends once the files of `files` are stored and the handler
//             writes the next: half-close, reset, stall, trickle, or a
//             signal sent to the handler)
//   cgi(dir)  cli: CGI variables set or, as undefined, unset
//   prep(dir, uploads)  run before the request
//   wrap      cli: shell words in front of the handler (a ulimit, VALGRIND)
//   fallback  the upload folder refuses O_TMPFILE (no-tmpfile.c preloaded)
//   status    the status answered (200); null: an error or none at all,
//             which is the server's choice
//   error     what the answer's error holds (a RegExp is matched)
//   fields    the text fields answered
//   files     [name sent, name stored] of each file answered, in order,
//             which are also all the upload folder holds; null: no upload
//             folder made
//   left      names that may stay behind besides (RegExp)
//   page      a page, not JSON, and what it contains
//   within    ms the answer may take (from the stop, in a stop row)
//   except    columns that differ under one server, by its name
//   check(json, r)  anything more
// Every row also checks: the answer whole with strictly valid JSON, its
// status repeated in it; the files stored byte for byte as sent, mode 0600;
// no name but a final one ever seen in the folder, and that only whole;
// nothing changed outside the folder; from cli, the exit status.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

export const BOUNDARY = 'e2eBoundary42';
export const SERVERS = ['busybox', 'lighttpd', 'apache', 'nginx'];
export const ALL = ['cli', ...SERVERS];
const CLI = ['cli'];
export const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

// A part; header text is taken as it is, so a case can send any escaping,
// or a whole Content-Disposition line of its own (`line`). A file part
// keeps its content's hash, to compare with what is stored.
function part(name, content, { filename, mime, headers = [], encoding = 'utf8', line, file = filename !== undefined }
  = {}) {
  line ??= `form-data; name="${name}"${filename === undefined ? '' : `; filename="${filename}"`}`;
  const head = [`--${BOUNDARY}`, `Content-Disposition: ${line}`, ...headers, ...mime ? [`Content-Type: ${mime}`] : []];
  const data = Buffer.from(content);
  const whole = Buffer.concat([Buffer.from(`${head.join('\r\n')}\r\n\r\n`, encoding), data, Buffer.from('\r\n')]);
  return Object.assign(whole, { sent: file ? sha256(data) : undefined });
}
const file = (name, filename, content, mime = 'application/octet-stream') => part(name, content, { filename, mime });
const form = (...parts) => Object.assign(Buffer.concat([...parts, Buffer.from(`--${BOUNDARY}--\r\n`)]),
  { sent: parts.map((p) => p.sent).filter(Boolean) });
const cut = (body, end) => Object.assign(body.subarray(0, end), { sent: body.sent });
// A file input left empty: a browser sends a part of no name and no content.
const emptyInput = part('files', '', { filename: '', mime: 'application/octet-stream', file: false });
const folder = (change) => (dir, uploads) => {
  fs.mkdirSync(uploads, { recursive: true });
  change(uploads, dir);
};
const put = (dir, name, text) => fs.writeFileSync(path.join(dir, name), text);
// A web root (www, reached through the symlink link too) and the handler's
// folder (cgi-bin), beside the upload folder.
const tree = (dir) => {
  ['www', 'cgi-bin'].forEach((d) => fs.mkdirSync(path.join(dir, d)));
  fs.symlinkSync(path.join(dir, 'www'), path.join(dir, 'link'));
};
const pairs = (...names) => names.map((n) => [n, n]);

const random = crypto.randomBytes(300000);
const oneFile = form(file('a', 'a.txt', 'a'));
const abc = ['a', 'b', 'c'].map((n) => file(n, `${n}.txt`, n));
// Large enough that what a handler leaves unread fills every buffer between
// it and the client.
const filler = file('big', 'big.bin', Buffer.alloc(12 << 20, 'filler '));
const EARLY = { MPREAD_UPLOAD_MAX_BYTES: String(16 << 20), MPREAD_UPLOAD_MAX_FILES: '2',
  MPREAD_UPLOAD_IDLE_SECONDS: '2' };
const TIMES = { MPREAD_UPLOAD_IDLE_SECONDS: '2', MPREAD_UPLOAD_MAX_SECONDS: '6' };
const MANY = { MPREAD_UPLOAD_MAX_FILES: '10000' };
const early = (name, body, more) => ({ name, on: ALL, env: EARLY, req: { body }, files: [], ...more });
const cli = (name, body, more) => ({ name, on: CLI, req: { body }, ...more });

// One complete file and a field of control characters (escaped in every
// answer, the 408 kept ready too), then the first megabyte of a second file
// of 64 MB.
const whole = file('first', 'complete.txt', 'this file arrives whole\n', 'text/plain');
const note = { name: 'note', value: 'controls \x01\t\x1f\x7f' };
const begun = part('second', Buffer.alloc(1 << 20, 0x5a), { filename: 'partial.bin', file: false }).subarray(0, -2);
const halfway = Object.assign(Buffer.concat([whole, part(note.name, note.value), begun]), { sent: [whole.sent] });
const stopped = (stop, on, more) => ({
  name: `a client that stops half-way (${stop}): the file begun never shows or stays`, on, env: TIMES,
  req: { body: halfway, length: halfway.length + (64 << 20), stop }, status: null, files: pairs('complete.txt'),
  fields: [note], ...more,
});
// Apache and nginx go on waiting for the body and pass no 408 on; the
// handler still ends.
const waiting = { status: null, within: undefined };

// Lines shaped like curl's and Chromium's delimiters, line ends of every
// kind, and a delimiter prefix right at the end of the content.
const lookalikes = Array.from({ length: 2000 }, (_, i) => `${'-'.repeat(26)}${i.toString(16).padStart(16, '0')}`)
  .map((d, i) => `${d}\r\n${d}--\r\n\r\n------WebKitFormBoundary${i}\r\n\r\n--\r\n\r\n\r\r\n\n\r`)
  .join('') + '\r\n--------------------------';
// [field, content, name sent, name answered, name stored]. curl sends a
// double quote as %22 (as browsers do) and a backslash as it is, which the
// reader takes for a directory separator.
const curlFiles = [
  ['big', crypto.randomBytes(50 << 20), 'random.bin'], ['docs', lookalikes, 'lookalikes.txt'],
  ['docs', '', 'empty.dat'], ['docs', 'spaces\n', 'my summer file.txt'],
  ['docs', 'quote\n', 'say "cheese".txt', 'say %22cheese%22.txt'],
  ['docs', 'backslash\n', 'C:\\Users\\ann\\report.txt', 'report.txt'],
  ['docs', 'dotdot\n', '../../escape.txt', 'escape.txt'], ['docs', 'nonascii\n', 'Grüße résumé 東京.txt'],
  ['docs', 'dup1\n', 'twice.txt'], ['docs', 'dup2\n', 'twice.txt', 'twice.txt', 'twice-1.txt'],
];
const manyFields = Array.from({ length: 1000 }, (_, i) => ({ name: `f${i}`, value: `value ${i}: "q" \\ ü <b>&</b>` }));
// Where valgrind is installed, rows with this wrap fail on a leak or memory
// error (exit status 99); elsewhere they run the handler alone.
const VALGRIND = spawnSync('sh', ['-c', 'command -v valgrind']).status === 0
  ? 'exec valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite' : 'exec';

export const cases = [
  // Early answers: given before the whole body is read, which Apache and
  // nginx deliver only once the handler has read the rest.
  { ...early('GET: 405 with Allow: POST'), req: { method: 'GET' }, status: 405,
    check: (j, r) => assert.equal(r.headers.allow, 'POST') },
  // lighttpd refuses a chunked body itself when it streams the body on. The
  // cli column's input never ends: reading the rest stops at the idle limit,
  // and no 408 follows the answer.
  { ...early('a chunked body, passed on without a length: 411', form(filler)), status: 411,
    req: { chunked: true, body: form(filler) },
    except: { lighttpd: { page: /Length Required/ }, cli: { within: 10000 } } },
  early('a body over MPREAD_UPLOAD_MAX_BYTES: 413 before anything is stored', form(filler, filler), {
    status: 413,
    error: { setting: 'MPREAD_UPLOAD_MAX_BYTES', limit: 16 << 20, message: /exceeds the limit of 16777216/ },
    except: { cli: { check: (j, r) => {
      assert.match(r.head, /^Status: 413 Content Too Large\r\n/);
      assert.match(r.stderr, /^mpread-upload: 413: /); // for the server's error log
    } } } }),
  early('more files than MPREAD_UPLOAD_MAX_FILES: 413, those before it stored',
    form(file('a', 'same.txt', '1'), file('a', 'same.txt', '2'), filler), {
      status: 413, error: { setting: 'MPREAD_UPLOAD_MAX_FILES', limit: 2 },
      files: [['same.txt', 'same.txt'], ['same.txt', 'same-1.txt']] }),
  early('an upload folder all users can write to: 500 naming why', form(filler), {
    prep: folder((up) => fs.chmodSync(up, 0o777)), status: 500,
    error: { message: /can be written by all users \(mode 777\)/ } }),
  early('a broken part after a good file: 400 with the reader\'s message',
    form(file('a', 'good.txt', 'good'), part('b', 'x', { headers: ['Content-Disposition: form-data; name="b"'] }),
      filler), {
      status: 400, error: { domain: 'mpread', code: 7, message: /duplicate Content-Disposition/ },
      files: pairs('good.txt') }),

  // Through the servers as the demo runs them.
  ...[['/', /id="upload-form"/], ['/upload.js', /XMLHttpRequest/]].map(([page, has]) => ({
    name: `${page} is served`, on: SERVERS, env: MANY, req: { method: 'GET', path: page }, page: has })),
  { name: 'curl uploads files of every kind and name in one form', on: SERVERS, env: MANY,
    req: { curl: [['title', 'Files of every kind'], ['note', 'a "quoted" \\ note'], ...curlFiles],
      sent: curlFiles.map((f) => sha256(f[1])) },
    fields: [{ name: 'title', value: 'Files of every kind' }, { name: 'note', value: 'a "quoted" \\ note' }],
    files: curlFiles.map(([, , sent, answered = sent, stored = answered]) => [answered, stored]) },
  { name: '1,000 fields, values that need escaping in JSON', on: SERVERS, env: MANY,
    req: { body: form(...manyFields.map((f) => part(f.name, f.value))) }, fields: manyFields, files: [] },
  // Each takes the next free number where the one before stopped: only a
  // run far slower than that fails.
  { name: '10,000 files of one name: same.txt, same-1.txt, ... in order', on: ['cli', 'lighttpd'], env: MANY,
    req: { body: form(...Array.from({ length: 10000 }, (_, i) => file('f', 'same.txt', `${i}`))) }, within: 60000,
    files: Array.from({ length: 10000 }, (_, i) => ['same.txt', i ? `same-${i}.txt` : 'same.txt']) },

  // Clients and handlers that stop half-way.
  // From the handler run directly, a half-close is a body cut short (below).
  stopped('half-close', SERVERS,
    { except: { busybox: { status: 400, error: { domain: 'intake', message: /ended after/ } } } }),
  stopped('reset', SERVERS),
  // A client that sends nothing more gets 408 once the idle limit has
  // passed; one that trickles is not idle and gets 408 at the total limit.
  // The margin is generous: only a time-out that never comes, or far too
  // late, fails.
  stopped('stall', SERVERS, { status: 408, within: 12000, except: { apache: waiting, nginx: waiting },
    error: { setting: 'MPREAD_UPLOAD_IDLE_SECONDS', message: /for 2 seconds/ } }),
  stopped('trickle', SERVERS, { status: 408, within: 16000, except: { apache: waiting, nginx: waiting },
    error: { setting: 'MPREAD_UPLOAD_MAX_SECONDS', message: /longer than 6 seconds/ } }),
  // The server ends the handler when its client goes (SIGTERM), so does a
  // CPU-time limit (SIGXCPU), or it is killed outright. Only where O_TMPFILE
  // is refused is there a name to remove; a SIGKILL leaves that hidden
  // temporary, which a later run removes once it is an hour old.
  stopped('SIGKILL', ALL),
  ...['SIGTERM', 'SIGXCPU'].map((signal) => ({ ...stopped(signal, CLI), fallback: true,
    name: `${signal} mid-file without O_TMPFILE: nothing left` })),
  { ...stopped('SIGKILL', CLI), name: 'SIGKILL mid-file without O_TMPFILE: a hidden temporary left', fallback: true,
    left: /^\.mpread-partial-\d+-0$/ },
  ...['', ' or renameat2'].map((what) => cli(`without O_TMPFILE${what}: hidden temporaries renamed without`
    + ' replacing, stale ones removed', form(file('a', 'taken.txt', 'new 1'), file('a', 'taken.txt', 'new 2'),
    file('b', 'r.bin', random)), {
    env: what && { MPREAD_TEST_NO_RENAMEAT2: '1' }, fallback: true,
    files: [['taken.txt', 'taken-1.txt'], ['taken.txt', 'taken-2.txt'], ['r.bin', 'r.bin']],
    prep: folder((up) => {
      put(up, 'taken.txt', 'old');
      put(up, '.mpread-partial-1-0', 'killed two hours ago');
      put(up, '.mpread-partial-2-0', 'still being written by another handler');
      fs.utimesSync(path.join(up, '.mpread-partial-1-0'), new Date(Date.now() - 7.2e6), new Date(Date.now() - 7.2e6));
    }),
    check: (j, r) => assert.deepEqual(
      [fs.readdirSync(r.uploads).sort(), fs.readFileSync(path.join(r.uploads, 'taken.txt'), 'utf8')],
      [['.mpread-partial-2-0', 'r.bin', 'taken-1.txt', 'taken-2.txt', 'taken.txt'], 'old']),
  })),

  // The handler on its own: forms, settings, folders, names.
  // Under valgrind too, as are a form with fields and one with long names.
  { ...cli('a body cut short mid-file: 400, the partial file removed, the earlier one kept'), wrap: VALGRIND,
    req: { body: cut(form(file('a', 'whole.txt', 'whole'), file('b', 'cut.bin', random)), 200000), length: 301000 },
    status: 400, error: { domain: 'intake', message: /ended after 200000 of/ }, files: pairs('whole.txt') },
  cli('a body that ends inside a file without the closing line: 400',
    cut(form(file('a', 'whole.txt', 'whole'), file('b', 'open.bin', 'no end')), -(BOUNDARY.length + 8)),
    { status: 400, error: { message: /ended inside the file of field b/ }, files: pairs('whole.txt') }),
  cli('field values and names, file names and mime types over MPREAD_UPLOAD_MAX_FIELD_BYTES: 413',
    form(file('a', 'kept.txt', 'k'), part('small', 'x'.repeat(500)), file('big', `${'y'.repeat(600)}.txt`, 'z')), {
      env: { MPREAD_UPLOAD_MAX_FIELD_BYTES: '1000' }, status: 413, fields: [{ name: 'small', value: 'x'.repeat(500) }],
      files: pairs('kept.txt') }),
  cli('more parts than MPREAD_UPLOAD_MAX_PARTS, empty file inputs counted: 413',
    form(part('t', 'x'), file('a', 'a.txt', 'a'), emptyInput, part('u', 'y')), {
      env: { MPREAD_UPLOAD_MAX_PARTS: '3' }, status: 413, error: { setting: 'MPREAD_UPLOAD_MAX_PARTS' },
      fields: [{ name: 't', value: 'x' }], files: pairs('a.txt') }),
  { ...cli('a body over 1 GiB by default: 413 naming the setting and its value'),
    req: { body: oneFile, length: 2 ** 30 + 1 }, status: 413,
    error: { setting: 'MPREAD_UPLOAD_MAX_BYTES', limit: 2 ** 30 }, files: null },
  // The form's closing line comes long before the length announced.
  { ...cli('MPREAD_UPLOAD_MAX_BYTES=0 takes any length'), env: { MPREAD_UPLOAD_MAX_BYTES: '0' },
    req: { body: oneFile, length: 2 ** 30 + 1 }, files: pairs('a.txt') },
  cli('a setting that is no number: 500', oneFile, { env: { MPREAD_UPLOAD_MAX_BYTES: '10MB' }, status: 500,
    error: { message: /MPREAD_UPLOAD_MAX_BYTES/ }, files: null }),
  cli('past a file-size limit (ulimit -f): 500, the file removed, the one before kept',
    form(file('a', 'small.txt', 'k'), file('b', 'big.bin', random)),
    { wrap: 'ulimit -f 64; exec', status: 500, error: { message: /File too large/ }, files: pairs('small.txt') }),
  // Checked before the folder is made: nothing appears where it is refused.
  ...[
    ['an upload folder that is a file', () => ({ MPREAD_UPLOAD_DIR: '/proc/version' }), /upload folder/],
    ['no MPREAD_UPLOAD_DIR under a web server', () => ({ MPREAD_UPLOAD_DIR: undefined }),
      /^MPREAD_UPLOAD_DIR is not set/],
    ['a relative MPREAD_UPLOAD_DIR under a web server', () => ({ MPREAD_UPLOAD_DIR: 'uploads' }),
      /must be an absolute path/],
    ['a folder in DOCUMENT_ROOT reached through a symlink', (dir) => ({ DOCUMENT_ROOT: path.join(dir, 'www'),
      MPREAD_UPLOAD_DIR: path.join(dir, 'link', 'up') }), /lies inside the web root/],
    ['a folder in the handler\'s own folder', (dir) => ({ SCRIPT_FILENAME: path.join(dir, 'cgi-bin', 'mpread-upload'),
      MPREAD_UPLOAD_DIR: path.join(dir, 'cgi-bin', 'up') }), /lies inside the handler's folder/],
  ].map(([what, cgi, message]) => cli(`${what}: 500, no folder made`, oneFile,
    { prep: tree, cgi, status: 500, error: { message }, files: null })),
  ...[['its group can write to', (up) => fs.chmodSync(up, 0o770), /can be written by its group \(mode 770\)/],
    ['of another user', (up) => fs.chownSync(up, 65534, 65534), /belongs to user 65534, not to the handler's user 0/],
  ].map(([what, change, message], i) => cli(`an upload folder ${what}: 500 naming why`, oneFile, {
    prep: folder(change), status: 500, error: { message }, files: [],
    skip: i && process.getuid() !== 0 && 'only root can give a folder away' })),
  // As under Apache's ScriptAlias, where the script's path less its URL
  // path is no web root.
  cli('a folder beside the web root and an aliased handler\'s folder: stored', oneFile, {
    prep: tree, files: pairs('a.txt'),
    cgi: (dir) => ({ DOCUMENT_ROOT: path.join(dir, 'www'), SCRIPT_NAME: '/cgi-bin/mpread-upload',
      SCRIPT_FILENAME: path.join(dir, 'cgi-bin', 'mpread-upload') }) }),
  cli('from a shell: JSON alone, files in uploads/ of the working directory (0700)', oneFile, {
    cgi: () => ({ GATEWAY_INTERFACE: undefined, MPREAD_UPLOAD_DIR: undefined }), files: pairs('a.txt'),
    check: (j, r) => assert.deepEqual([r.head, fs.statSync(r.uploads).mode & 0o777], ['', 0o700]) }),
  cli('names taken by a file or a planted symlink are never opened',
    form(file('a', 'taken.txt', 'new'), file('a', 'link.txt', 'new')), {
      prep: folder((up, dir) => {
        put(up, 'taken.txt', 'old');
        fs.symlinkSync(path.join(dir, 'outside.txt'), path.join(up, 'link.txt'));
      }),
      files: [['taken.txt', 'taken-1.txt'], ['link.txt', 'link-1.txt']],
      check: (j, r) => assert.equal(fs.readFileSync(path.join(r.uploads, 'taken.txt'), 'utf8'), 'old') }),
  cli('over-long names are cut to 200 bytes on a character boundary, extension kept, variants too',
    form(...[`${'é'.repeat(150)}.txt`, 'b'.repeat(300), 'b'.repeat(300), `-${'c'.repeat(300)}`]
      .map((n) => file('a', n, n))),
    { wrap: VALGRIND, check: (j) => assert.deepEqual(j.files.map((f) => f.stored_name),
      [`${'é'.repeat(98)}.txt`, 'b'.repeat(200), `${'b'.repeat(198)}-1`, `_-${'c'.repeat(198)}`]) }),
  cli('a name taken 10,000 times gets a random suffix', form(file('a', 'photo.jpg', 'new')), {
    prep: folder((up) => Array.from({ length: 10000 }, (_, i) => put(up, i ? `photo-${i}.jpg` : 'photo.jpg', ''))),
    check: (j) => assert.match(j.files[0].stored_name, /^photo-[0-9a-f]{16}\.jpg$/) }),
  cli('a file that cannot be named: 500 naming it, the form\'s other files stored',
    Object.assign(form(...abc), { sent: [abc[0].sent, abc[2].sent] }), {
      fallback: true, env: { MPREAD_TEST_REFUSE_NAME: 'b.txt' }, status: 500, files: pairs('a.txt', 'c.txt'),
      error: { message: /^Cannot name the file b\.txt of field b in the upload folder: Permission denied/ } }),
  // Only an empty file input is skipped: any other part refused is a 400
  // naming it, and so is a body in which no part is found.
  ...[['a file part with content but no file name', part('f', 'content', { filename: '' })],
    ['a file name that cannot be decoded', part('', 'x', { line: 'form-data; name="d"; filename*=UTF-8\'\'a%ZZ.pdf' })],
  ].map(([what, refused]) => cli(`${what}: 400 naming the part`, form(file('a', 'a.txt', 'a'), emptyInput, refused),
    { status: 400, error: { code: 10, message: /^Part 3 of the form: / }, files: pairs('a.txt') })),
  cli('a form whose lines end in a bare LF: 400, not an empty 200',
    Buffer.from(form(part('t', 'x')).toString().replaceAll('\r\n', '\n')),
    { status: 400, error: { message: /^No part of the form could be read/ }, files: [] }),
  // An empty file input among them is skipped.
  cli('invalid UTF-8 and NUL bytes in names and values still give valid JSON',
    form(part('note', Buffer.from([0x61, 0xff, 0x00, 0x62])), emptyInput,
      part('f', random, { filename: 'bad\xff.txt', encoding: 'latin1' })),
    { wrap: VALGRIND, fields: [{ name: 'note', value: 'a\ufffd\ufffdb' }], files: pairs('bad\ufffd.txt') }),
  // Names as sent and as stored: escaping, raw Content-Disposition lines
  // (older browsers' unescaped quotes, names encoded the standard way),
  // directories, numbering, and names that could mislead a person or a
  // shell. [name sent, name stored, name answered (the one sent)]
  ...[
    [['say \\"hi\\".txt', 'say "hi".txt', 'say "hi".txt']],
    [[{ line: 'form-data; name="u"; filename=" ? % * | " < > . &#9731; ; \' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt"' },
      ' ? % * | " < > . &#9731; ; \' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt']],
    [[{ line: 'form-data; name="d"; filename*=UTF-8\'\'%E2%82%AC%20rates.txt' }, '€ rates.txt']],
    [[{ line: 'form-data; name="d"; filename="EURO.txt"; filename*=utf-8\'\'%e2%82%ac%20rates.txt' }, '€ rates.txt']],
    [[{ line: 'form-data; name="d"; filename*=ISO-8859-1\'en\'%A3%20rates.txt' }, '£ rates.txt']],
    [['C:\\dir\\a.txt', 'a.txt', 'a.txt'], ['.htaccess', '_htaccess'], ['dir/', 'upload', ''], ['..', 'upload-1', '']],
    [['same.txt', 'same.txt'], ['same.txt', 'same-1.txt'], ['same.txt', 'same-2.txt'], ['noext', 'noext'],
      ['noext', 'noext-1']],
    [['\u202egpj.exe', '_gpj.exe'], ['a\u2066b\u2069\u200e\u200f.txt', 'a_b___.txt'],
      ['zero\u200b\u200c\u200d\ufeff.txt', 'zero____.txt']],
    [['c1\u0085\u009b.txt', 'c1__.txt'], ['a.php.', 'a.php'], ['a.php . .', 'a-1.php'], ['report\u00a0', 'report']],
    [['-rf', '_-rf'], [' ', 'upload'], ['. .', 'upload-1']],
  ].map((names) => cli(`names: ${names.map(([sent, stored]) => `${JSON.stringify(sent.line ?? sent)} as ${stored}`)}`,
    form(...names.map(([sent], i) => (sent.line ? part('', `${i}`, { line: sent.line, file: true })
      : file('doc', sent, `${i}`)))),
    { files: names.map(([sent, stored, answered = sent.line ? stored : sent]) => [answered, stored]) })),
];
