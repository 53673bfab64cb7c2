// The demo as a person uses it: scripts/demo.sh serves the page, Debian's
// chromium (never a downloaded browser) fills the form, picks two files,
// uploads, and the page shows the progress bar full and the stored files.
//   MPREAD_E2E_HANDLER=... MPREAD_E2E_WORK=... node browser.test.mjs
// Leaves result.png (a screenshot of the answered page) in the work folder.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { startDemo } from './demo.mjs';

const { chromium } = await import('playwright-core').catch(() => {
  throw new Error('playwright-core is missing: run "npm ci" in tests/e2e '
    + '(scripts/stages/40-e2e.sh does)');
});

const handler = process.env.MPREAD_E2E_HANDLER;
const work = process.env.MPREAD_E2E_WORK;
const uploads = path.join(work, 'uploads');
const screenshot = path.join(work, 'result.png');

const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');
const binary = crypto.randomBytes(4 * 1024 * 1024 + 17);
const text = Buffer.from('Überweisung vom 3. März\r\nBetrag: 12,50 €\n✓ erledigt\n');
// Picked from disk, as a person would: the browser then names the type.
const chosen = [
  { name: 'sensor-dump.bin', mimeType: 'application/octet-stream', buffer: binary },
  { name: 'Überweisung März – Grüße ✓.txt', mimeType: 'text/plain', buffer: text },
];
const picked = path.join(work, 'picked');

let demo;
let context;
let url;

before(async () => {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  fs.mkdirSync(picked);
  for (const c of chosen) fs.writeFileSync(path.join(picked, c.name), c.buffer);
  demo = await startDemo('busybox', { site: path.join(work, 'site'), uploads, handler });
  ({ url } = demo);
  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1100, height: 900 },
  });
});

after(async () => {
  await context?.close();
  await demo?.stop();
});

test('a browser uploads two files through the demo page', async () => {
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url);
  await page.fill('#title', 'Quarterly "numbers" & <notes>');
  await page.fill('#author', 'Zoë');
  await page.selectOption('#category', 'pictures');
  await page.fill('#notes', 'line one\nline two');
  await page.setInputFiles('#files', chosen.map((c) => path.join(picked, c.name)));
  // Loopback is too fast to watch: a slower uplink lets the bar pass
  // through values between empty and full.
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.emulateNetworkConditions', {
    offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 4 * 1024 * 1024,
  });

  // Every value the progress bar takes on the way.
  await page.evaluate(() => {
    window.progressSeen = [];
    const bar = document.getElementById('progress');
    new MutationObserver(() => window.progressSeen.push(bar.value))
      .observe(bar, { attributes: true, attributeFilter: ['value'] });
  });
  const started = Date.now();
  const response = page.waitForResponse((r) => r.url().endsWith('/cgi-bin/mpread-upload'));
  await page.click('#submit');
  const answer = await (await response).json();
  await page.locator('#status.ok').waitFor();
  console.log(`# upload of ${binary.length + text.length} bytes took ${Date.now() - started} ms`);

  const bar = await page.evaluate(() => {
    const p = document.getElementById('progress');
    return { value: p.value, max: p.max, seen: window.progressSeen };
  });
  console.log(`# progress bar values: ${bar.seen.join(' ')}`);
  assert.equal(bar.value, bar.max, 'the progress bar reached its end');
  assert.ok(bar.seen.some((v) => v > 0 && v < bar.max), 'values between empty and full');

  assert.deepEqual(answer.fields, [
    { name: 'title', value: 'Quarterly "numbers" & <notes>' },
    { name: 'author', value: 'Zoë' },
    { name: 'category', value: 'pictures' },
    // A browser sends a textarea's line breaks as CR LF.
    { name: 'notes', value: 'line one\r\nline two' },
  ]);
  assert.equal(answer.files.length, 2);

  const rows = await page.locator('#files-table tbody tr').evaluateAll((trs) =>
    trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
  for (const [i, sent] of chosen.entries()) {
    const f = answer.files[i];
    assert.equal(f.field, 'files');
    assert.equal(f.file_name, sent.name);
    assert.equal(f.stored_name, sent.name);
    assert.equal(f.mime_type, sent.mimeType);
    assert.equal(f.size, sent.buffer.length);
    assert.equal(f.sha256, sha256(sent.buffer));
    assert.ok(fs.readFileSync(path.join(uploads, f.stored_name)).equals(sent.buffer),
      `${f.stored_name} is stored byte for byte`);
    assert.equal(rows[i][0], sent.name);
    assert.equal(rows[i][4], sha256(sent.buffer), 'the table shows the SHA-256');
  }
  assert.deepEqual(fs.readdirSync(uploads).sort(), chosen.map((c) => c.name).sort());
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`# screenshot: ${screenshot}`);
});

test('a form sent with no file chosen is taken as fields alone', async () => {
  const page = context.pages()[0];
  await page.goto(url);
  await page.fill('#title', 'nothing attached');
  const response = page.waitForResponse((r) => r.url().endsWith('/cgi-bin/mpread-upload'));
  await page.click('#submit');
  const answer = await (await response).json();
  await page.locator('#status.ok').waitFor();
  assert.equal(answer.error, undefined);
  assert.deepEqual(answer.files, []);
  assert.equal(answer.fields[0].value, 'nothing attached');
  assert.equal(fs.readdirSync(uploads).length, chosen.length, 'nothing new stored');
});

test('Ctrl-C stops the demo and its server', async () => {
  await context.close();
  context = undefined;
  process.kill(demo.child.pid, 'SIGINT');
  const { code } = await demo.exited;
  assert.equal(code, 0, demo.output());
  assert.match(demo.output(), /demo stopped/);
  const port = Number(new URL(url).port);
  const refused = await new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.on('connect', () => { s.destroy(); resolve(false); });
    s.on('error', () => resolve(true));
  });
  assert.ok(refused, 'nothing listens on the port any more');
});
