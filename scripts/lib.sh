# Shell helpers shared by the project's scripts: messages, a throw-away test
# PKI and the aiosmtpd test server on 127.0.0.1. Source it after setting
# `work` (a scratch directory) and `root` (the repository).

fail() {
    echo "$(basename "$0" .sh): FAIL: $*" >&2
    exit 1
}
step() { echo "-- $*"; }
# Runs a command quietly; shows its output when it fails.
quiet() {
    if ! "$@" >"$work/last.log" 2>&1; then
        cat "$work/last.log" >&2
        fail "$*"
    fi
}

# Makes a CA (DIR/ca.pem), a server key and certificate signed by it
# (DIR/server.key, DIR/server.pem, CN=localhost, for the name localhost and
# the address 127.0.0.1, so that clients checking host names accept it) and
# a CA that signed nothing (DIR/other.pem). Each lives one day.
make_test_pki() {
    local dir=$1
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    mkdir -p "$dir"
    quiet openssl req -x509 "${ec[@]}" -days 1 -subj "/O=travine test/CN=travine test CA" \
        -keyout "$dir/ca.key" -out "$dir/ca.pem"
    quiet openssl req "${ec[@]}" -subj "/O=travine test/CN=localhost" \
        -keyout "$dir/server.key" -out "$dir/server.csr"
    echo "subjectAltName=DNS:localhost,IP:127.0.0.1" >"$dir/server.ext"
    quiet openssl x509 -req -days 1 -in "$dir/server.csr" -CA "$dir/ca.pem" \
        -CAkey "$dir/ca.key" -CAcreateserial -extfile "$dir/server.ext" -out "$dir/server.pem"
    quiet openssl req -x509 "${ec[@]}" -days 1 -subj "/CN=unrelated CA" \
        -keyout "$dir/other.key" -out "$dir/other.pem"
}

# Starts tests/integration/smtpd_server.py with the given options (--mode,
# --cert, --key, --auth, ...) and a fresh message directory. Sets
# server_pid, port and mail (where message N is stored as $mail/N). The
# server runs until stop_smtpd closes its standard input.
server_pid=
start_smtpd() {
    stop_smtpd
    /usr/bin/python3 -c 'import aiosmtpd.controller' 2>/dev/null ||
        fail "/usr/bin/python3 cannot import aiosmtpd (apt-get install python3-aiosmtpd)"
    mail=$(mktemp -d "$work/mail.XXXXXX")
    rm -f "$work/server.in" "$work/server.port"
    mkfifo "$work/server.in"
    exec 3<>"$work/server.in"
    /usr/bin/python3 "$root/tests/integration/smtpd_server.py" --dir "$mail" "$@" \
        <"$work/server.in" >"$work/server.port" 2>"$work/server.err" &
    server_pid=$!
    for _ in $(seq 100); do
        [[ -s $work/server.port ]] && break
        sleep 0.1
    done
    port=$(head -n1 "$work/server.port")
    [[ $port =~ ^[0-9]+$ ]] || { cat "$work/server.err" >&2; fail "the server reported no port"; }
}

stop_smtpd() {
    if [[ -n $server_pid ]]; then
        exec 3>&- || true
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
