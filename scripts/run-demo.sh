#!/usr/bin/env bash
# Builds the library and runs the contact-centre demonstration: the server
# emulator in this process, agents handling calls, chats and e-mails, and the
# library's monitors showing it live. Arguments go to the program (--help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset default > /dev/null
cmake --build --preset default -j 2 --target qm_contact_centre
exec build/default/examples/contact_centre/qm_contact_centre "$@"
