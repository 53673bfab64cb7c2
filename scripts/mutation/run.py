#!/usr/bin/env python3
"""Mutation run: puts one single-point fault at a time into a copy of the
tree, rebuilds, runs the fast tests, and reports which faults no test
noticed.
  scripts/mutation/run.py scripts/mutation/mutants.py [--only ID,...]
      [--sanitize] [--matrix] [--work DIR]
A mutants file defines MUTANTS = [(id, file, old, new[, tests]), ...];
`old` must occur exactly once in `file` (the run does not start when it
does not); `tests`, a ctest -R pattern, runs those tests instead (the
handler's faults that only a real server shows)."""
import argparse, os, runpy, shutil, subprocess, sys, time

ap = argparse.ArgumentParser()
ap.add_argument('mutants')
ap.add_argument('--work', default='/tmp/mpread-mutation')  # the copy and its build
ap.add_argument('--only', default='')  # comma-separated ids
ap.add_argument('--sanitize', action='store_true')  # ASan and UBSan, leaks included
ap.add_argument('--matrix', action='store_true')  # every test run, all that fail listed
a = ap.parse_args()
mutants = [m for m in runpy.run_path(a.mutants)['MUTANTS'] if not a.only or m[0] in a.only.split(',')]

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

def failed_tests(tests=None):
    """The tests that failed, [] when all passed. Their own timeouts are
    minutes long; a mutant that makes one hang is noticed after 90 s (a
    server's whole column takes longer)."""
    which = ['-R', tests] if tests else ['-LE', 'e2e|slow|install']
    p = subprocess.Popen(['ctest', '--test-dir', build, '-j2', '--timeout', '300' if tests else '60']
                         + which + ([] if a.matrix else ['--stop-on-failure']),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        p.wait(timeout=600 if tests else 90)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        return ['(hang)']
    failed = os.path.join(build, 'Testing', 'Temporary', 'LastTestsFailed.log')
    return [l.split(':', 1)[1] for l in open(failed).read().splitlines()] if p.returncode else []

bad = [m[0] for m in mutants if open(os.path.join(tree, m[1])).read().count(m[2]) != 1]
if bad:
    sys.exit('old text not found exactly once: %s' % bad)
selections = {None} | {m[4] for m in mutants if len(m) > 4}
if not build_ok() or any(failed_tests(t) for t in selections):
    sys.exit('the unmutated tree does not build or pass')

results = []
for mid, path, old, new, *tests in mutants:
    p, t0 = os.path.join(tree, path), time.time()
    text = open(p).read()
    open(p, 'w').write(text.replace(old, new))
    built = build_ok()
    who = failed_tests(*tests) if built else []
    verdict = 'stillborn' if not built else 'killed' if who else 'SURVIVED'
    open(p, 'w').write(text)
    results.append((mid, verdict))
    print('%-6s %-9s %5.0fs %s' % (mid, verdict, time.time() - t0,
                                   ' '.join(who)[:None if a.matrix else 70]), flush=True)
build_ok()  # the build as the tree again: the next run's copy keeps old file times
others = [r for r in results if r[1] != 'killed']
print('killed %d of %d; not killed: %s' % (len(results) - len(others), len(results), others))
