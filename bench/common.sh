# Helpers shared by the benchmark scripts; they expect $runs to be set.

# median PREPARE COMMAND: the median wall-clock seconds of COMMAND (run by
# the shell, whose own start-up hyperfine subtracts), PREPARE before each run.
median() {
    local prep=()
    [ -n "$1" ] && prep=(--prepare "$1")
    hyperfine -w 2 -r "$runs" "${prep[@]}" --export-json hf.json "$2" >/dev/null 2>&1 ||
        { echo "bench: failed: $2" >&2; exit 1; }
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' hf.json
}
# row WORK OURS PEER_NAME PEER GOAL
row() {
    awk -v w="$1" -v a="$2" -v n="$3" -v b="$4" -v g="$5" 'BEGIN {
        r = a / b
        printf "| %s | %.1f ms | %s: %.1f ms | %.2fx | %s %s |\n", w, a * 1000, n, b * 1000, r, g, (r <= g + 0 ? "met" : "MISSED")
    }'
}
# peak_kb COMMAND...: maximum resident set size in KB (stdin from $in)
peak_kb() {
    /usr/bin/time -v "$@" <"${in:-/dev/null}" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { print $2 }'
}
