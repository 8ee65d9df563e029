#!/usr/bin/env bash
# Side-by-side benchmark of travine and other SMTP clients against local
# sinks on 127.0.0.1: Postfix's smtp-sink for plain SMTP (lock-step, and with
# PIPELINING behind a relay that delays every chunk), and bench/tls_sink for
# implicit TLS and STARTTLS, the sinks pinned to one core with every client
# pinned to the other. Prints the tables of bench/report.py, the summary and
# the micro-benchmarks.
#
#   bash bench/run.sh
#
# Environment (all optional): TRAVINE_BENCH_BUILD (build directory, default
# build-bench), BENCH_REPEAT (timed runs per client and workload, default 5;
# medians are reported), BENCH_SINK_CPU / BENCH_CLIENT_CPU (default 0 / 1).
# bench/setup.sh installs the Debian packages the peers come from (as root)
# and unpacks smtp-sink and smtp-source from the postfix package into the
# build directory (the MTA itself is never installed or started). Every run
# has a time limit and every sink is stopped at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TRAVINE_BENCH_BUILD:-$ROOT/build-bench}
BIN=$BUILD/bench
REPEAT=${BENCH_REPEAT:-5}
SINK_CPU=${BENCH_SINK_CPU:-0}
CLIENT_CPU=${BENCH_CLIENT_CPU:-1}

N_SESSION=2000     # (a), (d), (e): messages in one session
N_RELAY=200        # (p): messages through the delaying relay
DELAY_MS=2         # (p): the relay's delay in each direction
N_ONESHOT=200      # (b): one-shot sends in one process
N_PROC=100         # (f): processes, one message each
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
bash "$ROOT/bench/setup.sh" "$BUILD"
if command -v smtp-sink >/dev/null && command -v smtp-source >/dev/null; then
    SMTP_SINK=$(command -v smtp-sink)
    SMTP_SOURCE=$(command -v smtp-source)
else
    PF=$BUILD/postfix-tools
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
TARGETS=(travine travine_client email_client floor_client pingpong measure tls_sink delay_relay)
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >"$WORK/build.log" 2>&1 ||
    { tail -30 "$WORK/build.log" >&2; exit 1; }
for t in curl_client poco_client esmtp_client micro_bench; do
    cmake --build "$BUILD" -j2 --target "$t" >>"$WORK/build.log" 2>&1 ||
        note "$t could not be built: skipped"
done
TRAVINE_SEND=
if cmake --build "$BUILD" -j2 --target travine-send >>"$WORK/build.log" 2>&1 &&
    [ -x "$BUILD/tools/travine-send" ]; then
    TRAVINE_SEND=$BUILD/tools/travine-send
else
    note "travine-send is not built here: (f) runs without it"
fi

have() {
    case $1 in
        curl) [ -x "$BIN/curl_client" ] ;;
        poco) [ -x "$BIN/poco_client" ] ;;
        esmtp) [ -x "$BIN/esmtp_client" ] ;;
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
on_sink_cpu() { timeout 3600 taskset -c "$SINK_CPU" "$@"; }

PORT=$(free_port)        # smtp-sink -a -p: lock-step
PIPE_PORT=$(free_port)   # smtp-sink -a: offers PIPELINING
RELAY_PORT=$(free_port)  # the relay in front of PIPE_PORT
TLS_PORT=$(free_port)    # tls_sink, implicit TLS
STLS_PORT=$(free_port)   # tls_sink, STARTTLS
SINK_USER=()
[ "$(id -u)" -eq 0 ] && SINK_USER=(-u nobody)
step "sinks on 127.0.0.1 (core $SINK_CPU): smtp-sink $PORT, smtp-sink with PIPELINING $PIPE_PORT" \
    "behind a ${DELAY_MS} ms relay $RELAY_PORT, tls_sink $TLS_PORT (implicit TLS), $STLS_PORT (STARTTLS)"
# -a: no AUTH, -p: no PIPELINING, so every client talks lock-step.
on_sink_cpu "$SMTP_SINK" "${SINK_USER[@]}" -a -p -4 "127.0.0.1:$PORT" 256 \
    >"$WORK/smtp-sink.log" 2>&1 &
PIDS+=($!)
on_sink_cpu "$SMTP_SINK" "${SINK_USER[@]}" -a -4 "127.0.0.1:$PIPE_PORT" 256 \
    >"$WORK/smtp-sink-pipe.log" 2>&1 &
PIDS+=($!)
on_sink_cpu "$BIN/delay_relay" "$RELAY_PORT" "$PIPE_PORT" "$DELAY_MS" 3600 \
    >"$WORK/relay.log" 2>&1 &
PIDS+=($!)
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
on_sink_cpu "$BIN/tls_sink" "$TLS_PORT" "$WORK/cert.pem" "$WORK/key.pem" 3600 \
    >"$WORK/tls_sink.log" 2>&1 &
PIDS+=($!)
on_sink_cpu "$BIN/tls_sink" "$STLS_PORT" "$WORK/cert.pem" "$WORK/key.pem" 3600 starttls \
    >"$WORK/stls_sink.log" 2>&1 &
PIDS+=($!)
for p in "$PORT" "$PIPE_PORT" "$RELAY_PORT" "$TLS_PORT" "$STLS_PORT"; do
    wait_port "$p"
done

# ---- Clients ---------------------------------------------------------------
# client_cmd CLIENT MODE PORT COUNT BODY [tls|starttls]: sets CMD to the
# command that sends COUNT messages of BODY bytes, MODE session (one
# connection) or oneshot (one connection per message). EXTERNAL is 1 when the
# command does not time itself (it then runs under bench/measure).
# travine_pipe is travine with PIPELINING asked for, travine_file travine
# sending its text from a file, floor_file the floor streaming its text from
# a file in 64 KiB writes; travine_c is a C host calling email() (one-shot
# only).
client_cmd() {
    local client=$1 mode=$2 port=$3 count=$4 body=$5
    local tls=("${@:6}")
    EXTERNAL=0
    case $client in
        travine | travine_pipe | travine_file)
            local m=session
            [ "$client" = travine_pipe ] && m=pipeline
            [ "$client" = travine_file ] && m=file
            [ "$mode" = oneshot ] && m=email
            CMD=("$BIN/travine_client" "$m" "$port" "$count" "$body" "${tls[@]}") ;;
        travine_c) CMD=("$BIN/email_client" "$port" "$count" "$body" "${tls[@]}") ;;
        floor) CMD=("$BIN/floor_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        floor_file) CMD=("$BIN/floor_client" file "$port" "$count" "$body" "${tls[@]}") ;;
        curl) CMD=("$BIN/curl_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        poco) CMD=("$BIN/poco_client" "$mode" "$port" "$count" "$body" "${tls[@]}") ;;
        esmtp) CMD=("$BIN/esmtp_client" "$mode" "$port" "$count" "$body") ;;
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
            CMD=("$TRAVINE_SEND" --server 127.0.0.1 --port "$port" --from a@bench.test
                 --to b@bench.test --subject bench --body "$(head -c "$body" /dev/zero | tr '\0' b)")
            EXTERNAL=1 ;;
    esac
}

# record SECTION CLIENT COMMAND...: one timed run of COMMAND, pinned; appends
# SECTION, CLIENT, the RESULT fields and the round to results.tsv.
record() {
    local section=$1 client=$2
    shift 2
    local out
    if out=$(timeout 600 taskset -c "$CLIENT_CPU" "$@" 2>>"$ERRORS" | grep '^RESULT '); then
        printf '%s\t%s\t%s\t%s\n' "$section" "$client" "${out#RESULT }" "$ROUND" |
            tr ' ' '\t' >>"$RESULTS"
    else
        note "$section: $client failed (see below)"
        tail -3 "$ERRORS" >&2
    fi
}

# timed SECTION CLIENT MODE PORT COUNT BODY [tls]: one timed run of a client.
timed() {
    local section=$1 client=$2
    shift 2
    client_cmd "$client" "$@"
    if [ "$EXTERNAL" = 1 ]; then
        record "$section" "$client" "$BIN/measure" "$3" "${CMD[@]}"
    else
        record "$section" "$client" "${CMD[@]}"
    fi
}

# per_process SECTION CLIENT PORT COUNT BODY: COUNT processes, one message each.
per_process() {
    local section=$1 client=$2 port=$3 count=$4 body=$5
    client_cmd "$client" oneshot "$port" 1 "$body"
    record "$section" "$client" "$BIN/measure" -n "$count" "$count" "${CMD[@]}"
}

# series SECTION RUNNER ARGS... -- CLIENT...: REPEAT rounds, each running every
# client once (RUNNER SECTION CLIENT ARGS...), so that slow phases of the
# machine hit all. The first two clients (travine and the floor) swap places
# every other round, so that neither always runs first.
series() {
    local section=$1 runner=$2 args=() clients=()
    shift 2
    while [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    local c
    for c in "$@"; do have "$c" && clients+=("$c"); done
    for ROUND in $(seq "$REPEAT"); do
        local order=("${clients[@]}")
        if [ $((ROUND % 2)) = 0 ] && [ ${#order[@]} -ge 2 ]; then
            order[0]=${clients[1]}
            order[1]=${clients[0]}
        fi
        for c in "${order[@]}"; do
            "$runner" "$section" "$c" "${args[@]}"
        done
    done
}

# travine and the floor run next to each other, so that the ratio of the two
# within a round sees the same state of the machine.
SESSION_CLIENTS=(travine floor smtp_source curl poco esmtp python)
ROUND=0

step "machine load before: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes)"
printf 'load\tbefore\t%s\n' "$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '\t')" >>"$RESULTS"

step "loopback round trip ($N_RTT one-byte ping-pongs, cores $SINK_CPU and $CLIENT_CPU)"
for r in $(seq 3); do
    out=$(timeout 120 "$BIN/pingpong" "$N_RTT" "$SINK_CPU" "$CLIENT_CPU" | grep '^RESULT ')
    printf 'rtt\tpingpong\t%s\t%s\n' "${out#RESULT }" "$r" | tr ' ' '\t' >>"$RESULTS"
done

step "(a) one session of $N_SESSION messages, $REPEAT rounds"
series a timed session "$PORT" "$N_SESSION" "$BODY" -- "${SESSION_CLIENTS[@]}"

step "(p) $N_RELAY messages through the ${DELAY_MS} ms relay to a sink that offers PIPELINING"
series p timed session "$RELAY_PORT" "$N_RELAY" "$BODY" -- \
    travine_pipe floor travine esmtp curl poco python

step "(b) $N_ONESHOT one-shot sends in one process"
series b timed oneshot "$PORT" "$N_ONESHOT" "$BODY" -- travine floor smtp_source curl poco esmtp python

step "(f) $N_PROC processes, one message each"
series f per_process "$PORT" "$N_PROC" "$BODY" -- \
    travine floor travine_c esmtp poco curl smtp_source travine_send python

step "(c) one message of $BIG bytes"
series c timed session "$PORT" 1 "$BIG" -- travine_file floor_file travine floor smtp_source curl poco python
series c_small timed session "$PORT" 1 "$((BIG / 10))" -- travine_file travine

step "(d) one session of $N_SESSION messages over implicit TLS"
series d timed session "$TLS_PORT" "$N_SESSION" "$BODY" tls -- travine floor curl poco python

step "(e) one session of $N_SESSION messages over STARTTLS"
series e timed session "$STLS_PORT" "$N_SESSION" "$BODY" starttls -- travine floor curl poco python

step "machine load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'load\tafter\t%s\n' "$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '\t')" >>"$RESULTS"

# ---- System calls and instructions per message -----------------------------
step "system calls per message (strace -c -f, $N_TRACE and $((2 * N_TRACE)) messages)"
for c in "${SESSION_CLIENTS[@]}" travine_pipe; do
    have "$c" || continue
    port=$PORT
    [ "$c" = travine_pipe ] && port=$PIPE_PORT
    for n in "$N_TRACE" $((2 * N_TRACE)); do
        client_cmd "$c" session "$port" "$n" "$BODY"
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

step "instructions of one process that sends one message (valgrind cachegrind)"
for c in travine travine_c floor esmtp; do
    have "$c" || continue
    client_cmd "$c" oneshot "$PORT" 1 "$BODY"
    timeout 900 taskset -c "$CLIENT_CPU" valgrind --tool=cachegrind --cache-sim=no \
        --cachegrind-out-file=/dev/null "${CMD[@]}" >/dev/null 2>"$WORK/grind/$c.process.txt" ||
        note "valgrind: $c failed"
done

# ---- Report ------------------------------------------------------------------
step "report"
/usr/bin/python3 "$ROOT/bench/report.py" "$WORK" "$N_TRACE" "$N_GRIND" "$BODY" "$BIG" "$DELAY_MS"
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
