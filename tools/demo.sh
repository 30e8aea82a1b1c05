#!/usr/bin/env bash
# Runs inside tools/pcsc-sandbox.sh: puts the virtual dongle into the first virtual reader and
# starts the tool. Closing the window ends the sandbox, and the card with it.
#   tools/demo.sh BUILD_DIR [qel_vcard options...]
# With QEL_DEMO_UID and QEL_DEMO_GID the window runs as that user (the one who called sudo), so
# its log and settings are theirs, not root's.
set -euo pipefail
build=${1:?usage: tools/demo.sh BUILD_DIR [qel_vcard options...]}
shift

"$build/tools/qel_vcard" "$@" &
card=$!
# The card is in the reader once vpcd has taken its connection; give it a moment so that the
# first press already finds it.
for _ in $(seq 50); do
    kill -0 "$card" 2>/dev/null || { echo "demo: the virtual card did not start" >&2; exit 1; }
    if ss -Htn state established '( dport = :35963 )' 2>/dev/null | grep -q .; then
        break
    fi
    sleep 0.1
done
sleep 0.5
window=("$build/window/qel_sn_reader")
if [ -n "${QEL_DEMO_UID:-}" ]; then
    window=(setpriv --reuid="$QEL_DEMO_UID" --regid="$QEL_DEMO_GID" --init-groups
        env HOME="$(getent passwd "$QEL_DEMO_UID" | cut -d: -f6)" "${window[@]}")
fi
exec "${window[@]}"
