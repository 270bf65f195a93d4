#!/usr/bin/env bash
# Builds the library and runs the contact-centre demonstration: the server
# emulator in this process, agents handling calls, chats and e-mails, and the
# library's monitors showing it live. Arguments go to the program (--help).
# With --web first, the board is a live wallboard in the browser instead of
# the terminal (qm_wallboard: it prints its address; --port, --listen-everywhere),
# running ten minutes unless --duration says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

program=qm_contact_centre
folder=contact_centre
defaults=()
if [ "${1:-}" = "--web" ]; then
  shift
  program=qm_wallboard
  folder=wallboard
  defaults=(--duration 600)
fi
cmake --preset default > /dev/null
cmake --build --preset default -j 2 --target "${program}"
exec "build/default/examples/${folder}/${program}" "${defaults[@]}" "$@"
