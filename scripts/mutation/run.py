#!/usr/bin/env python3
"""Mutation run: puts one single-point fault at a time into a copy of the
tree, rebuilds, runs the fast tests, and reports which faults no test
noticed.
  scripts/mutation/run.py scripts/mutation/mutants.py [--only ID,...]
      [--sanitize] [--matrix] [--work DIR]
A mutants file defines MUTANTS = [(id, file, old, new), ...]; `old` must
occur exactly once in `file` (BAD-OLD in the report when it does not)."""
import argparse, os, shutil, subprocess, sys, time

ap = argparse.ArgumentParser()
ap.add_argument('mutants')
ap.add_argument('--work', default='/tmp/mpread-mutation', help='where the copy and its build go')
ap.add_argument('--only', default='', help='these mutant ids only, comma-separated')
ap.add_argument('--sanitize', action='store_true', help='build with ASan and UBSan (leaks)')
ap.add_argument('--matrix', action='store_true',
                help='run every test, not only to the first failure, and list all that fail')
a = ap.parse_args()
ns = {}
exec(open(a.mutants).read(), ns)
mutants = [m for m in ns['MUTANTS'] if not a.only or m[0] in a.only.split(',')]
HANG = 90  # seconds after which a test run counts as hung

src = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
tree, build = os.path.join(a.work, 'tree'), os.path.join(a.work, 'build')
shutil.rmtree(tree, ignore_errors=True)
shutil.copytree(src, tree, ignore=shutil.ignore_patterns(  # no builds, caches, npm trees
    '.git', 'build*', 'node_modules', 'artifacts', '__pycache__'))
subprocess.run(['cmake', '-S', tree, '-B', build, '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
                '-DMPREAD_SANITIZE=' + ('ON' if a.sanitize else 'OFF')],
               check=True, stdout=subprocess.DEVNULL)

def build_ok():
    return subprocess.run(['cmake', '--build', build, '-j2'], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0

def failed_tests():
    """The tests that failed, [] when all passed. Their own timeouts are
    minutes long; a mutant that makes one hang cuts the whole run short."""
    p = subprocess.Popen(['ctest', '--test-dir', build, '-j2', '--timeout', '60',
                          '-LE', 'e2e|slow|install'] + ([] if a.matrix else ['--stop-on-failure']),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out = p.communicate(timeout=HANG)[0]
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        return ['(hang past %d s)' % HANG]
    if p.returncode == 0:
        return []
    tail = out.split('The following tests FAILED:')[-1]
    return [l.split(' - ', 1)[1].rsplit(' (', 1)[0] for l in tail.splitlines() if ' - ' in l] or ['?']

if not build_ok() or failed_tests():
    sys.exit('the unmutated tree does not build or pass')

results = []
for mid, path, old, new in mutants:
    p, t0 = os.path.join(tree, path), time.time()
    text = open(p).read()
    who = []
    if text.count(old) != 1:
        verdict = 'BAD-OLD(%d)' % text.count(old)
    else:
        open(p, 'w').write(text.replace(old, new))
        built = build_ok()
        who = failed_tests() if built else []
        verdict = 'stillborn' if not built else 'killed' if who else 'SURVIVED'
        open(p, 'w').write(text)
        os.utime(p)
    results.append((mid, verdict))
    print('%-6s %-9s %5.0fs %s' % (mid, verdict, time.time() - t0,
                                   ' '.join(who)[:None if a.matrix else 70]), flush=True)
build_ok()
print('killed %d of %d; survived: %s; other: %s' % (
    sum(1 for r in results if r[1] == 'killed'), len(results),
    [r[0] for r in results if r[1] == 'SURVIVED'],
    [r for r in results if r[1] not in ('killed', 'SURVIVED')]))
