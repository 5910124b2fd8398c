#!/usr/bin/env python3
"""Seeded mutation check: how many small faults in src/ the fast tests kill.

Every mutant changes one place on one line (a comparison, a logical operator,
a boolean, a constant, a logical not, a call statement). The sites are sorted
and shuffled with the seed, so the same tree and seed give the same mutants
and two runs can be compared mutant by mutant (--compare OLD NEW).
"""
import argparse, fnmatch, json, os, random, re, shutil, signal, subprocess, sys, time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutate"
TREE, BUILD = WORK / "tree", WORK / "build"

SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&", "true": "false", "false": "true"}
# Longest first, so that <<, ->, <=> and friends are read whole and left alone.
TOKEN = re.compile(r"<=>|<<=?|>>=?|->|<=|>=|==|!=|&&|\|\||[<>!]|\btrue\b|\bfalse\b")
NUMBER = re.compile(r"(?<![\w.'])(?<![0-9.][eE][-+])(0[xX][0-9a-fA-F']+|\d[\d']*)[uUlLzZ]*(?![\w.'])")
CALL = re.compile(r"[A-Za-z_:][\w:.\[\]<>-]*\(")
# Not call statements, or calls whose deletion cannot change behaviour
# (assertions, reserving capacity).
NOT_CALLS = re.compile(r"(if|for|while|switch|sizeof|decltype|assert|\w+_cast<.*|.*\.reserve)\(")


def blank(chars, a, b):
    for k in range(a, b):
        if chars[k] != "\n":
            chars[k] = " "


def mask(text):
    """The text with comments, string and character literals (raw strings too)
    and preprocessor lines blanked, so that columns stay where they were."""
    out, i, n, line_start = list(text), 0, len(text), True
    while i < n:
        c = text[i]
        if c == "\n" or c in " \t\r":
            line_start = line_start or c == "\n"
            i += 1
            continue
        if line_start and c == "#":  # with its backslash continuations
            j = i
            while (j := text.find("\n", j)) > 0 and text[j - 1] == "\\":
                j += 1
            j = n if j < 0 else j
            blank(out, i, j)
            i = j
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(out, i, j)
            i = j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i)
            j = n if j < 0 else j + 2
            blank(out, i, j)
            i = j
            continue
        if c not in "\"'":
            i += 1
            continue
        k = i  # the identifier or number right before the quote
        while k > 0 and (text[k - 1].isalnum() or text[k - 1] in "_'"):
            k -= 1
        if c == "'" and k < i and text[k].isdigit():  # digit separator: 1'000
            i += 1
            continue
        if c == '"' and text[k:i] in ("R", "u8R", "uR", "UR", "LR"):
            delim = text[i + 1:text.index("(", i)]
            j = text.index(")" + delim + '"', i) + len(delim) + 1
        else:
            j = i + 1
            while j < n and text[j] not in (c, "\n"):
                j += 2 if text[j] == "\\" else 1
        blank(out, i + 1, j)
        i = j + 1
    return "".join(out)


def bumped(literal):
    """The integer literal plus one in its own base; None for 0 and 1."""
    digits = literal.replace("'", "")
    if digits[:2] in ("0x", "0X"):
        value, text = int(digits, 16) + 1, "0x{:X}"
    elif digits.startswith("0") and len(digits) > 1:
        value, text = int(digits, 8) + 1, "0{:o}"
    else:
        value, text = int(digits) + 1, "{}"
    return text.format(value) if value > 2 else None


def line_sites(code, prev):
    """(column, operator, original, mutated) for one masked line; prev is the
    last non-blank masked line before it."""
    sites = []
    for m in TOKEN.finditer(code):
        tok, a, b = m.group(), m.start(), m.end()
        if re.search(r"operator\s*$", code[:a]):
            continue
        if tok == "!":
            sites.append((a, "not", "!", ""))
        elif tok in ("true", "false"):
            sites.append((a, "boolean", tok, SWAPS[tok]))
        elif tok in SWAPS and code[a - 1:a] == " " and code[b:b + 1] in (" ", ""):
            # Binary operators are spaced; template brackets and && of
            # rvalue references are not.
            kind = "logical" if tok in ("&&", "||") else "relational"
            sites.append((a, kind, tok, SWAPS[tok]))
    for m in NUMBER.finditer(code):
        if (new := bumped(m.group(1))):
            sites.append((m.start(1), "constant", m.group(1), new))
    stmt = code.strip()
    if (CALL.match(stmt) and not NOT_CALLS.match(stmt) and stmt.endswith(");")
            and balanced(stmt) and prev.rstrip()[-1:] in ("", ";", "{", "}", ":")):
        sites.append((code.index(stmt), "call", stmt, ";"))
    return sites


def balanced(s):
    depth = 0
    for c in s:
        depth += (c == "(") - (c == ")")
        if depth < 0:
            return False
    return depth == 0


def find_sites(base, files):
    sites = []
    for path in files:
        text = (base / path).read_text(encoding="utf-8")
        prev = ""
        for number, (line, code) in enumerate(zip(text.split("\n"), mask(text).split("\n")), 1):
            # A mutant must never aim a signal elsewhere: lines that kill are
            # left alone (the process runner signals whole process groups).
            if "kill(" not in line and "static_assert" not in code:
                for col, op, old, new in line_sites(code, prev):
                    sites.append({"file": path, "line": number, "col": col + 1, "op": op,
                                  "old": line[col:col + len(old)], "new": new})
            prev = code if code.strip() else prev
    return sorted(sites, key=lambda s: (s["file"], s["line"], s["col"], s["op"], s["new"]))


def git_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         check=True, capture_output=True, text=True).stdout
    return [f for f in out.split("\0") if f and os.path.lexists(ROOT / f)]


def source_files(patterns):
    files = [f for f in git_files() if f.startswith("src/") and f.endswith((".cpp", ".hpp"))]
    return sorted(f for f in files if not patterns or any(fnmatch.fnmatch(f, p) for p in patterns))


def sync_tree():
    """Makes TREE a copy of the checkout, uncommitted work included. Files
    whose bytes are unchanged keep their times, so a kept build stays valid."""
    files = set(git_files())
    for path in TREE.rglob("*"):
        if path.is_file() and str(path.relative_to(TREE)) not in files:
            path.unlink()
    for f in files:
        src, dst = ROOT / f, TREE / f
        if dst.is_file() and not src.is_symlink() and dst.read_bytes() == src.read_bytes():
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        if dst.exists() or dst.is_symlink():
            dst.unlink()
        shutil.copyfile(src, dst, follow_symlinks=False)
        if not src.is_symlink():
            shutil.copymode(src, dst)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def isolation():
    """A new PID namespace where the system allows one: whatever a mutant
    signals then (even kill(-1)) stays inside the test run. Its own /proc
    too, so that the process IDs tests look up there are the ones they see."""
    cmd = ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "--"]
    try:
        return cmd if run(cmd + ["true"]).returncode == 0 else []
    except FileNotFoundError:
        return []


def run_tests(command, prefix, timeout):
    """Runs the test command in its own process group: ('passed', 'failed' or
    'timeout', output). The group is killed on time-out and interruption."""
    proc = subprocess.Popen(prefix + ["sh", "-c", command], cwd=BUILD, start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        out = proc.communicate(timeout=timeout)[0].decode(errors="replace")
        return ("passed" if proc.returncode == 0 else "failed"), out
    except subprocess.TimeoutExpired:
        return "timeout", ""
    finally:
        if proc.poll() is None:  # the group exists while its leader lives
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def prepare(args, command):
    """Copies and builds the tree and runs the tests on it unmutated. Returns
    the build command, the isolation prefix and the clean run's seconds."""
    print(f"Copying the tree to {TREE} and building it (Debug) ...", flush=True)
    sync_tree()
    # Tests are listed when they run, so a mutant that breaks the listing
    # fails its test run instead of its build.
    configure = run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                     "-DLANTREL_BUILD_TESTS=ON", "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"])
    if configure.returncode != 0:
        sys.exit(f"mutate: cmake cannot configure the copy:\n{configure.stdout}{configure.stderr}")
    # The test programs are the targets named *_tests; they pull in the tool.
    targets = re.findall(r"^(\w+_tests):", run(["cmake", "--build", BUILD, "--target", "help"]).stdout, re.M)
    build = ["cmake", "--build", BUILD, "-j", str(args.jobs), "--target", *sorted(set(targets))]
    clean = run(build)
    if clean.returncode != 0:
        sys.exit(f"mutate: the unmutated copy does not build:\n{clean.stdout[-4000:]}")
    prefix = isolation()
    if not prefix:
        print("warning: no PID namespace (unshare); tests run only in their own process group")
    began = time.time()
    outcome, out = run_tests(command, prefix, None)
    if outcome != "passed":
        sys.exit(f"mutate: the fast tests fail on the unmutated copy:\n{out[-4000:]}")
    return build, prefix, time.time() - began


def snippet(site, line, reach=20):
    """The site with a few whole words of its line around it, before and
    after the change."""
    a, b = site["col"] - 1, site["col"] - 1 + len(site["old"])
    head, tail = line[max(0, a - reach):a], line[b:b + reach]
    if a > reach and head[head.find(" ") + 1:].strip():
        head = head[head.find(" ") + 1:]
    if b + reach < len(line) and tail[:tail.rfind(" ")].strip():
        tail = tail[:tail.rfind(" ")]
    head, tail = head.lstrip(), tail.rstrip()
    return head + site["old"] + tail, head + site["new"] + tail


def summary(mutants):
    """{file: [killed, compiled]} plus the overall pair under None."""
    rates = {None: [0, 0]}
    for m in mutants:
        if m["result"] != "no-compile":
            for key in (None, m["file"]):
                pair = rates.setdefault(key, [0, 0])
                pair[0] += m["result"] in ("killed", "timeout")
                pair[1] += 1
    return rates


def rate(pair):
    return f"{pair[0]:3}/{pair[1]:<3} {100 * pair[0] / pair[1]:5.1f}%" if pair and pair[1] else "-"


def report(mutants, elapsed):
    rates = summary(mutants)
    print(f"\nKill rate {rate(rates[None])} (killed / compiled); "
          f"{sum(m['result'] == 'no-compile' for m in mutants)} did not compile; "
          f"{elapsed / 60:.1f} min, {elapsed / max(len(mutants), 1):.0f} s per mutant tried")
    for f in sorted(k for k in rates if k):
        print(f"  {rate(rates[f])}  {f}")
    survivors = [m for m in mutants if m["result"] == "survived"]
    print(f"\nSurvivors ({len(survivors)}):")
    for m in survivors:
        print(f"  {m['file']}:{m['line']}:{m['col']} {m['op']} {m['old']!r} -> {m['new']!r}: {m['before']}")


def compare(old_path, new_path):
    old, new = (json.loads(Path(p).read_text()) for p in (old_path, new_path))
    if old["seed"] != new["seed"]:
        print(f"warning: different seeds ({old['seed']}, {new['seed']}): different mutants")
    for path, r in ((old_path, old), (new_path, new)):
        if not r.get("complete", True):
            print(f"warning: {path} is from an interrupted run")
    key = lambda m: (m["file"], m["line"], m["col"], m["op"], m["new"])
    before, after = ({key(m): m for m in r["mutants"]} for r in (old, new))
    a, b = summary(old["mutants"]), summary(new["mutants"])
    print(f"{'old':>19} {'new':>19}")
    for f in [None] + sorted(k for k in set(a) | set(b) if k):
        print(f"{rate(a.get(f)):>19} {rate(b.get(f)):>19}  {f or 'overall'}")
    print("\nChanged results:")
    worse = False
    for k in sorted(set(before) | set(after)):
        was = before[k]["result"] if k in before else "-"
        now = after[k]["result"] if k in after else "-"
        if was != now:
            m = after.get(k) or before[k]
            print(f"  {m['file']}:{m['line']}:{m['col']} {m['op']}: {was} -> {now}")
            worse |= was in ("killed", "timeout") and now == "survived"
    if not any(before.get(k, {}).get("result") != after.get(k, {}).get("result")
               for k in set(before) | set(after)):
        print("  (none)")
    ra, rb = a[None], b[None]
    worse |= bool(ra[1] and rb[1] and rb[0] * ra[1] < ra[0] * rb[1])
    print("\nThe kill rate fell or a killed mutant survives now." if worse else
          "\nNo loss: the kill rate held and every mutant killed before is killed now.")
    return 1 if worse else 0


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--count", type=int, default=100, help="compiled mutants to run (100)")
    p.add_argument("--files", action="append", metavar="GLOB", help="only these files of src/")
    p.add_argument("--list", action="store_true", help="print the sampled sites and stop")
    p.add_argument("--jobs", type=int, default=2, help="build and test parallelism (2)")
    p.add_argument("--timeout", type=float, help="seconds per test run (10x the clean run, >= 60)")
    p.add_argument("--test-command", help="run in the build directory; a failure kills the mutant")
    p.add_argument("--keep", action="store_true", help="keep the copy and its build")
    p.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"), help="compare two reports")
    args = p.parse_args()
    if args.compare:
        return compare(*args.compare)

    if args.list:
        sites = find_sites(ROOT, source_files(args.files))
        random.Random(args.seed).shuffle(sites)
        for s in sites[:args.count]:
            print(f"{s['file']}:{s['line']}:{s['col']} {s['op']}: {s['old']!r} -> {s['new']!r}")
        print(f"({len(sites)} sites in all)")
        return 0

    # SIGTERM interrupts like Ctrl-C, so that the mutated file is restored.
    signal.signal(signal.SIGTERM, interrupt)
    command = args.test_command or f"ctest --output-on-failure -j {args.jobs} -LE slow --stop-on-failure"
    start = time.time()
    head = run(["git", "describe", "--always", "--dirty"], cwd=ROOT).stdout.strip()
    build, prefix, clean_seconds = prepare(args, command)
    timeout = args.timeout or max(60.0, 10 * clean_seconds)
    sites = find_sites(TREE, source_files(args.files))
    random.Random(args.seed).shuffle(sites)
    print(f"Built in {time.time() - start - clean_seconds:.0f} s; clean test run {clean_seconds:.1f} s "
          f"(time-out {timeout:.0f} s); {len(sites)} sites, seed {args.seed}", flush=True)

    mutants, compiled, start = [], 0, time.time()
    try:
        for site in sites:
            if compiled == args.count:
                break
            path = TREE / site["file"]
            original = path.read_bytes()
            lines = original.decode("utf-8").split("\n")
            line = lines[site["line"] - 1]
            a = site["col"] - 1
            lines[site["line"] - 1] = line[:a] + site["new"] + line[a + len(site["old"]):]
            t = time.time()
            try:
                path.write_bytes("\n".join(lines).encode("utf-8"))
                result = "no-compile"
                if run(build).returncode == 0:
                    compiled += 1
                    outcome = run_tests(command, prefix, timeout)[0]
                    result = {"passed": "survived", "failed": "killed", "timeout": "timeout"}[outcome]
            finally:
                path.write_bytes(original)
            seconds = time.time() - t
            mutants.append(dict(site, before=line.strip(), result=result, seconds=round(seconds, 1)))
            old, new = snippet(site, line)
            print(f"[{compiled:3}/{args.count}] {site['file']}:{site['line']} {site['op']}: "
                  f"{old}  ->  {new}  {result} {seconds:.0f} s", flush=True)
    except KeyboardInterrupt:
        print("\nInterrupted; the report covers the mutants run so far.")
    finally:
        # The last report of this seed stays beside the new one, for --compare.
        out = WORK / f"report-{args.seed}.json"
        if out.exists():
            out.replace(WORK / f"report-{args.seed}.previous.json")
        complete = compiled == args.count or len(mutants) == len(sites)
        out.write_text(json.dumps({"seed": args.seed, "count": args.count, "files": args.files,
                                   "commit": head, "complete": complete,
                                   "clean_test_seconds": round(clean_seconds, 1),
                                   "mutants": mutants}, indent=1) + "\n")
        if not args.keep:
            shutil.rmtree(TREE, ignore_errors=True)
            shutil.rmtree(BUILD, ignore_errors=True)
    report(mutants, time.time() - start)
    print(f"Report: {out}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
