#!/bin/bash
# The add-on's start: reads the options the Supervisor checked against config.yaml's schema from
# /data/options.json, makes the key and the certificate on the first start, and runs the service
# in the foreground (exec), so that the Supervisor's SIGTERM reaches it. Everything it keeps
# (module table, key, certificate, capture) is in /data, which outlives updates and goes into
# backups. A bad option is one line in the add-on's log saying which and why.
#   TESSEL_DATA, TESSEL_INGRESS_PEER, TESSEL_INGRESS_PORT: only tests move them.
set -euo pipefail
data=${TESSEL_DATA:-/data}
options=$data/options.json
# The Supervisor's proxy for the sidebar, and the port config.yaml's ingress_port names.
peer=${TESSEL_INGRESS_PEER:-172.30.32.2}
web_port=${TESSEL_INGRESS_PORT:-8099}

bad() { echo "option $1: $2" >&2; exit 2; }
[ -r "$options" ] || { echo "no options in $options" >&2; exit 2; }
jq -e 'type == "object"' "$options" >/dev/null 2>&1 || { echo "$options holds no options" >&2; exit 2; }
# An option's value as text; empty when it is not set.
value() { jq -r --arg key "$1" '.[$key] // empty | tostring' "$options"; }
# A true or false option; missing: its default.
flag() { jq -r --arg key "$1" --argjson default "$2" 'if has($key) then .[$key] else $default end' "$options"; }

device=$(value device)
port=$(value port)
lan_port=$(value lan_port)
baud=$(value baud)
silent_after=$(value silent_after)
capture_memory=$(value capture_memory)
port=${port:-27015}
is_port() { [[ $1 =~ ^[0-9]{1,5}$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]; }
is_port "$port" || bad port "'$port' is not a port from 1 to 65535"
if [ -n "$lan_port" ]; then
    is_port "$lan_port" || bad lan_port "'$lan_port' is not a port from 1 to 65535"
    [ "$lan_port" != "$port" ] || bad lan_port "$lan_port is port's already: the configuration tool's port needs its own"
fi
[ "$port" != "$web_port" ] || bad port "$port is the sidebar's own port"
case ${baud:=9600} in 9600|19200|38400|57600|115200) ;; *) bad baud "'$baud' is not 9600, 19200, 38400, 57600 or 115200" ;; esac
[[ ${silent_after:=24h} =~ ^[0-9]+[smhd]?$ ]] || bad silent_after "'$silent_after' is no duration such as 24h, 90m or 0"
[[ ${capture_memory:=4M} =~ ^[0-9]+([kKMG](iB)?)?$ ]] || bad capture_memory "'$capture_memory' is no size such as 4M, 512K or 0"

# The key: the one given, or one made on the first start and shown this once; only
# administrators read the add-on's log.
key_file=$data/auth-key
key=$(value key)
if [ -n "$key" ]; then
    [ "${#key}" -ge 16 ] || bad key "it has ${#key} characters; the service needs at least 16"
    (umask 077; printf '%s\n' "$key" >"$key_file")
elif [ ! -s "$key_file" ]; then
    (umask 077; openssl rand -hex 24 >"$key_file")
    echo "The key for the configuration tool's port, made now and shown this once: $(head -n 1 "$key_file")"
fi
certificate=$data/tls-cert.pem tls_key=$data/tls-key.pem
if [ ! -s "$certificate" ] || [ ! -s "$tls_key" ]; then
    (umask 077; openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -subj /CN=tessel-server \
         -keyout "$tls_key" -out "$certificate" 2>/dev/null)
fi

# The home-automation server's port on the add-on's own network only (no TLS, no key, as its
# integration connects), the sidebar's behind the Supervisor's proxy, and the configuration
# tool's, when asked for, with TLS and the key: config.yaml publishes only that one.
args=(--device "${device:-auto}" --baud "$baud" --listen "0.0.0.0:$port"
      --web "0.0.0.0:$web_port" --web-peer "$peer" --web-peer-trusted
      --state-dir "$data" --silent-after "$silent_after" --capture-memory "$capture_memory")
if [ -n "$lan_port" ]; then
    args+=(--listen-guarded "0.0.0.0:$lan_port" --tls-cert "$certificate" --tls-key "$tls_key"
           --auth-key-file "$key_file")
fi
[ "$(flag scan true)" = true ] && args+=(--scan)
[ "$(flag sync_clock false)" = true ] && args+=(--sync-clock)
[ "$(flag capture_file false)" = true ] && args+=(--capture-file "$data/capture.txt")
exec /usr/bin/tessel-serverd "${args[@]}"
