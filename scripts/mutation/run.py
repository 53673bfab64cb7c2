#!/usr/bin/env python3
"""Mutation run: puts one single-point fault at a time into a copy of the
tree, rebuilds, runs the fast tests, and reports which faults no test
noticed.  Usage: scripts/mutation/run.py scripts/mutation/mutants.py [--only ID,...]
[--sanitize] [--check]
A mutants file defines MUTANTS = [(id, file, old, new), ...]; `old` must
occur exactly once in `file`."""
import argparse, os, shutil, subprocess, sys, time

ap = argparse.ArgumentParser()
ap.add_argument('mutants')
ap.add_argument('--tree', default=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
ap.add_argument('--work', default='/tmp/mpread-mutation')
ap.add_argument('--only', default='')
ap.add_argument('--sanitize', action='store_true')
ap.add_argument('--matrix', action='store_true', help='run every test, not only to the first failure, and list all that fail')
ap.add_argument('--hang', type=int, default=90, help='seconds after which a test run counts as hung')
ap.add_argument('--check', action='store_true', help='only check that each old text occurs once')
ap.add_argument('--exclude', default='e2e|slow|install')
a = ap.parse_args()
ns = {}
exec(open(a.mutants).read(), ns)
mutants = ns['MUTANTS']
if a.only:
    keep = set(a.only.split(','))
    mutants = [m for m in mutants if m[0] in keep]

src = os.path.abspath(a.tree)
if a.check:
    bad = [(m[0], open(os.path.join(src, m[1])).read().count(m[2])) for m in mutants]
    bad = [b for b in bad if b[1] != 1]
    print('old texts not found once:', bad or 'none')
    sys.exit(1 if bad else 0)
work = a.work
tree = os.path.join(work, 'tree')
build = os.path.join(work, 'build')
os.makedirs(work, exist_ok=True)
# The tracked files only, so that builds, caches and node_modules stay out.
shutil.rmtree(tree, ignore_errors=True)
os.makedirs(tree)
files = subprocess.run(['git', '-C', src, 'ls-files', '-co', '--exclude-standard'],
                       check=True, stdout=subprocess.PIPE, text=True).stdout.split()
for f in files:
    if os.path.isfile(os.path.join(src, f)):
        os.makedirs(os.path.dirname(os.path.join(tree, f)) or tree, exist_ok=True)
        shutil.copy2(os.path.join(src, f), os.path.join(tree, f))
cfg = ['cmake', '-S', tree, '-B', build, '-DCMAKE_BUILD_TYPE=RelWithDebInfo']
if a.sanitize:
    cfg.append('-DMPREAD_SANITIZE=ON')
subprocess.run(cfg, check=True, stdout=subprocess.DEVNULL)

def build_ok():
    return subprocess.run(['cmake', '--build', build, '-j2'], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0

def tests_pass():
    # The tests' own timeouts are minutes long; a mutant that makes one hang
    # is noticed, so the whole run is cut short instead.
    p = subprocess.Popen(['ctest', '--test-dir', build, '-j2', '--timeout', '60',
                          '-LE', a.exclude] + ([] if a.matrix else ['--stop-on-failure']),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out = p.communicate(timeout=a.hang)[0]
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        return False, 'The following tests FAILED:\n 0 - (hang past %d s) (Timeout)' % a.hang
    return p.returncode == 0, out

if not build_ok() or not tests_pass()[0]:
    sys.exit('the unmutated tree does not build or pass')

results = []
for mid, path, old, new in mutants:
    p = os.path.join(tree, path)
    text = open(p).read()
    n = text.count(old)
    if n != 1:
        results.append((mid, 'BAD-OLD(%d)' % n, ''))
        print(mid, results[-1][1], flush=True)
        continue
    open(p, 'w').write(text.replace(old, new))
    t0 = time.time()
    if not build_ok():
        verdict, who = 'stillborn', ''
    else:
        ok, out = tests_pass()
        tail = out.split('The following tests FAILED:')[-1] if 'FAILED:' in out else ''
        failed = [l.split(' - ', 1)[1].rsplit(' (', 1)[0] for l in tail.splitlines() if ' - ' in l]
        verdict = 'SURVIVED' if ok else 'killed'
        who = ' '.join(failed) if a.matrix else (failed[0] if failed else '')
    open(p, 'w').write(text)
    os.utime(p)
    results.append((mid, verdict, who))
    print('%-6s %-9s %5.0fs %s' % (mid, verdict, time.time() - t0, who if a.matrix else who[:70]), flush=True)
build_ok()
k = sum(1 for r in results if r[1] == 'killed')
print('killed %d of %d; survived: %s; other: %s' % (
    k, len(results), [r[0] for r in results if r[1] == 'SURVIVED'],
    [(r[0], r[1]) for r in results if r[1] not in ('killed', 'SURVIVED')]))
