#!/bin/sh
# Starts a server that links an allocator of its own under the malloc override, on a port of its
# own, stores and reads back keys through its client, and stops it.
# Usage: own_allocator_server.sh SERVER CLIENT OVERRIDE
set -eu
server=$1 client=$2 override=$3
port=$((20000 + $$ % 20000))
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
LD_PRELOAD=$override "$server" --port "$port" --bind 127.0.0.1 --save "" --appendonly no \
  --dir "$dir" >"$dir/server.log" 2>&1 &
pid=$!
tries=0
until "$client" -p "$port" ping >/dev/null 2>&1; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 $pid 2>/dev/null; then
    cat "$dir/server.log"
    exit 1
  fi
  sleep 0.1
done
i=0
while [ $i -lt 2000 ]; do
  echo "SET key:$i value-$i-$(printf '%0*d' $((i % 300)) 0)"
  i=$((i + 1))
done | "$client" -p "$port" >/dev/null
count=$("$client" -p "$port" dbsize)
value=$("$client" -p "$port" get key:1999)
"$client" -p "$port" shutdown nosave >/dev/null 2>&1 || true
wait $pid || true
[ "$count" = 2000 ] && [ "${value#value-1999-}" != "$value" ] && echo "served $count keys"
