# Shell helpers shared by the demo and the Windows test, both bash scripts
# that define `fail` (report and exit), `wait_limit` (seconds) and an array
# `pids` of background processes to end. The window helpers also need
# `probe` (zuv-window-probe), `window` (its X id), `geometry` ("X Y WIDTH
# HEIGHT") and a function `program_alive`.

# Ends the background processes in `pids`.
stop_background() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}

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

# Finds a button twice at the same place (not in the middle of a page
# transition) and leaves its centre in $button.
stable_button() {
    local first second
    # shellcheck disable=SC2086
    first=$("$probe" find "$1" $geometry) || return 1
    sleep 0.3
    # shellcheck disable=SC2086
    second=$("$probe" find "$1" $geometry) || return 1
    [ "$first" = "$second" ] || return 1
    button=$first
}

# Clicks at "X Y" in the window.
# shellcheck disable=SC2086
click() { xdotool mousemove --window "$window" $1 click 1; }

device_page() { program_alive && stable_button check; }
# shellcheck disable=SC2086
message_page() { program_alive && ! "$probe" find check $geometry >/dev/null && stable_button lowest; }
