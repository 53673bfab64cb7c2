// The demo as a person uses it: scripts/demo.sh serves the page, Debian's
// chromium (never a downloaded browser) fills the form, picks two files,
// uploads, and the page shows the progress bar full and the stored files;
// then Ctrl-C stops the demo. What a browser sends for a file input left
// empty is a row of cases.mjs (emptyInput).
//   MPREAD_E2E_HANDLER=... MPREAD_E2E_WORK=... node browser.test.mjs
// Leaves result.png (a screenshot of the answered page) in the work folder.
// playwright-core: "npm ci" in tests/e2e (scripts/stages/40-e2e.sh does).
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { chromium } from 'playwright-core';
import { startDemo } from './demo.mjs';

const handler = process.env.MPREAD_E2E_HANDLER;
const work = process.env.MPREAD_E2E_WORK;
const uploads = path.join(work, 'uploads');
const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');
// Picked from disk, as a person would: the browser then names the type.
const chosen = [
  { name: 'sensor-dump.bin', type: 'application/octet-stream', data: crypto.randomBytes(4 * 1024 * 1024 + 17) },
  { name: 'Überweisung März – Grüße ✓.txt', type: 'text/plain',
    data: Buffer.from('Überweisung vom 3. März\r\nBetrag: 12,50 €\n✓ erledigt\n') },
];

let demo;
let context;
after(async () => {
  await context?.close();
  await demo?.stop();
});

test('a browser uploads two files through the demo page, then Ctrl-C stops the demo', async () => {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(path.join(work, 'picked'), { recursive: true });
  chosen.forEach((c) => fs.writeFileSync(path.join(work, 'picked', c.name), c.data));
  demo = await startDemo('busybox', { site: path.join(work, 'site'), uploads, handler });
  // Playwright's own switches already turn off the sandbox (refused to
  // root), first-run pages and background networking.
  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1100, height: 900 },
  });
  const [page] = context.pages();
  await page.goto(demo.url);
  await page.fill('#title', 'Quarterly "numbers" & <notes>');
  await page.fill('#author', 'Zoë');
  await page.selectOption('#category', 'pictures');
  await page.fill('#notes', 'line one\nline two');
  await page.setInputFiles('#files', chosen.map((c) => path.join(work, 'picked', c.name)));
  // Loopback is too fast to watch: a slower uplink lets the bar pass
  // through values between empty and full, each of which is kept.
  await (await context.newCDPSession(page)).send('Network.emulateNetworkConditions', {
    offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 4 * 1024 * 1024,
  });
  await page.evaluate(() => {
    const bar = document.getElementById('progress');
    window.progressSeen = [];
    new MutationObserver(() => window.progressSeen.push(bar.value)).observe(bar, { attributeFilter: ['value'] });
  });
  const response = page.waitForResponse((r) => r.url().endsWith('/cgi-bin/mpread-upload'));
  await page.click('#submit');
  const answer = await (await response).json();
  await page.locator('#status.ok').waitFor();

  const bar = await page.evaluate(() => {
    const p = document.getElementById('progress');
    return { value: p.value, max: p.max, seen: window.progressSeen };
  });
  assert.equal(bar.value, bar.max, 'the progress bar reached its end');
  assert.ok(bar.seen.some((v) => v > 0 && v < bar.max), `values between empty and full: ${bar.seen}`);
  assert.deepEqual(answer.fields, [
    { name: 'title', value: 'Quarterly "numbers" & <notes>' },
    { name: 'author', value: 'Zoë' },
    { name: 'category', value: 'pictures' },
    // A browser sends a textarea's line breaks as CR LF.
    { name: 'notes', value: 'line one\r\nline two' },
  ]);
  // Answered, stored byte for byte, and shown in the page's table (name and
  // SHA-256), nothing else stored.
  const hashes = chosen.map((c) => sha256(c.data));
  assert.deepEqual(answer.files, chosen.map((c, i) => ({ field: 'files', stored_name: c.name, file_name: c.name,
    mime_type: c.type, size: c.data.length, sha256: hashes[i] })));
  assert.deepEqual(chosen.map((c) => sha256(fs.readFileSync(path.join(uploads, c.name)))), hashes);
  assert.deepEqual(fs.readdirSync(uploads).sort(), chosen.map((c) => c.name).sort());
  const rows = await page.locator('#files-table tbody tr').evaluateAll((trs) =>
    trs.map((tr) => [tr.cells[0].textContent, tr.cells[4].textContent]));
  assert.deepEqual(rows, chosen.map((c, i) => [c.name, hashes[i]]));
  await page.screenshot({ path: path.join(work, 'result.png'), fullPage: true });

  // Ctrl-C: the demo ends cleanly and its server with it.
  process.kill(demo.child.pid, 'SIGINT');
  assert.equal((await demo.exited).code, 0, demo.output());
  await assert.rejects(fetch(demo.url), 'nothing listens on the port any more');
});
