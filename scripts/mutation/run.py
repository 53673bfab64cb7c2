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
subprocess.run(['rsync', '-a', '--delete', '--exclude', 'build', '--exclude', '.git',
                '--exclude', 'node_modules', '--exclude', '.cache', src + '/', tree + '/'], check=True)
cfg = ['cmake', '-S', tree, '-B', build, '-DCMAKE_BUILD_TYPE=RelWithDebInfo']
if a.sanitize:
    cfg.append('-DMPREAD_SANITIZE=ON')
subprocess.run(cfg, check=True, stdout=subprocess.DEVNULL)

def build_ok():
    return subprocess.run(['cmake', '--build', build, '-j2'], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0

def tests_pass():
    r = subprocess.run(['ctest', '--test-dir', build, '-j2', '--timeout', '60',
                        '-LE', a.exclude, '--stop-on-failure'],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode == 0, r.stdout

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
        failed = [l.split('-', 1)[-1].strip() for l in out.splitlines() if '***Failed' in l or 'Failed' in l and ' - ' in l]
        verdict = 'SURVIVED' if ok else 'killed'
        who = failed[0] if failed else ''
    open(p, 'w').write(text)
    os.utime(p)
    results.append((mid, verdict, who))
    print('%-6s %-9s %5.0fs %s' % (mid, verdict, time.time() - t0, who[:70]), flush=True)
build_ok()
k = sum(1 for r in results if r[1] == 'killed')
print('killed %d of %d; survived: %s; other: %s' % (
    k, len(results), [r[0] for r in results if r[1] == 'SURVIVED'],
    [(r[0], r[1]) for r in results if r[1] not in ('killed', 'SURVIVED')]))
