#!/usr/bin/env bash
# Mutation sample: changes one source line at a time, rebuilds, runs the
# test suite, and reports which changes no test noticed.
#
#   scripts/mutation.sh [-n PER_FOLDER] [-s SEED] [-w WORKTREE]
#                       [-t TEST_TIMEOUT] [FOLDER...]
#
# FOLDER defaults to "src platform"; -n (default 30) mutants are sampled from
# each, in an order fixed by -s (default 1). Without -w a throwaway worktree
# of HEAD is made and removed afterwards; a given worktree must be clean and
# is left clean; its build directory "build" is reused. A test running
# longer than -t seconds (default 60) kills the mutant by timeout.
#
# Operators: == <-> !=, < <-> <=, > <-> >=, && <-> ||, true <-> false,
# integer constants (0 -> 1, 1 -> 0, n -> n+1), a call statement deleted,
# a returned value negated. Only .cc files are mutated: a header change
# would rebuild most of the tree for each mutant. A mutant that does not
# compile is "stillborn", replaced by the next one of the sample and not
# counted.
set -euo pipefail

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; }
per_folder=30 seed=1 worktree="" test_timeout=60
while getopts "n:s:w:t:h" opt; do
  case $opt in
    n) per_folder=$OPTARG ;;
    s) seed=$OPTARG ;;
    w) worktree=$OPTARG ;;
    t) test_timeout=$OPTARG ;;
    h) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
  esac
done
shift $((OPTIND - 1))
folders=("$@")
((${#folders[@]})) || folders=(src platform)

repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=$(mktemp -d /tmp/mutation-run.XXXXXX)
started=$SECONDS
log=$work/log
echo "log: $log"

if [[ -z $worktree ]]; then
  worktree=$work/tree
  git -C "$repo" worktree add --detach "$worktree" HEAD >/dev/null
  own_worktree=1
else
  worktree=$(realpath "$worktree")
  own_worktree=0
fi
if [[ -n $(git -C "$worktree" status --porcelain --untracked-files=no) ]]; then
  echo "worktree $worktree has changes; refusing to mutate it" >&2
  exit 2
fi
cleanup() {
  git -C "$worktree" checkout -- . 2>/dev/null || true
  if ((own_worktree)); then
    git -C "$repo" worktree remove --force "$worktree" || true
  fi
}
trap cleanup EXIT
build=$worktree/build

# ---- the mutant finder and applier -----------------------------------------
cat >"$work/mutants.py" <<'PY'
"""list ROOT SEED FOLDER...: keep every mutant in mutants.json and
print 'id folder file line' in sample order.  apply ROOT ID: make mutant ID
in the tree at ROOT and print 'file<TAB>file:line: old -> new'."""
import json, random, re, sys
from pathlib import Path

SWAP = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">",
        "&&": "||", "||": "&&"}
OPERATOR = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s|$)")
BOOLEAN = re.compile(r"\b(true|false)\b")
INTEGER = re.compile(r"(?<![\w.'])(\d+)(?=[uUlL]*(?![\w.']))")
CALL_START = re.compile(r"^\s*(?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*\s*\(")
KEYWORDS = re.compile(r"^\s*(if|for|while|switch|return|catch|sizeof|"
                      r"static_assert|assert|\w+_cast)\b")
RETURN = re.compile(r"^(\s*return\s+)(.*)$")
LITERAL = re.compile(r"^(true|false|nullptr|-?\d+\w*|\".*\"|\{.*\})$")


def mask(lines):
    """Each line with comments, string and character literals blanked out,
    columns kept, so that operators are only found in code."""
    out, state, raw_end = [], None, ""
    for line in lines:
        text, i = list(line), 0
        while i < len(line):
            if state == "block":
                if line.startswith("*/", i):
                    text[i:i + 2] = "  "
                    state, i = None, i + 2
                    continue
                text[i] = " "
            elif state == "raw":
                if line.startswith(raw_end, i):
                    state, i = None, i + len(raw_end)
                    continue
                text[i] = " "
            elif line.startswith("//", i):
                text[i:] = " " * (len(line) - i)
                break
            elif line.startswith("/*", i):
                text[i:i + 2] = "  "
                state, i = "block", i + 2
                continue
            elif (m := re.match(r'R"([^(\s]*)\(', line[i:])):
                state, raw_end = "raw", ")" + m.group(1) + '"'
                text[i:i + m.end()] = " " * m.end()
                i += m.end()
                continue
            elif line[i] in "\"'" and not (line[i] == "'" and i and
                                            line[i - 1].isalnum()):
                quote, j = line[i], i + 1
                while j < len(line) and line[j] != quote:
                    j += 2 if line[j] == "\\" else 1
                text[i + 1:min(j, len(line))] = " " * (min(j, len(line)) - i - 1)
                i = j + 1
                continue
            i += 1
        out.append("".join(text))
    return out


def statement_end(masked, start):
    """Last line of the statement starting at line `start`, when it closes
    with ';' and its parentheses balance without going negative."""
    depth = 0
    for n in range(start, min(start + 12, len(masked))):
        for ch in masked[n]:
            depth += {"(": 1, ")": -1}.get(ch, 0)
            if depth < 0:
                return None
        if depth == 0:
            return n if masked[n].rstrip().endswith(";") else None
    return None


def skipped(line):
    s = line.strip()
    return not s or s.startswith("#") or "assert" in s


def mutants_of(path, rel):
    lines = path.read_text().split("\n")
    masked = mask(lines)
    found = []

    def add(start, end, new, kind):
        found.append({"file": rel, "start": start, "end": end, "kind": kind,
                      "old": lines[start:end + 1], "new": new})

    previous = ";"
    for n, code in enumerate(masked):
        line = lines[n]
        if skipped(code):
            continue
        for rx, swap, kind in (
                (OPERATOR, lambda t: SWAP[t], "operator"),
                (BOOLEAN, lambda t: "false" if t == "true" else "true",
                 "boolean"),
                (INTEGER, lambda t: {"0": "1", "1": "0"}.get(t, str(int(t) + 1)),
                 "constant")):
            for m in rx.finditer(code):
                add(n, n, [line[:m.start()] + swap(m.group(1)) +
                           line[m.end():]], kind)
        starts_statement = previous[-1:] in ";{}:)" or previous.endswith("else")
        end = statement_end(masked, n) if starts_statement else None
        if end is not None and CALL_START.match(code) and not KEYWORDS.match(code):
            indent = line[:len(line) - len(line.lstrip())]
            add(n, end, [indent + ";"] + [""] * (end - n), "deletion")
        ret = RETURN.match(code)
        if end is not None and ret:
            value = " ".join(masked[k].strip() for k in range(n, end + 1))
            value = value[len("return"):].rstrip(" ;").strip()
            if value and not LITERAL.match(value):
                body, cut = lines[n:end + 1], masked[end].rfind(";")
                body[-1] = body[-1][:cut] + ")" + body[-1][cut:]
                head = len(ret.group(1))
                body[0] = body[0][:head] + "!(" + body[0][head:]
                add(n, end, body, "negation")
        previous = code.strip() or previous
    return found


def describe(m):
    flat = lambda ls: re.sub(r"\s+", " ", " ".join(ls)).strip()
    old, new = flat(m["old"]), flat(m["new"])
    if m["kind"] == "deletion":
        new = "(deleted)"
    if len(old) > 110:
        old = old[:107] + "..."
    if len(new) > 110:
        new = new[:107] + "..."
    return f'{m["file"]}:{m["start"] + 1}: {old} -> {new}'


def main():
    root, store = Path(sys.argv[2]), Path(__file__).parent / "mutants.json"
    if sys.argv[1] == "list":
        seed, folders = int(sys.argv[3]), sys.argv[4:]
        everything = []
        for folder in folders:
            sample = []
            for path in sorted((root / folder).rglob("*.cc")):
                sample += mutants_of(path, str(path.relative_to(root)))
            random.Random(seed).shuffle(sample)
            for m in sample:
                m["id"], m["folder"] = len(everything), folder
                everything.append(m)
                print(m["id"], folder, m["file"], m["start"] + 1)
        store.write_text(json.dumps(everything))
    elif sys.argv[1] == "apply":
        m = json.loads(store.read_text())[int(sys.argv[3])]
        path = root / m["file"]
        lines = path.read_text().split("\n")
        assert lines[m["start"]:m["end"] + 1] == m["old"], "source moved"
        lines[m["start"]:m["end"] + 1] = m["new"]
        path.write_text("\n".join(lines))
        print(m["file"], describe(m), sep="\t")


main()
PY
mutants() { python3 "$work/mutants.py" "$@"; }

# ---- build and baseline -----------------------------------------------------
echo "== build in $build"
cmake -S "$worktree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQZCC_BENCH=OFF -DQZCC_EXAMPLES=OFF >>"$log"
cmake --build "$build" -j2 >>"$log" 2>&1

tests=(ctest --test-dir "$build" -j2 --timeout "$test_timeout")
echo "== baseline"
"${tests[@]}" -E Packaging >>"$log" 2>&1 ||
  { echo "the unmutated tree fails its tests; see $log" >&2; exit 1; }
# Tests that took over a second run only once the quick ones all pass.
slow=$(awk '$3 > 1 { printf "%s%s", sep, $1; sep = "|" }' \
  "$build/Testing/Temporary/CTestCostData.txt")
slow=${slow:-^$}
echo "slow tests, run last: $slow" >>"$log"

# Prints killed, timeout, survived or stillborn for the mutant in place.
verdict() {
  local out=$work/mutant.out
  if ! cmake --build "$build" -j2 >"$out" 2>&1; then
    cat "$out" >>"$log"
    # A test program that fails while its tests are being listed is killed.
    if grep -q ': error: ' "$out"; then echo stillborn; else echo killed; fi
    return
  fi
  local rc=0
  timeout -k 10 900 "${tests[@]}" --stop-on-failure -E "Packaging|$slow" \
      >"$out" 2>&1 &&
    timeout -k 10 900 "${tests[@]}" --stop-on-failure -R "$slow" \
      -E Packaging >>"$out" 2>&1 || rc=$?
  if ((rc == 0)); then
    echo survived
  elif ((rc == 124)) || grep -q '\*\*\*Timeout' "$out"; then
    echo timeout
  else
    echo killed
  fi
  grep -E 'tests passed|\(Failed\)|Timeout|SEGFAULT|Exception' "$out" >>"$log" || true
}

# ---- the sample -------------------------------------------------------------
mutants list "$worktree" "$seed" "${folders[@]}" >"$work/order"
results=$work/results
: >"$results"
for folder in "${folders[@]}"; do
  mapfile -t order < <(awk -v f="$folder" '$2 == f { print $1 }' "$work/order")
  taken=0 built=0
  # Take what is still missing, run it grouped by file so that a file is
  # rebuilt once for its mutants, and top up for the stillborn.
  while ((built < per_folder && taken < ${#order[@]})); do
    batch=("${order[@]:taken:per_folder - built}")
    taken=$((taken + ${#batch[@]}))
    awk -v ids=" ${batch[*]} " 'index(ids, " " $1 " ")' "$work/order" |
      sort -k3,3 -k4,4n | cut -d' ' -f1 >"$work/batch"
    while read -r id; do
      IFS=$'\t' read -r file what < <(mutants apply "$worktree" "$id")
      echo "-- $what" >>"$log"
      result=$(verdict)
      git -C "$worktree" checkout -- "$file"
      [[ $result == stillborn ]] || built=$((built + 1))
      printf '%s\t%s\t%s\n' "$folder" "$result" "$what" >>"$results"
      printf '[%s %d/%d %ds] %-9s %s\n' "$folder" "$built" "$per_folder" \
        $((SECONDS - started)) "$result" "$what"
    done <"$work/batch"
  done
done

# ---- report -----------------------------------------------------------------
echo
for folder in "${folders[@]}"; do
  awk -F'\t' -v f="$folder" '
    $1 != f { next }
    $2 == "stillborn" { stillborn++; next }
    { mutants++ }
    $2 == "killed" || $2 == "timeout" { killed++ }
    $2 == "timeout" { timeouts++ }
    $2 == "survived" { survivors[++survived] = $3 }
    END {
      printf "%s/: %d mutants, %d killed (%d by timeout), %d survived, " \
             "kill rate %.1f%% (%d stillborn not counted)\n", f, mutants,
             killed, timeouts, survived, mutants ? 100 * killed / mutants : 0,
             stillborn
      for (i = 1; i <= survived; i++) print "  survived: " survivors[i]
    }' "$results"
done
if [[ -n $(git -C "$worktree" status --porcelain --untracked-files=no) ]]; then
  echo "worktree left changed!" >&2
  exit 1
fi
echo "time: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
