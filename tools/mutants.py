#!/usr/bin/env python3
"""Plants faults in the product one at a time and names the test that kills each.

    tools/mutants.py [--list FILE] [--only ID ...] [--fuzz] [--no-first] [--work DIR]

Each fault of the list (tools/mutants.txt by default) replaces one piece of
text in one source file. The tree's tracked files, as they stand in the work
tree, are copied to build-mutants/tree and built there (build-mutants/build),
so the work tree is never touched. --work names another folder; one made for
another tree is brought up to date, so only what differs is rebuilt. For
every fault the unit tests, the emulated-chip tests and the window tests run in turn (on a virtual display of
their own), each stopping at its first failure; with --fuzz the libFuzzer
targets run briefly too (a clang build, build-mutants/fuzz). The first
failing test kills the fault; a stage that outlives its limit kills it as a
hang. A fault whose text is not found once, or that does not compile, is
reported as such and counts neither way.

The list's format, one fault a block:

    @ ID path/to/file.cpp
    what the fault does, as a reviewer would say it
    - text as it stands (found exactly once in the file)
    | its next line, for a text of several lines (after "-" or "+")
    + what it becomes
    (more - / + pairs for a fault that changes two places)
    ? Suite.*:Other.*   the unit tests to run first (optional)
    = why no test can tell it (only for a change that keeps the meaning)

Lines starting with # are comments. The report (a Markdown table, then the
kill ratio) goes to standard output and to build-mutants/report.md.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
WORK = TREE = BUILD = FUZZ = ''  # set by set_work()


def set_work(work):
    global WORK, TREE, BUILD, FUZZ
    WORK = os.path.abspath(work)
    TREE, BUILD, FUZZ = (os.path.join(WORK, d) for d in ('tree', 'build', 'fuzz'))


set_work(os.path.join(TOP, 'build-mutants'))
TARGETS = ['korvane_tests', 'korvane_gui_tests', 'korvane_chip_tests']
STAGE_LIMIT = 400  # seconds; the unit tests take about 35 s on an idle machine
FUZZ_RUNS = 20000
# The unit suites that test each part of the tree, tried first (longest prefix wins).
FIRST = {
    'app/site': 'Cli.*',
    'app/app_setup': 'Setup.*:Soak.*',
    'app/app_discovery': 'Discovery.*:Soak.*',
    'app/app_firmware': 'Services.*:Soak.*',
    'app/app_genUID': 'Services.*:Cli.*',
    'app/fileio': 'ListFile.*:Services.*',
    'app/': 'Setup.*:Services.*:Soak.*',
    'devices/': 'DeviceTable.*:Setup.*:Soak.*',
    'bus/ftdi': 'Ftdi.*:Cable.*:Soak.*',
    'bus/cable': 'Cable.*:Soak.*',
    'bus/packet_parser': 'Cable.*:CommandFrame.*:Soak.*',
    'bus/port/tty': 'TtyDriver.*:PortChoice.*:PtyEndToEnd.*',
    'bus/port/libftdi': '',  # only the emulated-chip tests reach it
    'bus/': 'Cable.*:Ftdi.*:Soak.*',
    'cli/': 'Cli.*',
}


class Fault:
    def __init__(self, ident, path, line):
        self.ident, self.path, self.line = ident, path, line
        self.what = ''
        self.equivalent = ''  # why the change keeps the meaning, when it does
        self.edits = []  # (old, new)
        self.first = ''  # gtest filter of the unit tests to run first


def read_list(path):
    faults, fault, pending, last = [], None, None, None
    with open(path, encoding='utf-8') as f:
        for n, raw in enumerate(f, 1):
            text = raw.rstrip('\n')
            if not text.strip() or text.startswith('#'):
                continue
            if text.startswith('@ '):
                ident, file = text[2:].split()
                fault = Fault(ident, file, n)
                faults.append(fault)
                last = None
            elif fault is None:
                sys.exit(f'{path}:{n}: a fault starts with "@ ID file"')
            elif text.startswith('- '):
                pending, last = text[2:], '-'
            elif text.startswith('+ ') or text == '+':
                if pending is None:
                    sys.exit(f'{path}:{n}: "+" without its "-" line')
                fault.edits.append((pending, text[2:]))
                pending, last = None, '+'
            elif text.startswith('| ') or text == '|':
                if last == '-' and pending is not None:
                    pending += '\n' + text[2:]
                elif last == '+' and fault.edits:
                    old, new = fault.edits[-1]
                    fault.edits[-1] = (old, new + '\n' + text[2:])
                else:
                    sys.exit(f'{path}:{n}: "|" continues a "-" or "+" line')
            elif text.startswith('? '):
                fault.first = text[2:].strip()
            elif text.startswith('= '):
                fault.equivalent = text[2:]
            elif not fault.what:
                fault.what = text
            else:
                sys.exit(f'{path}:{n}: unexpected line')
    for f in faults:
        if not f.edits:
            sys.exit(f'{path}:{f.line}: fault {f.ident} changes nothing')
    return faults


def run(cmd, cwd, limit=None, env=None):
    """Runs cmd; returns (exit status or None on time-out, output)."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, errors='replace', start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out


def copy_tree():
    files = subprocess.run(['git', 'ls-files', '-z'], cwd=TOP, check=True, capture_output=True).stdout.split(b'\0')
    names = {f.decode() for f in files if f}
    # A file the tree no longer holds goes from the copy too: the build globs tests/*.cpp.
    for folder, _, present in os.walk(TREE):
        for name in present:
            if os.path.relpath(os.path.join(folder, name), TREE) not in names:
                os.remove(os.path.join(folder, name))
    for name in sorted(names):
        src, dst = os.path.join(TOP, name), os.path.join(TREE, name)
        if not os.path.isfile(src):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # Copy only what changed, so that the build stays incremental.
        if not os.path.exists(dst) or open(src, 'rb').read() != open(dst, 'rb').read():
            shutil.copy(src, dst)  # a new time: make must see the change whatever the source's time


def configure(fuzz):
    st, out = run(['cmake', '-S', TREE, '-B', BUILD, '-DCMAKE_BUILD_TYPE=RelWithDebInfo'], TOP)
    if st != 0:
        sys.exit('cmake failed:\n' + out)
    if fuzz:
        env = dict(os.environ, CXX='clang++')
        st, out = run(['cmake', '-S', TREE, '-B', FUZZ, '-DCMAKE_BUILD_TYPE=RelWithDebInfo', '-DKORVANE_FUZZ=ON'],
                      TOP, env=env)
        if st != 0:
            sys.exit('cmake (fuzz) failed:\n' + out)


def build(fuzz, targets=None):
    """Builds the test programs (or only `targets`); returns the output on failure, else None."""
    st, out = run(['cmake', '--build', BUILD, '-j', str(os.cpu_count() or 2), '--target'] + (targets or TARGETS), TOP)
    if st != 0:
        return out
    if fuzz:
        st, out = run(['cmake', '--build', FUZZ, '-j', str(os.cpu_count() or 2)], TOP)
        if st != 0:
            return out
    return None


def first_failure(out):
    m = re.search(r'^\[  FAILED  \] (\S+)', out, re.M)
    if m:
        return m.group(1)
    m = re.search(r'^==\d+==ERROR: (\w+)', out, re.M)
    if m:
        return m.group(1)
    # A crash ends the program inside a test: the last one started and not ended.
    started = re.findall(r'^\[ RUN      \] (\S+)', out, re.M)
    ended = set(re.findall(r'^\[       OK \] (\S+)', out, re.M))
    left = [t for t in started if t not in ended]
    return f'{left[-1]} (crashed)' if left else None


def stages(fuzz, skip=''):
    """The stages as (name, command); `skip`: unit tests already run."""
    yield 'unit', [os.path.join(BUILD, 'korvane_tests'), '--gtest_fail_fast', '--gtest_brief=0'] + (
        ['--gtest_filter=-' + skip] if skip else [])
    yield 'chip', ['umockdev-wrapper', os.path.join(BUILD, 'korvane_chip_tests'), '--gtest_fail_fast',
                   '--gtest_brief=0']
    yield 'window', [os.path.join(BUILD, 'korvane_gui_tests'), '--gtest_fail_fast', '--gtest_brief=0']
    if fuzz:
        for name in sorted(os.listdir(FUZZ)):
            if name.startswith('fuzz_') and os.access(os.path.join(FUZZ, name), os.X_OK):
                target = name[len('fuzz_'):]
                yield 'fuzz ' + target, [os.path.join(FUZZ, name), f'-runs={FUZZ_RUNS}', '-seed=1',
                                         os.path.join(TREE, 'fuzz', 'corpus', target)]


BASELINE = {}  # test program -> its digest as built without a fault


def digest(path):
    with open(path, 'rb') as f:
        return hashlib.sha1(f.read()).hexdigest()


def note_baseline():
    for name in TARGETS:
        BASELINE[name] = digest(os.path.join(BUILD, name))


def unchanged(cmd):
    """True when the stage's program is byte for byte the one that passed
    without the fault: the fault's code is not linked into it, so its result
    cannot differ (the window and chip programs hold neither korvane-cli nor
    what only it calls)."""
    program = next((c for c in cmd if os.path.basename(c) in BASELINE), None)
    return program is not None and BASELINE[os.path.basename(program)] == digest(program)


def run_together(commands, env):
    """Runs the stages side by side, as ctest -j runs the suites (each has its own
    display, port and files); the first to fail stops the others. Returns
    (stage, exit status or None on time-out, output) of the first failure, or None."""
    procs = []
    for stage, cmd in commands:
        out = tempfile.TemporaryFile(mode='w+', errors='replace')
        procs.append((stage, out, subprocess.Popen(cmd, cwd=BUILD, env=env, stdout=out, stderr=subprocess.STDOUT,
                                                   start_new_session=True)))
    deadline = time.monotonic() + STAGE_LIMIT
    failure = None
    try:
        while failure is None and any(p.poll() is None for _, _, p in procs):
            for stage, out, p in procs:
                if p.poll() is not None and p.returncode != 0:
                    out.seek(0)
                    failure = (stage, p.returncode, out.read())
                    break
            else:
                if time.monotonic() > deadline:
                    stage = next(stage for stage, _, p in procs if p.poll() is None)
                    failure = (stage, None, '')
                time.sleep(0.2)
        if failure is None:
            for stage, out, p in procs:
                if p.returncode != 0:
                    out.seek(0)
                    return stage, p.returncode, out.read()
    finally:
        for _, out, p in procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
            out.close()
    return failure


NOT_BUILT = object()  # test(): a test program does not build with the fault


def first_filter(fault):
    if fault.first:
        return fault.first
    best = max((p for p in FIRST if fault.path.startswith(p)), key=len, default=None)
    return FIRST[best] if best else ''


def test(fuzz, env, first=''):
    """The first test that fails, or None when every stage passes.

    With `first`, the unit tests it names run first, on the unit test program
    alone; the other programs are built (linked) only when none of them fails,
    which saves two links for most faults. Then the stages run side by side,
    the unit stage without the tests already run."""
    if first:
        st, out = run([os.path.join(BUILD, 'korvane_tests'), '--gtest_fail_fast', '--gtest_brief=0',
                       '--gtest_filter=' + first], BUILD, STAGE_LIMIT, env)
        if st is None:
            return f'unit: hang (over {STAGE_LIMIT} s)'
        if st != 0:
            return first_failure(out) or f'exit {st}'
    if build(fuzz):
        return NOT_BUILT
    failed = run_together([(stage, cmd) for stage, cmd in stages(fuzz, first) if not BASELINE or not unchanged(cmd)],
                          env)
    if failed is None:
        return None
    stage, st, out = failed
    if st is None:
        return f'{stage}: hang (over {STAGE_LIMIT} s)'
    name = first_failure(out) or f'exit {st}'
    return f'{stage}: {name}' if stage.startswith('fuzz') else name


def apply(fault):
    """Plants the fault in the copied tree; returns (original text, line) or an error."""
    path = os.path.join(TREE, fault.path)
    if not os.path.isfile(path):
        return None, f'{fault.path}: no such file'
    text = original = open(path, encoding='utf-8').read()
    line = None
    for old, new in fault.edits:
        count = text.count(old)
        if count != 1:
            return None, f'"{old.strip()}" found {count} times in {fault.path}'
        at = text.index(old)
        line = line or text.count('\n', 0, at) + 1
        text = text.replace(old, new)
    open(path, 'w', encoding='utf-8').write(text)
    return (original, line), None


def start_display():
    for _ in range(20):
        n = random.randint(100, 30000)
        if os.path.exists(f'/tmp/.X{n}-lock'):
            continue
        xvfb = subprocess.Popen(['Xvfb', f':{n}', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp', '-noreset'],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(f'/tmp/.X11-unix/X{n}'):
                return xvfb, f':{n}'
            if xvfb.poll() is not None:
                break
            time.sleep(0.1)
        xvfb.kill()
    sys.exit('no virtual display could be started')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--list', default=os.path.join(TOP, 'tools', 'mutants.txt'))
    ap.add_argument('--only', nargs='*', default=[])
    ap.add_argument('--fuzz', action='store_true', help='also run the libFuzzer targets briefly')
    ap.add_argument('--no-first', action='store_true', help='run the whole stages only, no module suites first')
    ap.add_argument('--work', help='the folder of the copy and its build (default build-mutants/); another '
                    "tree's folder is brought up to date with this tree, so only what differs is rebuilt")
    args = ap.parse_args()
    if args.work:
        set_work(args.work)

    faults = read_list(args.list)
    if args.only:
        faults = [f for f in faults if f.ident in args.only]
    os.makedirs(WORK, exist_ok=True)
    copy_tree()
    configure(args.fuzz)
    xvfb, display = start_display()
    env = dict(os.environ, DISPLAY=display)
    rows, counts = [], {'killed': 0, 'survived': 0, 'equivalent': 0, 'not run': 0}
    begun = time.monotonic()

    def report():
        total = counts['killed'] + counts['survived']
        lines = ['| fault | what | where | result | time |', '|---|---|---|---|---|'] + rows + ['']
        lines.append(f"{counts['killed']} of {total} killed" + (f' ({100 * counts["killed"] / total:.0f} %)' if total else '') +
                     f"; {counts['survived']} survived; {counts['equivalent']} equivalent and "
                     f"{counts['not run']} not planted or not compiled (neither counted); "
                     f'{(time.monotonic() - begun) / 60:.0f} min.')
        text = '\n'.join(lines) + '\n'
        open(os.path.join(WORK, 'report.md'), 'w').write(text)  # after every fault: a stopped run keeps its rows
        return text

    try:
        error = build(args.fuzz)
        if error:
            sys.exit('the tree does not build:\n' + error[-3000:])
        failure = test(args.fuzz, env)
        if failure:
            sys.exit(f'the tree fails its tests before any fault: {failure}')
        note_baseline()
        for fault in faults:
            started = time.monotonic()
            planted, problem = apply(fault)
            if problem:
                result = 'not planted: ' + problem
                where = fault.path
                counts['not run'] += 1
            else:
                original, line = planted
                where = f'{fault.path}:{line}'
                try:
                    if build(args.fuzz, [TARGETS[0]]):
                        result = 'does not compile'
                        counts['not run'] += 1
                    else:
                        failure = test(args.fuzz, env, '' if args.no_first else first_filter(fault))
                        if failure is NOT_BUILT:
                            result = 'does not compile'
                            counts['not run'] += 1
                        elif fault.equivalent:
                            # A kill here means the change was not equivalent after all.
                            result = (f'killed by {failure} (marked equivalent)' if failure else
                                      f'equivalent: {fault.equivalent}')
                            counts['equivalent' if failure is None else 'killed'] += 1
                        else:
                            result = f'killed by {failure}' if failure else 'SURVIVED'
                            counts['killed' if failure else 'survived'] += 1
                finally:
                    open(os.path.join(TREE, fault.path), 'w', encoding='utf-8').write(original)
            spent = time.monotonic() - started
            rows.append(f'| {fault.ident} | {fault.what} | {where} | {result} | {spent:.0f} s |')
            report()
            print(f'{fault.ident}: {result} ({spent:.0f} s)', file=sys.stderr, flush=True)
        build(args.fuzz)  # leave the copy built as it stands
    finally:
        xvfb.terminate()
    print(report(), end='')
    survived = counts['survived']
    return 0 if survived == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
