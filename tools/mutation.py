"""Mutation testing of the core and the bindings: how many faults do the tests catch?

scripts/mutation.sh sets up the environment and calls `run`; docs/mutation.md says how the
sample is drawn, which tests run, and how to read the results.

  run      generate the mutants of src/ with universalmutator, draw a seeded sample and try
           each one against the tests; results go to OUT (journal.jsonl, report.md)
  compare  two journals of the same sample side by side: rates and the mutants that changed

The working tree is never written: every mutant is applied to a scratch copy of it under
build/mutation/tree, built in build/mutation/build.
"""

import argparse
import contextlib
import dataclasses
import fcntl
import hashlib
import io
import json
import os
import pathlib
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

from universalmutator import mutator

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "mutation"
TREE = WORK / "tree"
BUILD = WORK / "build"
MODULE_DIR = WORK / "pythonpath"

# universalmutator's own rule set for C++ files, as its `mutate` command picks it.
RULES = ["universal.rules", "cpp.rules", "c_like.rules"]
# Comment lines and preprocessor lines carry no behaviour: their mutants would only be
# equivalent ones (a commented-out comment) or fail to compile.
IGNORE = [r"^\s*//", r"^\s*#"]

# The Python tier: all of tests/python but the leak check, which runs its 35 calls for
# hundreds of rounds and watches memory, not results, and the notebook test, which starts
# a Jupyter kernel to see the example's cells print (together two thirds of the suite's
# time). CI runs both.
PYTEST_TIER = ["--deselect",
               "tests/python/test_leaks.py::test_memory_and_reference_counts_stay_flat",
               "--ignore", "tests/python/test_notebook.py"]


# Files that change neither the sample nor what the tests do: a run may resume across
# changes to them.
NOT_TESTED = ("src/", "docs/", "bench/", "tools/mutation.py")


@dataclasses.dataclass
class Mutant:
    path: str
    line: int
    original: str
    mutated: str
    rule: str

    @property
    def id(self):
        """Names the mutant across runs: where it is and what it changes."""
        key = f"{self.path}\0{self.line}\0{self.original}\0{self.mutated}".encode()
        return hashlib.sha1(key).hexdigest()[:12]


def source_files():
    """The C++ files of src/ in a fixed order (the sample depends on it)."""
    return sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*")
                  if p.suffix in (".cpp", ".hpp") and p.is_file())


def generate():
    """Every mutant universalmutator makes of src/, in file, line and rule order."""
    mutants = []
    for path in source_files():
        with open(ROOT / path) as source:
            lines = list(source)
        with contextlib.redirect_stdout(io.StringIO()):
            found = mutator.mutants_regexp(lines, ruleFiles=RULES, ignorePatterns=IGNORE,
                                           ignoreStringOnly=True)
        for line, mutated, (rule, _), _ in found:
            mutants.append(Mutant(path, line, lines[line - 1].rstrip("\n"),
                                  mutated.rstrip("\n"), rule))
    return mutants


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=ROOT, check=True, capture_output=True).stdout.decode()
    return sorted(f for f in set(out.split("\0")) if f and (ROOT / f).is_file())


def fingerprint(files):
    digest = hashlib.sha256()
    for f in files:
        digest.update(f.encode() + b"\0" + (ROOT / f).read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def sync_tree(files):
    """Makes the scratch tree an exact copy of the working tree's files. Unchanged files keep
    their times, so the build after a sync is incremental."""
    wanted = set(files)
    for f in files:
        src, dst = ROOT / f, TREE / f
        data = src.read_bytes()
        if not dst.is_file() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)
        shutil.copymode(src, dst)
    for p in sorted(TREE.rglob("*"), reverse=True):
        rel = p.relative_to(TREE).as_posix()
        if p.is_file() and rel not in wanted:
            p.unlink()
        elif p.is_dir() and not any(p.iterdir()):
            p.rmdir()


def run(cmd, log, timeout, env=None, cwd=None):
    """Runs cmd in its own process group, output appended to log. Returns the exit code, or
    None on timeout; the whole group is killed on timeout or interruption."""
    log.write(f"$ {' '.join(map(str, cmd))}\n")
    log.flush()
    child = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=cwd,
                             start_new_session=True)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()


class Trial:
    """Builds and tests the scratch tree, with or without a mutant in it."""

    def __init__(self, args):
        self.args = args
        self.python = sys.executable
        self.env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
        self.log_path = WORK / "last.log"

    def configure(self):
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
        ninja = shutil.which("ninja") or "ninja"
        subprocess.run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja",
                        "-DKEMB_BUILD_MODULE=ON", "-DKEMB_BUILD_TESTS=ON",
                        f"-DKEMB_PYTHON_FOR_OPENBLAS={self.python}",
                        f"-DPython_EXECUTABLE={self.python}", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                        *launcher], check=True, stdout=subprocess.DEVNULL)

    def attempt(self, timeout):
        """'invalid' (core or module does not build), or the result of the tests within
        `timeout` seconds: ('killed', what failed) or ('survived', '')."""
        jobs = str(self.args.jobs)
        self.test_seconds = 0.0
        with open(self.log_path, "w") as log:
            rc = run(["cmake", "--build", BUILD, "-j", jobs, "--target", "kemb_core", "kemb"],
                     log, self.args.build_timeout)
            if rc != 0:
                return "invalid", "timeout" if rc is None else "build failed"
            rc = run(["cmake", "--build", BUILD, "-j", jobs], log, self.args.build_timeout)
            if rc != 0:
                return "killed", "C++ tests: " + ("timeout" if rc is None else "build failed")
            started = time.monotonic()
            deadline = started + timeout
            start = len(self.log_text())
            rc = run(["ctest", "--test-dir", BUILD, "-j", jobs, "--stop-on-failure",
                      "--output-on-failure"], log, max(1, deadline - time.monotonic()))
            if rc != 0:
                return "killed", "C++ tests: " + self.failure(rc, start, CTEST_FAILURE)
            shutil.rmtree(TREE / ".hypothesis", ignore_errors=True)
            start = len(self.log_text())
            rc = run([self.python, "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider",
                      "--hypothesis-seed=0", *PYTEST_TIER], log,
                     max(1, deadline - time.monotonic()), env=self.env, cwd=TREE)
            if rc != 0:
                return "killed", "pytest: " + self.failure(rc, start, PYTEST_FAILURE)
            self.test_seconds = time.monotonic() - started
        return "survived", ""

    def log_text(self):
        return self.log_path.read_text(errors="replace")

    def failure(self, rc, start, pattern):
        """What ended a test run: the timeout, a signal, or the first test that failed."""
        if rc is None:
            return "timeout"
        if rc < 0:
            return f"signal {-rc}"
        match = pattern.search(self.log_text()[start:])
        return match.group(1) if match else f"exit code {rc}"

    def baseline(self):
        """The unmutated tree must build and pass, and the module the tests import must be the
        one built here; the time its tests take sets the default timeout."""
        MODULE_DIR.mkdir(parents=True, exist_ok=True)
        link = MODULE_DIR / "kemb.abi3.so"
        if not link.is_symlink():
            link.symlink_to(BUILD / link.name)
        subprocess.run(["cmake", "--build", BUILD, "-j", str(self.args.jobs)], check=True,
                       stdout=subprocess.DEVNULL)
        where = subprocess.run([self.python, "-c", "import kemb; print(kemb.__file__)"],
                               env=self.env, check=True, capture_output=True, text=True)
        if not where.stdout.startswith(str(MODULE_DIR)):
            sys.exit(f"the tests would import {where.stdout.strip()}, not the module built here")
        outcome, detail = self.attempt(3600)
        if outcome != "survived":
            sys.exit(f"the unmutated tree fails ({outcome}: {detail}); see {self.log_path}")
        return self.test_seconds


CTEST_FAILURE = re.compile(r"Test\s+#\d+: (\S+) \.*\s*\*\*\*")
PYTEST_FAILURE = re.compile(r"^(?:FAILED|ERROR) (\S+)", re.M)


def write_mutant(mutant, original):
    """Writes the mutant over its file in the scratch tree. Lines end at newlines only, as
    universalmutator reads them."""
    lines = original.decode().split("\n")
    lines[mutant.line - 1] = mutant.mutated
    (TREE / mutant.path).write_bytes("\n".join(lines).encode())


def load_journal(path):
    if not path.exists():
        return {}
    return {entry["id"]: entry for entry in map(json.loads, path.read_text().splitlines())}


def command_run(args):
    out = pathlib.Path(args.out or WORK / "results" / f"seed{args.seed}")
    files = tracked_files()
    header = {"seed": args.seed,
              "src": fingerprint([f for f in files if f.startswith("src/")]),
              "tests": fingerprint([f for f in files if not f.startswith(NOT_TESTED)]),
              "tier": "ctest; pytest -x " + " ".join(PYTEST_TIER)}
    out.mkdir(parents=True, exist_ok=True)
    if (out / "run.json").exists():
        before = json.loads((out / "run.json").read_text())
        if before != header:
            sys.exit(f"{out} holds results of another tree or seed; pass another --out")
    (out / "run.json").write_text(json.dumps(header, indent=1) + "\n")
    journal_path = out / "journal.jsonl"
    journal = load_journal(journal_path)

    mutants = generate()
    order = list(range(len(mutants)))
    random.Random(args.seed).shuffle(order)
    print(f"{len(mutants)} mutants of {len(source_files())} files; drawing {args.size} that "
          f"build, seed {args.seed}; results in {out}", flush=True)

    TREE.mkdir(parents=True, exist_ok=True)
    # One run at a time: runs share the scratch tree and the build directory.
    lock = open(WORK / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"another mutation run is using {WORK}")
    sync_tree(files)
    trial = Trial(args)
    trial.configure()
    base = trial.baseline()
    timeout = args.timeout or max(300.0, 4 * base)
    print(f"unmutated tree passes ({base:.0f} s); timeout per mutant {timeout:.0f} s", flush=True)

    # Both end the run cleanly; a run started in the background inherits SIGINT ignored.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    valid, drawn = 0, []
    try:
        for index in order:
            if valid >= args.size:
                break
            mutant = mutants[index]
            entry = journal.get(mutant.id)
            if entry is None:
                start = time.monotonic()
                original = (TREE / mutant.path).read_bytes()
                try:
                    write_mutant(mutant, original)
                    outcome, detail = trial.attempt(timeout)
                finally:
                    (TREE / mutant.path).write_bytes(original)
                entry = {"id": mutant.id, "file": mutant.path, "line": mutant.line,
                         "original": mutant.original, "mutated": mutant.mutated,
                         "rule": mutant.rule, "outcome": outcome, "detail": detail,
                         "seconds": round(time.monotonic() - start, 1)}
                with open(journal_path, "a") as journal_file:
                    journal_file.write(json.dumps(entry) + "\n")
                journal[mutant.id] = entry
                print(f"{valid + (outcome != 'invalid')}/{args.size} {outcome:8} "
                      f"{entry['seconds']:6.1f} s  {mutant.path}:{mutant.line}  {detail}",
                      flush=True)
            valid += entry["outcome"] != "invalid"
            drawn.append(entry)
    except KeyboardInterrupt:
        print("interrupted: the scratch tree is restored; run again to resume", flush=True)
        write_report(out, header, args.size, len(mutants), drawn, complete=False)
        return 130
    write_report(out, header, args.size, len(mutants), drawn, complete=valid >= args.size)
    print((out / "report.md").read_text(), end="")
    return 0


def rate(entries):
    tested = [e for e in entries if e["outcome"] != "invalid"]
    killed = sum(e["outcome"] == "killed" for e in tested)
    return killed, len(tested), 100.0 * killed / len(tested) if tested else 0.0


def median(values):
    return f"{statistics.median(values):.0f} s" if values else "-"


def write_report(out, header, size, generated, entries, complete):
    killed, tested, percent = rate(entries)
    timeouts = sum(e["detail"].endswith("timeout") for e in entries if e["outcome"] == "killed")
    survivors = [e for e in entries if e["outcome"] == "survived"]
    seconds = {o: [e["seconds"] for e in entries if e["outcome"] == o]
               for o in ("killed", "survived", "invalid")}
    lines = [
        f"# Mutation run: seed {header['seed']}, {size} mutants"
        + ("" if complete else " (incomplete)"), "",
        f"- source fingerprint {header['src']}, rest of the tree {header['tests']}",
        f"- tier: {header['tier']}",
        f"- {generated} mutants generated; {len(entries)} drawn, {len(entries) - tested} "
        f"did not build (not counted)",
        f"- **kill rate {killed}/{tested} = {percent:.1f}%** ({timeouts} killed by the timeout)",
        f"- median seconds per mutant: killed {median(seconds['killed'])}, survived "
        f"{median(seconds['survived'])}, did not build {median(seconds['invalid'])}", "",
        "## Survivors", "",
        "| id | where | original | mutated |", "|---|---|---|---|",
    ]
    cell = lambda text: "`" + " \\n ".join(part.strip() for part in text.split("\n")).replace(
        "|", "\\|").replace("`", "'") + "`"
    for e in sorted(survivors, key=lambda e: (e["file"], e["line"], e["id"])):
        lines.append(f"| {e['id']} | {e['file']}:{e['line']} | {cell(e['original'])} | "
                     f"{cell(e['mutated'])} |")
    lines += ["", "## Killed", "", "| id | where | by |", "|---|---|---|"]
    for e in sorted((e for e in entries if e["outcome"] == "killed"),
                    key=lambda e: (e["file"], e["line"], e["id"])):
        lines.append(f"| {e['id']} | {e['file']}:{e['line']} | {e['detail']} |")
    (out / "report.md").write_text("\n".join(lines) + "\n")


def command_compare(args):
    before, after = (load_journal(pathlib.Path(p) / "journal.jsonl") for p in args.runs)
    common = sorted(set(before) & set(after))
    for name, journal in zip(args.runs, (before, after)):
        killed, tested, percent = rate(journal.values())
        shared = rate(journal[key] for key in common)
        print(f"{name}: kill rate {killed}/{tested} = {percent:.1f}%; on the mutants both runs "
              f"tried {shared[0]}/{shared[1]} = {shared[2]:.1f}%")
    if len(common) != len(before) or len(common) != len(after):
        print(f"the runs share {len(common)} of {len(before)} and {len(after)} mutants tried: "
              "the same source tree and seed give the same sample")
    changed = 0
    for label, old, new in (("now survives", "killed", "survived"),
                            ("now killed", "survived", "killed")):
        for key in common:
            if before[key]["outcome"] == old and after[key]["outcome"] == new:
                e = after[key]
                changed += 1
                print(f"{label}: {key} {e['file']}:{e['line']}  {e['original'].strip()}  ->  "
                      f"{e['mutated'].strip()}")
    print(f"{changed} of the {len(common)} mutants both runs tried changed outcome")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run_parser = commands.add_parser("run", help="draw the sample and test each mutant")
    run_parser.add_argument("--seed", type=int, default=1)
    run_parser.add_argument("--size", type=int, default=150, help="mutants that build")
    run_parser.add_argument("--out", help="results directory (default "
                            "build/mutation/results/seed<SEED>); reruns resume")
    run_parser.add_argument("--jobs", type=int, default=2)
    run_parser.add_argument("--timeout", type=float, default=0,
                            help="seconds per mutant (default: 4x the unmutated run, >= 300)")
    run_parser.add_argument("--build-timeout", type=float, default=1200)
    compare_parser = commands.add_parser("compare", help="compare two runs of one sample")
    compare_parser.add_argument("runs", nargs=2, metavar="OUT")
    args = parser.parse_args()
    return command_run(args) if args.command == "run" else command_compare(args)


if __name__ == "__main__":
    sys.exit(main())
