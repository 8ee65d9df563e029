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
    mkdir -p "$dir"
    quiet openssl req -x509 "${ec_key[@]}" -days 1 -subj "/O=travine test/CN=travine test CA" \
        -keyout "$dir/ca.key" -out "$dir/ca.pem"
    sign_server "$dir" server localhost "DNS:localhost,IP:127.0.0.1"
    quiet openssl req -x509 "${ec_key[@]}" -days 1 -subj "/CN=unrelated CA" \
        -keyout "$dir/other.key" -out "$dir/other.pem"
}

# make_test_pki, and for tests of host-name checks, signed by the same CA:
# DIR/wrong.pem (for other.example, f*.partial.test and, as a name only,
# 127.0.0.1) and DIR/right.pem (for *.example.test), keys beside them.
make_name_pki() {
    make_test_pki "$1"
    sign_server "$1" wrong 127.0.0.1 "DNS:other.example,DNS:f*.partial.test,DNS:127.0.0.1"
    sign_server "$1" right mx.example.test "DNS:*.example.test"
}

ec_key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
# sign_server DIR NAME CN SAN: DIR/NAME.key and DIR/NAME.pem, signed by
# DIR/ca.pem for one day, with that common name and subjectAltName.
sign_server() {
    local dir=$1 name=$2
    quiet openssl req "${ec_key[@]}" -subj "/O=travine test/CN=$3" \
        -keyout "$dir/$name.key" -out "$dir/$name.csr"
    echo "subjectAltName=$4" >"$dir/$name.ext"
    quiet openssl x509 -req -days 1 -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -extfile "$dir/$name.ext" -out "$dir/$name.pem"
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
