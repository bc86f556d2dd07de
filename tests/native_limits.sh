#!/bin/sh
# Native code under tight limits: compiling must never end the run. Under
# every memory limit (ulimit -v) and stack limit (ulimit -s) at which the
# threaded replay finishes a program, native code and the default path must
# finish it too, with the same output, diagnostics and status: a loop that
# cannot have memory for compiling, or room for its stack frame, runs on the
# threaded replay instead.
#   usage: native_limits.sh RILL
# Exits 77 (skipped) where no limit lets the threaded replay finish, as under
# the sanitizers, which need far more address space than any limit here.
set -u
rill=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# Statement lists are kept under the parser's depth by blocks of 1000.
# blocks COUNT STATEMENT: the statement COUNT times, N its index.
blocks() {
    awk -v n="$1" -v s="$2" 'BEGIN {
        for (i = 0; i < n; i++) {
            if (i % 1000 == 0) print "if (1 == 1) {"
            t = s; gsub(/N/, i, t); gsub(/K/, i % 7, t); print t
            if (i % 1000 == 999) print "};"
        }
    }'
}

# A hot loop of 12,000 assignments: compiling it takes more memory than
# running it on the threaded replay.
{
    printf '%s\n' 'int a, b; P("start" \n); loop (200) {'
    blocks 6000 'a = a + K; b = b + a / 3;'
    printf '%s\n' '}; P(a " " b \n);'
} > "$dir/assign.txt"

# A loop over 6,000 variables: its frame holds most of them.
{
    awk 'BEGIN { for (i = 0; i < 6000; i += 2) print "int v" i ", v" i + 1 ";" }'
    printf '%s\n' 'P("start" \n); loop (100) {'
    blocks 6000 'vN = vN + v0 + 1;'
    printf '%s\n' '}; P(v0 " " v5999 \n);'
} > "$dir/vars.txt"

# A thousand short hot loops: each is compiled, so one of them meets the
# limit at whichever step of compiling needs memory next, the holder's own
# set-up included.
{
    printf '%s\n' 'int a; dbl x;'
    awk 'BEGIN { for (i = 0; i < 1000; i++) {
        if (i % 500 == 0) print "if (1 == 1) {"
        print "loop (2000) { a = a + " i % 7 "; x = x + a / 3; };"
        if (i % 500 == 499) print "};"
    } }'
    printf '%s\n' 'P(a " " x \n);'
} > "$dir/loops.txt"

failures=0
tried=0
# run LIMIT_FLAG LIMIT PATH PROGRAM: stdout, stderr and status in one file.
# The environment is emptied: near the smallest stack limits, how much of the
# stack the caller's environment takes decides whether the dynamic loader
# itself can start rill, whatever the path.
run() {
    (
        ulimit "$1" "$2" || exit 99
        env -i RILL_REPLAY="$3" "$rill" "$4" > "$dir/out" 2> "$dir/err" < /dev/null
        echo "status $?" >> "$dir/err"
    ) 2> /dev/null
    cat "$dir/out" "$dir/err"
}

# check FLAG PROGRAM FROM STEP STEPS_AFTER_FIRST_FINISH [MARGIN]
# Within MARGIN above the smallest limit at which the threaded replay
# finishes, native code need only end the run without a signal: compiling
# takes memory of its own, so a limit that leaves the threaded replay no
# room at all may leave the native run a few pages short.
check() {
    limit=$3
    left=$5
    margin=${6:-0}
    first=
    steps=0
    while [ "$left" -gt 0 ] && [ "$steps" -lt 100 ]; do
        steps=$((steps + 1))
        # A limit counts where the threaded replay finishes three times
        # running: near the smallest stack limits it finishes now and then
        # by chance, where nothing else does.
        finished=0
        while [ "$finished" -lt 3 ]; do
            run "$1" "$limit" threaded "$2" > "$dir/threaded"
            tail -n 1 "$dir/threaded" | grep -qx "status 0" || break
            finished=$((finished + 1))
        done
        [ "$finished" -eq 3 ] && [ -z "$first" ] && first=$limit
        # Where even the threaded replay runs out, or just about, native
        # code must still end the run by itself, never by a signal.
        if { [ "$finished" -eq 0 ] && tail -n 1 "$dir/threaded" | grep -qx "status [0-9]"; } ||
            { [ "$finished" -eq 3 ] && [ "$limit" -lt $((first + margin)) ]; }; then
            run "$1" "$limit" native "$2" > "$dir/native"
            if tail -n 1 "$dir/native" | grep -q "status 1[2-9][0-9]"; then
                echo "ulimit $1 $limit, $(basename "$2"): native ended by a signal"
                tail -n 2 "$dir/native"
                failures=$((failures + 1))
            fi
        elif [ "$finished" -eq 3 ]; then
            tried=$((tried + 1))
            left=$((left - 1))
            for path in native default; do
                # Where the stack starts varies from run to run, so a run
                # this near the limit may fail once by chance; a fault of
                # native code fails every time.
                attempts=0
                while [ "$attempts" -lt 3 ]; do
                    attempts=$((attempts + 1))
                    run "$1" "$limit" "$path" "$2" > "$dir/$path"
                    cmp -s "$dir/threaded" "$dir/$path" && break
                done
                if ! cmp -s "$dir/threaded" "$dir/$path"; then
                    echo "ulimit $1 $limit, $(basename "$2"): $path differs from threaded"
                    diff "$dir/threaded" "$dir/$path" | head -n 6
                    failures=$((failures + 1))
                fi
            done
        fi
        limit=$((limit + $4))
    done
}

check -v "$dir/assign.txt" 6000 250 24
check -v "$dir/loops.txt" 5000 10 12 40
check -s "$dir/vars.txt" 8 8 12

if [ "$tried" -eq 0 ]; then
    echo "no limit let the threaded replay finish: skipped"
    exit 77
fi
echo "$tried limits tried, $failures differences"
[ "$failures" -eq 0 ]
