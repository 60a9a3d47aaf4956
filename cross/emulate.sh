#!/usr/bin/env bash
# Runs a command in which the board's executables start like native ones,
# through qemu-user, also when a test starts one as a child process:
#   cross/emulate.sh arm64|armhf COMMAND [ARGUMENT...]
# e.g. cross/emulate.sh arm64 ctest --test-dir build-arm64
#
# The kernel hands such executables to qemu through binfmt_misc. Where the
# machine has no handler for the architecture (no qemu-user-binfmt, or no
# binfmt_misc mounted, as in containers), the command runs in a new user and
# mount namespace with a binfmt_misc instance of its own (Linux 6.7 or newer),
# so nothing outside that namespace changes.
set -euo pipefail

usage() {
    echo "usage: cross/emulate.sh arm64|armhf COMMAND [ARGUMENT...]" >&2
    exit 2
}
[ $# -ge 2 ] || usage
ARCH=$1
shift
# ELF header magic and mask of the architecture's executables (ET_EXEC and ET_DYN).
case "$ARCH" in
arm64)
    QEMU=qemu-aarch64
    MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    ;;
armhf)
    QEMU=qemu-arm
    MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
    ;;
*) usage ;;
esac
MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
BINFMT=/proc/sys/fs/binfmt_misc

handler_enabled() {
    local f
    for f in "$BINFMT/$QEMU" "$BINFMT/tmx-$QEMU"; do
        [ -r "$f" ] && head -n 1 "$f" | grep -qx enabled && return 0
    done
    return 1
}

if handler_enabled; then
    exec "$@"
fi

if [ "${TMX_EMULATE_NAMESPACE:-}" = "$ARCH" ]; then
    # Inside the new namespace: a fresh binfmt_misc with the one handler.
    # P keeps argv[0]; F opens the interpreter now, whatever the mounts later.
    unset TMX_EMULATE_NAMESPACE
    if ! mount -t binfmt_misc binfmt_misc "$BINFMT"; then
        echo "emulate: binfmt_misc cannot be mounted in a user namespace here" \
             "(needs Linux 6.7 or newer); install qemu-user-binfmt" >&2
        exit 1
    fi
    printf '%s' ":tmx-$QEMU:M::$MAGIC:$MASK:$(command -v "$QEMU"):PF" > "$BINFMT/register"
    exec "$@"
fi

command -v "$QEMU" > /dev/null || { echo "emulate: $QEMU not found (package qemu-user)" >&2; exit 1; }
if ! unshare --user --map-root-user --mount true 2> /dev/null; then
    echo "emulate: no binfmt_misc handler for $ARCH and no user namespaces;" \
         "install qemu-user-binfmt" >&2
    exit 1
fi
TMX_EMULATE_NAMESPACE=$ARCH exec unshare --user --map-root-user --mount "$(readlink -f "$0")" "$ARCH" "$@"
