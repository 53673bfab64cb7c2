// Starts scripts/demo.sh under one server on a free loopback port, as the
// end-to-end tests use it. Each demo runs in a process group of its own, so
// that nothing it started (server, workers, handlers) can outlive it, also
// when a test fails or the test process ends early.
import { spawn } from 'node:child_process';
import net from 'node:net';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const running = new Set();
const killGroup = (child, signal) => { try { process.kill(-child.pid, signal); } catch { /* already gone */ } };
// TERM lets demo.sh stop what it started in groups of their own (fcgiwrap).
process.on('exit', () => running.forEach((child) => killGroup(child, 'SIGTERM')));
['SIGINT', 'SIGTERM'].forEach((signal) => process.on(signal, () => process.exit(1)));

// A port that nothing listens on now, between 20000 and 29999 or in
// MPREAD_E2E_PORTS (low-high).
const [low, high] = (process.env.MPREAD_E2E_PORTS ?? '20000-29999').split('-').map(Number);
const freePort = () => new Promise((resolve) => {
  const port = low + Math.floor(Math.random() * (high - low + 1));
  const s = net.createServer().once('error', () => resolve(freePort()));
  s.listen(port, '127.0.0.1', () => s.close(() => resolve(port)));
});

// env: the handler's MPREAD_UPLOAD_* settings. Retries when another process
// took the port between the look and the server's start.
export async function startDemo(server, { site, uploads, handler, env = {} }) {
  let output = '';
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    output = '';
    const child = spawn('bash', [path.join(repo, 'scripts/demo.sh'), `--${server}`], {
      detached: true,
      stdio: ['ignore', 'pipe', 'pipe'],
      env: { ...process.env, ...env, MPREAD_DEMO_PORT: String(port), MPREAD_DEMO_SITE: site,
        MPREAD_UPLOAD_DIR: uploads, MPREAD_DEMO_HANDLER: handler },
    });
    running.add(child);
    const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    const ready = await new Promise((resolve) => {
      [child.stdout, child.stderr].forEach((s) => s.on('data', (d) => {
        output += d;
        if (output.includes('Press Ctrl-C')) resolve(true);
      }));
      exited.then(() => resolve(false));
    });
    // Stops it as Ctrl-C would (TERM: a background job ignores INT), then
    // its whole group should anything be left.
    const stop = async () => {
      child.kill('SIGTERM');
      await Promise.race([exited, sleep(5000, null, { ref: false })]);
      killGroup(child, 'SIGKILL');
      running.delete(child);
      return exited;
    };
    if (ready) return { port, url: `http://127.0.0.1:${port}/`, child, exited, output: () => output, stop };
    await stop();
  }
  throw new Error(`the demo did not start under ${server}:\n${output}`);
}
