#!/usr/bin/env bash
# Builds the library and runs the contact-centre demonstration over NATS: a
# nats-server of its own on a free loopback port, and the demo, whose library
# reaches the server emulator only through it. Arguments go to the program
# (--help). Exits with the demo's status.
#
# QM_DEMO_BIN names an already built qm_contact_centre: nothing is installed
# or built, and a missing nats-server ends the run with status 77 (skipped).
set -euo pipefail
cd "$(dirname "$0")/.."

demo="${QM_DEMO_BIN:-}"
if [ -z "$demo" ]; then
  scripts/install-deps.sh
  cmake --preset default > /dev/null
  cmake --build --preset default -j 2 --target qm_contact_centre
  demo=build/default/examples/contact_centre/qm_contact_centre
elif ! command -v nats-server > /dev/null; then
  echo "nats-server is not installed (apt-get install nats-server): skipped" >&2
  exit 77
fi

workdir="$(mktemp -d)"
server_pid=""
stop() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2> /dev/null || true
    wait "$server_pid" 2> /dev/null || true
  fi
  rm -rf "$workdir"
}
trap stop EXIT
trap 'exit 130' INT TERM

# Port -1: the server picks a free one and names it in its ports file.
nats-server -a 127.0.0.1 -p -1 --ports_file_dir "$workdir" > "$workdir/nats-server.log" 2>&1 &
server_pid=$!
ports="$workdir/nats-server_${server_pid}.ports"
for _ in $(seq 100); do
  [ -s "$ports" ] && break
  kill -0 "$server_pid" 2> /dev/null || break
  sleep 0.1
done
url="$(grep -o 'nats://[^"]*' "$ports" 2> /dev/null | head -n 1 || true)"
if [ -z "$url" ]; then
  echo "nats-server did not start:" >&2
  cat "$workdir/nats-server.log" >&2
  exit 1
fi

status=0
"$demo" --nats "$url" "$@" || status=$?
exit "$status"
