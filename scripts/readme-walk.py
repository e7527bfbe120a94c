#!/usr/bin/python3
"""Runs every command of README.md as a user would type it, from where a newcomer starts.

A newcomer has a fresh clone and has run ./run.sh, which builds only the window and the
simulator. So the walk copies the checkout as it is (the files git tracks or would track,
edits included; no build folder) into a folder of its own under build/, runs the set-up there
(`./run.sh --build-only`: run.sh's installs and build, nothing started) and walks the copy's
README in it; a README command that needs something run.sh did not build fails as it would
for the newcomer. With --build DIR it walks in the checkout itself against that build instead
(quicker, but blind to what run.sh does not build).

The ```sh blocks are run in README order in one bash session from the repository root (a
variable set in one block serves the next), each command under `set -e`; ```python blocks are
run in the same order with /usr/bin/python3 from the repository root. Plain ``` blocks are
output examples, other languages are files, and neither is run. A block is skipped only when
the line just before it says why: <!-- not run: REASON -->.

A command that starts the window (build/app/kuvel-counter) runs offscreen for a few seconds:
it waits in the port dialog for an OK nobody can give here, so "still running after 3 s" is
its success, and an early exit counts as its exit code says. Everything a block started in
the background (simulator, servers, windows) is stopped at the end, also on failure.

The README names fixed paths in /tmp and fixed TCP ports, which other runs on the same machine
may hold: where the system allows it, the session gets a /tmp and a process tree of its own
(unshare), otherwise a /tmp name that is taken fails the walk before it starts; a TCP port
that is taken always does. (No network of its own: with loopback alone, ser2net cannot
resolve 127.0.0.1.)
Files the commands write into the checkout's top folder (counts.csv, ...) go with the copy, or
with --build are removed at the end; --keep keeps them.

Usage: scripts/readme-walk.py [--readme FILE] [--setup COMMAND | --build DIR]
                             [--timeout SECONDS] [--keep]
--keep also keeps the copy (its path is printed). --timeout bounds the set-up and the walk,
each.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

FENCE = re.compile(r"^```(\S*)\s*$")
NOT_RUN = re.compile(r"^<!--\s*not run:\s*(.*?)\s*-->\s*$")
WINDOW = re.compile(r"^(\s*)(build/app/kuvel-counter)(?=\s|$)")
TMP_PATH = re.compile(r"/tmp/[\w.-]+")
TCP_PORT = re.compile(r"(?:tcp,(?:[\w.]+,)?|localhost:|127\.0\.0\.1:|::|--listen[ =])(\d{2,5})\b")

PROLOGUE = r"""
set -e
export HOME=$(mktemp -d) XDG_CONFIG_HOME=
_walk_n=0
_walk_block() {
    _walk_n=$1
    echo "== $_walk_name line $2, block $1" >&2
}
_walk_window() {
    QT_QPA_PLATFORM=offscreen "$@" &
    local pid=$!
    sleep 3
    if kill -0 "$pid" 2> /dev/null; then
        kill "$pid"
        wait "$pid" 2> /dev/null || true
        echo "(the window was still running after 3 s offscreen: stopped it)" >&2
        return 0
    fi
    wait "$pid"
}
_walk_python() {
    /usr/bin/python3 -c 'import sys
source = "\n" * int(sys.argv[1]) + sys.stdin.read()
sys.argv = [sys.argv[2]]
exec(compile(source, sys.argv[0], "exec"), {"__name__": "__main__"})' "$1" "$_walk_name"
}
_walk_failed() {
    echo "README walk: FAILED with exit code $1 in block $_walk_n, $_walk_name line $2: $3" >&2
}
# Some servers ignore SIGTERM in some states (ser2net without a usable configuration):
# they get 5 s, then SIGKILL.
_walk_cleanup() {
    local pid
    for pid in $(jobs -p); do
        kill "$pid" 2> /dev/null || continue
        for _ in $(seq 50); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2> /dev/null || true
    done
    rm -rf "$HOME"
}
trap '_walk_failed $? $LINENO "$BASH_COMMAND"; trap - DEBUG' ERR
trap 'trap - DEBUG; _walk_cleanup' EXIT
# Before each command: where the walk is, for a timeout's message, and the command as written.
# A trap's own commands see the command that was running, so repeats are not shown again.
_walk_trace() {
    [ "$2" != "$_walk_cmd" ] || return 0
    _walk_cmd=$2
    echo "$1" > "$_walk_where"
    echo "+ $_walk_name:$1: $2" >&2
}
trap '_walk_trace "$LINENO" "$BASH_COMMAND"' DEBUG
"""


def parse(readme_lines):
    """Returns the blocks as (number, language, first line, last line, skip reason or None)."""
    blocks = []
    i = 0
    while i < len(readme_lines):
        m = FENCE.match(readme_lines[i])
        if not m:
            i += 1
            continue
        end = i + 1
        while end < len(readme_lines) and readme_lines[end].rstrip() != "```":
            end += 1
        if end == len(readme_lines):
            sys.exit(f"README walk: the block at line {i + 1} is never closed")
        before = NOT_RUN.match(readme_lines[i - 1]) if i > 0 else None
        blocks.append((len(blocks) + 1, m.group(1), i, end, before.group(1) if before else None))
        i = end + 1
    return blocks


def generate(readme_lines, blocks, name, where_file):
    """A bash script whose line N is the README's line N, for the blocks that run."""
    out = [""] * (len(readme_lines) + 1)
    for number, lang, first, last, skip in blocks:
        if skip is not None or lang not in ("sh", "python"):
            continue
        if lang == "sh":
            out[first] = f"_walk_block {number} {first + 1}"
            for n in range(first + 1, last):
                out[n] = WINDOW.sub(r"\1_walk_window \2", readme_lines[n])
        else:
            out[first] = f"_walk_block {number} {first + 1}; _walk_python {first + 1} <<'_WALK_PY_END'"
            for n in range(first + 1, last):
                out[n] = readme_lines[n]
            out[last] = "_WALK_PY_END"
    # Line 1 is never a command (at most a block's opening fence), so the set-up goes there.
    setup = (f"_walk_name={quote(name)}; _walk_where={quote(where_file)}; "
             f"source {quote(where_file + '.prologue')}")
    out[0] = setup + ("; " + out[0] if out[0] else "")
    return "\n".join(out) + "\n"


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def isolation(*paths):
    """The command prefix that gives the session its own /tmp and processes, or None. None
    also when one of the paths the session needs lies in /tmp (a checkout there), which its
    own /tmp would hide."""
    if not shutil.which("unshare"):
        return None
    tmp = os.path.realpath("/tmp")
    if any(os.path.commonpath([tmp, os.path.realpath(p)]) == tmp for p in paths):
        return None
    prefix = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc"]
    if os.geteuid() != 0:
        prefix.insert(1, "--map-root-user")
    setup = "mount -t tmpfs tmpfs /tmp"
    probe = subprocess.run(prefix + ["sh", "-c", setup], capture_output=True)
    if probe.returncode != 0:
        return None
    return prefix + ["sh", "-c", setup + ' && exec bash "$0"']


def run_text(readme_lines, blocks):
    return "\n".join(
        "\n".join(readme_lines[first + 1:last])
        for _, lang, first, last, skip in blocks
        if skip is None and lang in ("sh", "python")
    )


def tmp_names(readme_lines, blocks):
    return sorted(set(TMP_PATH.findall(run_text(readme_lines, blocks))))


def taken_names(readme_lines, blocks, own_tmp):
    """Fixed /tmp names and TCP ports of the blocks that run, which something else holds."""
    text = run_text(readme_lines, blocks)
    # A link to a terminal that exists is a running simulator's port; other names (a pid file,
    # a configuration, a dead link) are leftovers the commands write anew.
    taken = [] if own_tmp else [p for p in tmp_names(readme_lines, blocks)
                                if os.path.islink(p) and os.path.exists(p)]
    for port in sorted(set(int(p) for p in TCP_PORT.findall(text))):
        with socket.socket() as s:
            # A connection of an earlier run in TIME_WAIT does not hold the port; a listener does.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                taken.append(f"TCP port {port}")
    return taken


def stop_group(session):
    """Whatever a block left running dies with the session's process group (and with the
    session's own process tree where it has one): SIGTERM, and SIGKILL 5 s later."""
    try:
        os.killpg(session.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    for _ in range(50):
        session.poll()
        try:
            os.killpg(session.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    try:
        os.killpg(session.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    session.wait()


def top_level_untracked(root):
    listed = subprocess.run(
        ["git", "ls-files", "--others", "--exclude-standard", "--directory"],
        cwd=root, capture_output=True, text=True,
    ).stdout.split("\n")
    return {name for name in listed if name and "/" not in name.rstrip("/")}


def fresh_copy(root, parent):
    """The checkout's files as they are now, without builds, in a new folder under parent."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=root, capture_output=True, check=True,
    ).stdout.decode().split("\0")
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix="readme-walk-", dir=parent)
    checkout = os.path.join(work, "checkout")
    for name in listed:
        source = os.path.join(root, name)
        if not name or not os.path.lexists(source):    # deleted, not yet committed
            continue
        target = os.path.join(checkout, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target, follow_symlinks=False)
    return work, checkout


def run_setup(command, checkout, timeout):
    """Runs the set-up in the copy, its output passed on; None when it succeeded, else why not."""
    print(f"README walk: set-up in a fresh copy of the checkout: {command}", flush=True)
    setup = subprocess.Popen(["bash", "-c", command], cwd=checkout, stdin=subprocess.DEVNULL,
                             start_new_session=True)
    try:
        status = setup.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        status = None
    finally:
        stop_group(setup)
    if status is None:
        return f"still running after {timeout:g} s"
    return None if status == 0 else f"exit code {status}"


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="Runs the commands of README.md.")
    parser.add_argument("--readme", help="default: README.md of the checkout (or its copy)")
    where_from = parser.add_mutually_exclusive_group()
    where_from.add_argument("--setup", default="./run.sh --build-only",
                            help="what runs in the fresh copy before the README")
    where_from.add_argument("--build", help="walk in the checkout against this build instead")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--keep", action="store_true",
                        help="keep the files the commands write, and the copy")
    args = parser.parse_args()

    if args.build is not None:
        for program in ("app/kuvel-counter", "cli/kuvel-counter-cli", "simulator/kuvel-counter-sim"):
            if not os.access(os.path.join(args.build, program), os.X_OK):
                sys.exit(f"README walk: {args.build}/{program} is missing: build first (./test.sh)")
        work = tempfile.mkdtemp(prefix="readme-walk-", dir=args.build)
        checkout = root
    else:
        work, checkout = fresh_copy(root, os.path.join(root, "build"))
    try:
        status, line, name = walk(args, checkout, work, fresh=args.build is None)
    finally:
        if args.keep and args.build is None:
            print(f"README walk: kept the copy in {checkout}")
        else:
            shutil.rmtree(work)
    if status is None:
        sys.exit(f"README walk: FAILED: still running after {args.timeout:g} s, at {name} line {line}")
    if status != 0:
        sys.exit(f"README walk: FAILED (exit code {status}); see the lines above")


def walk(args, root, work, fresh):
    """Walks the README in root; returns the session's exit code (None: timed out), the
    README line it was at, and the README's name."""
    readme = args.readme or os.path.join(root, "README.md")
    with open(readme, encoding="utf-8") as f:
        readme_lines = f.read().split("\n")
    blocks = parse(readme_lines)
    name = os.path.basename(readme)
    for number, lang, first, _, skip in blocks:
        if skip is not None:
            print(f"README walk: skipped block {number} (```{lang}, {name} line {first + 1}): {skip}",
                  flush=True)

    where = os.path.join(work, "where")
    with open(where + ".prologue", "w") as f:
        f.write(PROLOGUE)
    script = os.path.join(work, "walk.sh")
    with open(script, "w") as f:
        f.write(generate(readme_lines, blocks, name, where))
    with open(where, "w") as f:
        f.write("1\n")

    prefix = isolation(root, work)
    taken = taken_names(readme_lines, blocks, prefix is not None)
    if taken:
        sys.exit("README walk: cannot run, already taken on this machine: " + ", ".join(taken)
                 + " (another walk, simulator or server running?)")
    if fresh:
        failed = run_setup(args.setup, root, args.timeout)
        if failed:
            sys.exit(f"README walk: FAILED: the set-up ({args.setup}) failed: {failed}")
    made_in_tmp = []
    if prefix is None:
        print("README walk: on the machine's /tmp (no namespaces here, or the checkout is in /tmp)",
              flush=True)
        prefix = ["bash"]
        made_in_tmp = tmp_names(readme_lines, blocks)
    else:
        print("README walk: in a /tmp and a process tree of its own", flush=True)

    before = set() if fresh else top_level_untracked(root)
    session = subprocess.Popen(prefix + [script], cwd=root, start_new_session=True)
    try:
        status = session.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        status = None
    finally:
        stop_group(session)
        for path in made_in_tmp:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
        if not args.keep and not fresh:
            written = sorted(top_level_untracked(root) - before)
            for written_name in written:
                path = os.path.join(root, written_name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
            if written:
                print("README walk: removed what the commands wrote: " + ", ".join(written))

    with open(where) as f:
        line = f.read().strip()
    if status == 0:
        ran = sum(1 for b in blocks if b[4] is None and b[1] in ("sh", "python"))
        print(f"README walk: all {ran} blocks ran")
    return status, line, name


if __name__ == "__main__":
    main()
