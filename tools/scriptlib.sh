# Shell helpers shared by the demo and the Windows test, both bash scripts
# that define `fail` (report and exit), `wait_limit` (seconds) and an array
# `pids` of background processes to end.

# Waits until a command succeeds, at most wait_limit seconds.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + wait_limit))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "no $what within $wait_limit s"
        sleep 0.2
    done
}

# Serves a published tree with nginx on a free loopback port: start_nginx
# DIR TREE writes nginx's files below DIR, starts it in the background,
# appends its pid to `pids` and sets `server` to its address and
# `nginx_pid`. A port taken in the meantime by another program is tried
# again, five times at most; false when nginx does not answer.
start_nginx_once() {
    local dir=$1 tree=$2 port
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p "$dir"
    cat > "$dir/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
    access_log $dir/access.log;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    types { text/plain txt ZUV; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $tree;
    }
}
EOF
    nginx -p "$dir" -c "$dir/nginx.conf" 2>>"$dir/error.log" &
    nginx_pid=$!
    pids+=("$nginx_pid")
    server=http://127.0.0.1:$port
    local deadline=$((SECONDS + 10))
    until curl -sf -o /dev/null "$server/ZUVUpdater/TheOrvik//FW.ZUV"; do
        if ! kill -0 "$nginx_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            kill "$nginx_pid" 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
}

start_nginx() {
    local attempt
    for attempt in 1 2 3 4 5; do
        start_nginx_once "$@" && return 0
    done
    return 1
}
