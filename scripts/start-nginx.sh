#!/usr/bin/env bash
# Starts Debian's nginx as a daemon on a free port of 127.0.0.1, serving ROOT,
# with its configuration, logs and pid file in WORK (stop it with
# kill "$(cat WORK/nginx.pid)"). Prints the port.
#   start-nginx.sh ROOT WORK [nolog]     (nolog: no access log, for benchmarks)
# With TLS_CERT and TLS_KEY set (PEM files) it speaks HTTPS only;
# NGINX_LOG_LEVEL=info logs refused handshakes too.
set -euo pipefail
root=$1; work=$2
access="access_log $work/access.log;"; [ "${3:-}" = nolog ] && access="access_log off;"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
user=""; [ "$(id -u)" = 0 ] && user="user root;"
tls=""; [ -n "${TLS_CERT:-}" ] && tls=" ssl; ssl_certificate $TLS_CERT; ssl_certificate_key $TLS_KEY; ssl_protocols TLSv1.2 TLSv1.3"  # workers as nobody could not read private temp folders
cat > "$work/nginx.conf" <<CONF
$user
daemon on; worker_processes 1; pid $work/nginx.pid; error_log $work/error.log ${NGINX_LOG_LEVEL:-error};
events { worker_connections 64; }
http { $access sendfile on; keepalive_requests 100000; default_type application/octet-stream;
  client_body_temp_path $work/t1; proxy_temp_path $work/t2; fastcgi_temp_path $work/t3;
  uwsgi_temp_path $work/t4; scgi_temp_path $work/t5;
  server { listen 127.0.0.1:$port$tls; root $root; } }
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
for _ in $(seq 50); do (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
echo "$port"
