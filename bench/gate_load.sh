#!/bin/sh
# Requests per second of the running gate over HTTPS keep-alive, beside nginx answering a constant
# JSON body over HTTPS on the same machine in the same run. Needs root (velmora run), wrk and nginx.
# Usage: bench/gate_load.sh path/to/velmora [seconds]
set -eu
binary=$(realpath "$1")
seconds=${2:-8}
work=$(mktemp -d)
gate_pid=""
nginx_conf=""
cleanup() {
    [ -n "$gate_pid" ] && kill -INT "$gate_pid" 2>/dev/null && wait "$gate_pid" 2>/dev/null || true
    [ -n "$nginx_conf" ] && nginx -c "$nginx_conf" -s stop 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
gate_port=$(free_port)
nginx_port=$(free_port)

mkdir -p "$work/Velmora"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/Velmora/tls-key.pem" -out "$work/Velmora/tls-cert.pem" \
    -days 2 -subj "/CN=Velmora - bench" >/dev/null 2>&1
thumbprint=$(openssl x509 -in "$work/Velmora/tls-cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
printf '{"version":1,"config":{"listenPort":%s,"certThumbprint":"%s"}}' "$gate_port" "$thumbprint" \
    >"$work/Velmora/gate.json"
PROGRAMDATA="$work" "$binary" run >"$work/gate.out" 2>&1 &
gate_pid=$!

hello=$(cat <<'JSON'
{"ok":true,"version":1,"machine":"bench","gateVersion":"1.18.1","rpId":"gate.velmora.net","origin":"https://gate.velmora.net","rdpPort":3389,"grantSeconds":90,"enrolledKeys":0,"enrollmentOpen":false,"protectionArmed":false}
JSON
)
nginx_conf="$work/nginx.conf"
cat >"$nginx_conf" <<EOF2
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log off;
    server {
        listen 127.0.0.1:$nginx_port ssl;
        ssl_certificate $work/Velmora/tls-cert.pem;
        ssl_certificate_key $work/Velmora/tls-key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        keepalive_requests 1000000;
        location / { default_type application/json; return 200 '$hello'; }
    }
}
EOF2
nginx -c "$nginx_conf"

for _ in $(seq 50); do
    curl -sk -X POST "https://127.0.0.1:$gate_port/v1/hello" >/dev/null 2>&1 && break
    sleep 0.1
done

cat >"$work/post.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = os.getenv("BODY") or ""
LUA

rate() {  # url body -> requests per second
    BODY="$2" wrk -t2 -c32 -d"${seconds}s" -s "$work/post.lua" "$1" 2>/dev/null |
        awk '/Requests\/sec/ {print int($2)}'
}

malformed='{"credentialId":"","authenticatorData":"","clientDataJSON":"","signature":""}'
gate_hello=$(rate "https://127.0.0.1:$gate_port/v1/hello" "")
nginx_hello=$(rate "https://127.0.0.1:$nginx_port/" "")
gate_reject=$(rate "https://127.0.0.1:$gate_port/v1/auth/finish" "$malformed")
awk -v g="$gate_hello" -v n="$nginx_hello" -v r="$gate_reject" 'BEGIN {
    printf "gate /v1/hello over HTTPS keep-alive: %d req/s, nginx constant JSON %d req/s, ratio %.2f\n", g, n, g / n
    printf "gate /v1/auth/finish rejected body: %d req/s, nginx constant JSON %d req/s, ratio %.2f\n", r, n, r / n
}'
