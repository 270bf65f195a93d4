#!/usr/bin/env bash
# Builds the library and runs the contact-centre demonstration over NATS, in
# three processes: a nats-server of its own on a free loopback port, the
# server emulator (qm_emulator) served on it, and the demo, which reaches the
# emulator only through NATS and drives it through its control entity.
# Arguments go to the demo (--help). Exits with the demo's status; neither
# server outlives the script.
#
# Secured as a deployment would be (deploy/nats): the nats-server takes TLS
# with client certificates only, of a throwaway CA made here, and passwords
# made here; qm_emulator connects in the server role, the demo in the
# operator role (it drives the control entity). Nothing secret is on a
# command line or leaves the script's temporary directory.
#
# QM_DEMO_BIN and QM_EMULATOR_BIN name an already built qm_contact_centre and
# qm_emulator: nothing is installed or built, and a missing nats-server ends
# the run with status 77 (skipped).
set -euo pipefail
cd "$(dirname "$0")/.."

demo="${QM_DEMO_BIN:-}"
emulator="${QM_EMULATOR_BIN:-}"
if [ -z "$demo" ] || [ -z "$emulator" ]; then
  scripts/install-deps.sh
  cmake --preset default > /dev/null
  cmake --build --preset default -j 2 --target qm_contact_centre qm_emulator
  demo=build/default/examples/contact_centre/qm_contact_centre
  emulator=build/default/QueueManagerEmulator/qm_emulator
elif ! command -v nats-server > /dev/null || ! command -v openssl > /dev/null; then
  echo "nats-server or openssl is not installed (apt-get install nats-server openssl): skipped" >&2
  exit 77
fi

workdir="$(mktemp -d)"
pids=()
stop() {
  # The emulator first, while its NATS server still answers.
  local pid i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid="${pids[$i]}"
    kill "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  rm -rf "$workdir"
}
trap stop EXIT
trap 'exit 130' INT TERM

# Runs "$@" in the background, killed when this script dies even without
# its traps (setpriv's parent-death signal); its PID goes to `pids`.
start() {
  if command -v setpriv > /dev/null; then
    setpriv --pdeathsig TERM -- "$@" &
  else
    "$@" &
  fi
  pids+=("$!")
}

# Waits up to 10 s for `file` to contain `pattern` while process `pid` lives.
await() {
  local file="$1" pattern="$2" pid="$3"
  for _ in $(seq 100); do
    grep -q "$pattern" "$file" 2> /dev/null && return 0
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  grep -q "$pattern" "$file" 2> /dev/null
}

# The throwaway CA, certificates and passwords, and the configuration.
root=qm_contact_centre
certs="$workdir/certs"
deploy/nats/make-certs.sh "$certs" server operator
umask 077
# A letter first: nats-server reads a variable's value as a configuration
# value, and one that starts with a digit as a number.
for role in server operator client1 client2; do
  echo "p$(openssl rand -hex 24)" > "$workdir/$role.password"
done
sed -e "s/@ROOT@/$root/g" -e "s|@CERT_DIR@|$certs|g" deploy/nats/qm-nats.conf.in \
  > "$workdir/qm-nats.conf"
# Sets `identity` to the options of the role $1.
as() {
  identity=(--nats-client "$1" --nats-user "$1" --nats-password-file "$workdir/$1.password"
    --nats-ca "$certs/ca.pem" --nats-cert "$certs/$1-cert.pem" --nats-key "$certs/$1-key.pem")
}

# Port -1: the server picks a free one and names it in its ports file. Its
# passwords come from its environment.
QM_SERVER_PASSWORD="$(cat "$workdir/server.password")" \
  QM_OPERATOR_PASSWORD="$(cat "$workdir/operator.password")" \
  QM_CLIENT1_PASSWORD="$(cat "$workdir/client1.password")" \
  QM_CLIENT2_PASSWORD="$(cat "$workdir/client2.password")" \
  start nats-server -c "$workdir/qm-nats.conf" -a 127.0.0.1 -p -1 --ports_file_dir "$workdir" \
  > "$workdir/nats-server.log" 2>&1
server_pid="${pids[0]}"
ports="$workdir/nats-server_${server_pid}.ports"
await "$ports" '://' "$server_pid" || true
url="$(grep -o '[a-z]*://[^"]*' "$ports" 2> /dev/null | head -n 1 || true)"
if [ -z "$url" ]; then
  echo "nats-server did not start:" >&2
  cat "$workdir/nats-server.log" >&2
  exit 1
fi

as server
start "$emulator" --nats "$url" --root "$root" "${identity[@]}" > "$workdir/qm_emulator.log" 2>&1
if ! await "$workdir/qm_emulator.log" 'serving' "${pids[1]}"; then
  echo "qm_emulator did not start:" >&2
  cat "$workdir/qm_emulator.log" >&2
  exit 1
fi

status=0
as operator
"$demo" --nats "$url" --remote-emulator "${identity[@]}" "$@" || status=$?
exit "$status"
