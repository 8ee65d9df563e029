#!/usr/bin/env bash
# Side-by-side benchmark of travine and other SMTP clients against local
# sinks on 127.0.0.1: Postfix's smtp-sink for plain SMTP and bench/tls_sink
# for implicit TLS, both pinned to one core with every client pinned to the
# other. Prints the tables of bench/report.py and the micro-benchmarks.
#
#   bash bench/run.sh
#
# Environment (all optional): TRAVINE_BENCH_BUILD (build directory, default
# build-bench), BENCH_REPEAT (timed runs per client and workload, default 7;
# medians are reported), BENCH_SINK_CPU / BENCH_CLIENT_CPU (default 0 / 1).
# Missing Debian packages are installed when run as root; Postfix's
# smtp-sink and smtp-source are unpacked from the postfix package into the
# build directory unless installed (the MTA itself is never installed or
# started). Every run has a time limit and both sinks are stopped at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TRAVINE_BENCH_BUILD:-$ROOT/build-bench}
BIN=$BUILD/bench
REPEAT=${BENCH_REPEAT:-7}
SINK_CPU=${BENCH_SINK_CPU:-0}
CLIENT_CPU=${BENCH_CLIENT_CPU:-1}

N_SESSION=2000     # (a), (d): messages in one session
N_ONESHOT=200      # (b): one-shot sends
BODY=256           # body bytes of the small messages
BIG=20000000       # (c): body bytes of the big message
N_TRACE=200        # strace: N and 2N messages, the difference per message
N_GRIND=100        # valgrind: N and 2N messages
N_RTT=20000        # loopback round trips

WORK=$(mktemp -d /tmp/travine-bench.XXXXXX)
mkdir -p "$WORK/strace" "$WORK/grind"
RESULTS=$WORK/results.tsv
NOTES=$WORK/notes.txt
ERRORS=$WORK/errors.log
: >"$RESULTS"
: >"$NOTES"
PIDS=()

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

note() { echo "$*" | tee -a "$NOTES" >&2; }
step() { echo "== $*" >&2; }

# ---- What the run needs --------------------------------------------------
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        step "installing ${missing[*]}"
        apt-get install -y -q "${missing[@]}" >"$WORK/apt.log" 2>&1 ||
            { apt-get update -q >>"$WORK/apt.log" 2>&1 &&
              apt-get install -y -q "${missing[@]}" >>"$WORK/apt.log" 2>&1; } ||
            note "could not install ${missing[*]} (see apt-get): those parts are skipped"
    else
        note "missing Debian packages ${missing[*]}: those parts are skipped"
    fi
}
need_packages cmake g++ libssl-dev openssl python3 strace valgrind libbenchmark-dev \
    libcurl4-openssl-dev libpoco-dev

# smtp-sink and smtp-source: installed, or unpacked from the postfix package.
if command -v smtp-sink >/dev/null && command -v smtp-source >/dev/null; then
    SMTP_SINK=$(command -v smtp-sink)
    SMTP_SOURCE=$(command -v smtp-source)
else
    PF=$BUILD/postfix-tools
    if [ ! -x "$PF/usr/sbin/smtp-sink" ]; then
        step "unpacking smtp-sink and smtp-source from the postfix package"
        mkdir -p "$PF"
        (cd "$WORK" && { apt-get download postfix >/dev/null 2>&1 ||
            { apt-get update -q >/dev/null 2>&1 && apt-get download postfix >/dev/null 2>&1; }; } &&
            dpkg-deb -x postfix_*.deb "$PF")
    fi
    SMTP_SINK=$PF/usr/sbin/smtp-sink
    SMTP_SOURCE=$PF/usr/sbin/smtp-source
    # Their shared libraries; no other program here has libraries of these
    # names, so the path can stay set for everything (valgrind included).
    export LD_LIBRARY_PATH=$PF/usr/lib/postfix${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi
[ -x "$SMTP_SINK" ] || { echo "run.sh: smtp-sink is not available" >&2; exit 1; }

# ---- Build ---------------------------------------------------------------
step "building in $BUILD (Release)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRAVINE_BUILD_BENCH=ON \
    >"$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log" >&2; exit 1; }
TARGETS=(travine travine_client floor_client pingpong measure tls_sink)
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >"$WORK/build.log" 2>&1 ||
    { tail -30 "$WORK/build.log" >&2; exit 1; }
for t in curl_client poco_client micro_bench; do
    cmake --build "$BUILD" -j2 --target "$t" >>"$WORK/build.log" 2>&1 ||
        note "$t could not be built: skipped"
done
TRAVINE_SEND=
if cmake --build "$BUILD" -j2 --target travine-send >>"$WORK/build.log" 2>&1 &&
    [ -x "$BUILD/tools/travine-send" ]; then
    TRAVINE_SEND=$BUILD/tools/travine-send
else
    note "travine-send is not built here: (b) runs without it"
fi

have() {
    case $1 in
        curl) [ -x "$BIN/curl_client" ] ;;
        poco) [ -x "$BIN/poco_client" ] ;;
        python) [ -x /usr/bin/python3 ] ;;
        smtp_source) [ -x "$SMTP_SOURCE" ] ;;
        travine_send) [ -n "$TRAVINE_SEND" ] ;;
        *) true ;;
    esac
}

# ---- Sinks ---------------------------------------------------------------
free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
    local i
    for i in $(seq 50); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "run.sh: nothing listens on 127.0.0.1:$1" >&2
    exit 1
}

PORT=$(free_port)
TLS_PORT=$(free_port)
SINK_USER=()
[ "$(id -u)" -eq 0 ] && SINK_USER=(-u nobody)
# -a: no AUTH, -p: no PIPELINING, so every client talks lock-step.
step "smtp-sink on 127.0.0.1:$PORT (core $SINK_CPU), tls_sink on 127.0.0.1:$TLS_PORT"
timeout 3600 taskset -c "$SINK_CPU" "$SMTP_SINK" "${SINK_USER[@]}" -a -p -4 \
    "127.0.0.1:$PORT" 256 >"$WORK/smtp-sink.log" 2>&1 &
PIDS+=($!)
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
timeout 3600 taskset -c "$SINK_CPU" "$BIN/tls_sink" "$TLS_PORT" "$WORK/cert.pem" \
    "$WORK/key.pem" 3600 >"$WORK/tls_sink.log" 2>&1 &
PIDS+=($!)
wait_port "$PORT"
wait_port "$TLS_PORT"

# ---- Clients ---------------------------------------------------------------
# client_cmd CLIENT MODE PORT COUNT BODY [tls]: sets CMD to the command that
# sends COUNT messages of BODY bytes, MODE session (one connection) or
# oneshot (one connection per message). EXTERNAL is 1 when the command does
# not time itself (it then runs under bench/measure).
client_cmd() {
    local client=$1 mode=$2 port=$3 count=$4 body=$5
    local tls=("${@:6}")
    EXTERNAL=0
    case $client in
        travine)
            local m=session
            [ "$mode" = oneshot ] && m=email
            CMD=("$BIN/travine_client" "$m" "$port" "$count" "$body" "${tls[@]}") ;;
        floor) CMD=("$BIN/floor_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        curl) CMD=("$BIN/curl_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        poco) CMD=("$BIN/poco_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        python)
            CMD=(/usr/bin/python3 "$ROOT/bench/python_client.py" "$mode" "$port" "$count" "$body"
                 "${tls[@]}") ;;
        smtp_source)
            local keep=(-d)
            [ "$mode" = oneshot ] && keep=()
            CMD=("$SMTP_SOURCE" "${keep[@]}" -m "$count" -l "$body" -f a@bench.test
                 -t b@bench.test -M bench.test "127.0.0.1:$port")
            EXTERNAL=1 ;;
        travine_send)
            CMD=(bash -c 'for ((i = 0; i < $1; i++)); do
                              "$2" --server 127.0.0.1 --port "$3" --from a@bench.test \
                                   --to b@bench.test --subject bench --body "$4" || exit 1
                          done' _ "$count" "$TRAVINE_SEND" "$port" "$(head -c "$body" /dev/zero | tr '\0' b)")
            EXTERNAL=1 ;;
    esac
}

# timed SECTION CLIENT MODE PORT COUNT BODY [tls]: one timed run, pinned;
# appends SECTION, CLIENT and the RESULT fields to results.tsv.
timed() {
    local section=$1 client=$2
    shift 2
    client_cmd "$client" "$@"
    local run=("${CMD[@]}")
    [ "$EXTERNAL" = 1 ] && run=("$BIN/measure" "$3" "${CMD[@]}")
    local out
    if out=$(timeout 600 taskset -c "$CLIENT_CPU" "${run[@]}" 2>>"$ERRORS" | grep '^RESULT '); then
        printf '%s\t%s\t%s\t%s\n' "$section" "$client" "${out#RESULT }" "$ROUND" |
            tr ' ' '\t' >>"$RESULTS"
    else
        note "$section: $client failed (see below)"
        tail -3 "$ERRORS" >&2
    fi
}

# series SECTION MODE PORT COUNT BODY [tls] -- CLIENT...: REPEAT rounds, each
# running every client once, so that slow phases of the machine hit all.
series() {
    local args=() clients=()
    while [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    local c
    for c in "$@"; do have "$c" && clients+=("$c"); done
    for ROUND in $(seq "$REPEAT"); do
        for c in "${clients[@]}"; do
            timed "${args[0]}" "$c" "${args[@]:1}"
        done
    done
}

# travine and the floor run next to each other, so that the ratio of the two
# within a round sees the same state of the machine.
SESSION_CLIENTS=(travine floor smtp_source curl poco python)
ROUND=0

step "loopback round trip ($N_RTT one-byte ping-pongs, cores $SINK_CPU and $CLIENT_CPU)"
for r in $(seq 3); do
    out=$(timeout 120 "$BIN/pingpong" "$N_RTT" "$SINK_CPU" "$CLIENT_CPU" | grep '^RESULT ')
    printf 'rtt\tpingpong\t%s\t%s\n' "${out#RESULT }" "$r" | tr ' ' '\t' >>"$RESULTS"
done

step "(a) one session of $N_SESSION messages, $REPEAT rounds"
series a session "$PORT" "$N_SESSION" "$BODY" -- "${SESSION_CLIENTS[@]}"

step "(b) $N_ONESHOT one-shot sends"
series b oneshot "$PORT" "$N_ONESHOT" "$BODY" -- travine floor travine_send smtp_source curl poco python

step "(c) one message of $BIG bytes"
series c session "$PORT" 1 "$BIG" -- travine floor smtp_source curl poco python

step "(d) one session of $N_SESSION messages over implicit TLS"
series d session "$TLS_PORT" "$N_SESSION" "$BODY" tls -- travine floor curl poco python

# ---- System calls and instructions per message -----------------------------
step "system calls per message (strace -c -f, $N_TRACE and $((2 * N_TRACE)) messages)"
for c in "${SESSION_CLIENTS[@]}"; do
    have "$c" || continue
    for n in "$N_TRACE" $((2 * N_TRACE)); do
        client_cmd "$c" session "$PORT" "$n" "$BODY"
        timeout 600 taskset -c "$CLIENT_CPU" strace -f -c -o "$WORK/strace/$c.$n.txt" \
            "${CMD[@]}" >/dev/null 2>>"$ERRORS" || note "strace: $c failed"
    done
done

step "user-space instructions per message (valgrind cachegrind, $N_GRIND and $((2 * N_GRIND)) messages)"
for c in "${SESSION_CLIENTS[@]}"; do
    have "$c" || continue
    for n in "$N_GRIND" $((2 * N_GRIND)); do
        client_cmd "$c" session "$PORT" "$n" "$BODY"
        timeout 900 taskset -c "$CLIENT_CPU" valgrind --tool=cachegrind --cache-sim=no \
            --cachegrind-out-file=/dev/null "${CMD[@]}" >/dev/null 2>"$WORK/grind/$c.$n.txt" ||
            note "valgrind: $c failed"
    done
done

# ---- Report ------------------------------------------------------------------
step "report"
/usr/bin/python3 "$ROOT/bench/report.py" "$WORK" "$N_TRACE" "$N_GRIND" "$BODY" "$BIG"
if [ -s "$NOTES" ]; then
    echo
    echo "Notes:"
    sed 's/^/  /' "$NOTES"
fi
if [ -x "$BIN/micro_bench" ]; then
    echo
    echo "Micro-benchmarks (bench/micro_bench, Google Benchmark):"
    timeout 300 taskset -c "$CLIENT_CPU" "$BIN/micro_bench" --benchmark_min_time=0.2 2>/dev/null
fi
