#!/usr/bin/env bash
# The README walk against small READMEs of its own: what it must do for the real README to be a
# test at all. Usage: tst_readmewalk.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
walk() { /usr/bin/python3 "$root/scripts/readme-walk.py" --build "$build" --keep "$@" > "$work/out" 2>&1; }
check() {
    if ! grep -qF -- "$2" "$work/out"; then
        echo "FAIL: $1: no \"$2\" in:"
        cat "$work/out"
        failures=$((failures + 1))
    fi
}

# Blocks share one session in README order; python runs from the checkout; a marked block and
# an output example are not run.
cat > "$work/ok.md" << 'EOF'
```sh
GREETING=hello
```
<!-- not run: needs hardware -->
```sh
exit 7
```
```
exit 8
```
```python
import os
print("python sees", os.environ.get("GREETING", "nothing"), os.path.isfile("run.sh"))
```
```sh
echo "sh sees $GREETING"
```
EOF
walk --readme "$work/ok.md" || { echo "FAIL: a good README fails"; cat "$work/out"; failures=$((failures + 1)); }
check "skip reason" "skipped block 2 (\`\`\`sh, ok.md line 5): needs hardware"
check "python from the checkout" "python sees nothing True"
check "variables across blocks" "sh sees hello"

# A checkout or build folder in /tmp stays visible to the session (a /tmp of its own would hide it).
for program in app/kuvel-counter cli/kuvel-counter-cli simulator/kuvel-counter-sim; do
    mkdir -p "$work/build/$(dirname "$program")"
    ln -s "$build/$program" "$work/build/$program"
done
/usr/bin/python3 "$root/scripts/readme-walk.py" --build "$work/build" --readme "$work/ok.md" \
    > "$work/out" 2>&1
check "build folder in /tmp" "sh sees hello"

# Without --build the walk starts where a newcomer does: a copy of the checkout without its
# builds, after the set-up; a command that needs what the set-up did not build fails.
printf '```sh\ntest -f run.sh\nbuild/cli/kuvel-counter-cli --version\n```\n' > "$work/fresh.md"
/usr/bin/python3 "$root/scripts/readme-walk.py" --setup "mkdir build && echo set-up ran" \
    --readme "$work/fresh.md" > "$work/out" 2>&1 \
    && { echo "FAIL: a README needing more than the set-up built passes"; failures=$((failures + 1)); }
check "set-up in a copy without builds" "set-up ran"
check "what the set-up did not build" "FAILED with exit code 127 in block 1, fresh.md line 3"

# A failing command names its block and line, and what the README started is stopped.
marker="sleep 86$$.5"
cat > "$work/bad.md" << EOF
\`\`\`sh
$marker &
\`\`\`

\`\`\`sh
true
false
echo never
\`\`\`
EOF
walk --readme "$work/bad.md" && { echo "FAIL: a failing README passes"; failures=$((failures + 1)); }
check "failure named" "FAILED with exit code 1 in block 2, bad.md line 7: false"
if pgrep -f "^$marker\$" > /dev/null; then
    echo "FAIL: the background process outlived the walk"
    failures=$((failures + 1))
fi
grep -q "never" "$work/out" && { echo "FAIL: ran on after a failure"; failures=$((failures + 1)); }

# A command that hangs ends the walk at the timeout, naming its line.
printf '```sh\ntrue\nsleep 60\n```\n' > "$work/hang.md"
walk --readme "$work/hang.md" --timeout 2 && { echo "FAIL: a hang passes"; failures=$((failures + 1)); }
check "hang named" "still running after 2 s, at hang.md line 3"

[ "$failures" -eq 0 ] && echo "PASS: tst_readmewalk"
exit $((failures > 0))
