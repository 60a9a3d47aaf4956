#!/usr/bin/env bash
# Checks the Debian packages that cpack made in a build folder:
#   package/check.sh BUILD_FOLDER
# - their contents, control fields, conffiles and maintainer scripts (dpkg-deb),
#   the changelog's version, and lintian with no error or warning;
# - that apt can satisfy their Depends on this machine (a simulation);
# - an install of both into a scratch root (dpkg --root, the maintainer
#   scripts run outside it with DPKG_ROOT set): files, conffile, the user and
#   its groups, the configuration readable by them alone, the unit
#   (systemd-analyze verify); then an edited conffile kept over a
#   reinstall, remove and purge.
# Works for the packages of any architecture: nothing in them runs.
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg --root installs files as root: without root, root of a user namespace.
if [ "$(id -u)" -ne 0 ]; then
    unshare --user --map-root-user true 2> /dev/null ||
        { echo "package: needs root or user namespaces" >&2; exit 1; }
    exec unshare --user --map-root-user "$0" "$@"
fi

BUILD=${1:?usage: package/check.sh BUILD_FOLDER}
say() { echo "package: $*" >&2; }
fail() {
    say "FAILED: $*"
    exit 1
}
# Fails with the output when a command that should print a line does not.
has() {
    local what=$1 text=$2
    grep -qxF -- "$what" <<< "$text" || fail "no line \"$what\" in:"$'\n'"$text"
}

debs=("$BUILD"/tmx-driver_*.deb)
[ -f "${debs[0]}" ] || fail "no tmx-driver package in $BUILD (cpack -G DEB there)"
DRIVER=$(ls -t "$BUILD"/tmx-driver_*.deb | head -n 1)
SIP=$(ls -t "$BUILD"/tmx-sip_*.deb 2> /dev/null | head -n 1) ||
    fail "no tmx-sip package in $BUILD (was tmx-sip built?)"
[ -n "$SIP" ] || fail "no tmx-sip package in $BUILD (was tmx-sip built?)"
ARCH=$(dpkg-deb -f "$DRIVER" Architecture)
VERSION=$(dpkg-deb -f "$DRIVER" Version)
say "checking $DRIVER and $SIP"

# Contents: paths and modes, no owner but root.
contents() { dpkg-deb -c "$1" | awk '$2 != "root/root" { print "owner " $2 ": " $6 } { print $1, $6 }'; }
drv=$(contents "$DRIVER")
sip=$(contents "$SIP")
has "-rwxr-xr-x ./usr/bin/tmx-driver" "$drv"
has "-rwxr-xr-x ./usr/bin/tmx-sip" "$sip"
has "-rw-r--r-- ./etc/tmx-sip.conf" "$sip"
has "-rw-r--r-- ./usr/lib/systemd/system/tmx-sip.service" "$sip"
has "-rw-r--r-- ./usr/lib/sysusers.d/tmx-sip.conf" "$sip"
has "-rw-r--r-- ./usr/lib/udev/rules.d/60-tmx-sip.rules" "$sip"
! grep -q '^owner' <<< "$drv$sip" || fail "files not owned by root: $(grep '^owner' <<< "$drv$sip")"
! grep -q 'tmx-sip' <<< "$drv" || fail "tmx-driver holds tmx-sip's files"

# Control fields. The board library is no Debian package: never a Depends.
depends_driver=$(dpkg-deb -f "$DRIVER" Depends)
depends_sip=$(dpkg-deb -f "$SIP" Depends)
[ "$(dpkg-deb -f "$SIP" Architecture)" = "$ARCH" ] || fail "the two packages' architectures differ"
split() { tr ',' '\n' <<< "$1" | sed 's/^ *//'; }
has "tmx-driver (= $VERSION)" "$(split "$depends_sip")"
has "systemd | systemd-standalone-sysusers | systemd-sysusers" "$(split "$depends_sip")"
has "procps" "$(split "$depends_sip")"
for lib in libre0 librem0; do grep -q "$lib " <<< "$depends_sip" || fail "tmx-sip does not depend on $lib"; done
grep -q 'libqt5serialport5 ' <<< "$depends_driver" || fail "tmx-driver does not depend on Qt: $depends_driver"
! grep -qi 'velk\|lorentak' <<< "$depends_driver" || fail "tmx-driver depends on the board library"
say "tmx-driver Depends: $depends_driver"
say "tmx-sip Depends: $depends_sip"

# The binaries are for the packages' architecture.
case "$ARCH" in
amd64) machine="x86-64" ;;
arm64) machine="ARM aarch64" ;;
armhf) machine="ARM, EABI5" ;;
*) machine="" ;;
esac
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$DRIVER" "$scratch/x"
dpkg-deb -x "$SIP" "$scratch/x"
for bin in tmx-driver tmx-sip; do
    desc=$(file -b "$scratch/x/usr/bin/$bin")
    grep -qF "$machine" <<< "$desc" || fail "$bin is not for $ARCH: $desc"
    ! readelf -d "$scratch/x/usr/bin/$bin" | grep -q 'R[UN]*PATH' || fail "$bin has a run path"
done
cmp "$scratch/x/etc/tmx-sip.conf" sip/tmx-sip.conf.example || fail "/etc/tmx-sip.conf is not the example"
latest=$(zcat "$scratch/x/usr/share/doc/tmx-sip/changelog.gz" | sed -n 1p)
[[ "$latest" == "tmx-driver ($VERSION) "* ]] ||
    fail "the changelog's latest entry is \"$latest\", not $VERSION: add one to package/changelog"

# Debian's own checks (lintian): no error, no warning. An override, where a
# check is wrong for these packages, goes into package/ with its reason.
lint_rc=0
lint=$(lintian --fail-on error,warning "$DRIVER" "$SIP" 2>&1) || lint_rc=$?
lint=$(grep -v '^running with root privileges' <<< "$lint" || true)
[ "$lint_rc" -eq 0 ] && ! grep -q '^[EW]:' <<< "$lint" || fail "lintian:"$'\n'"$lint"
say "lintian: no errors or warnings"

# Conffiles and maintainer scripts: executable, valid sh, aware of DPKG_ROOT.
dpkg-deb -e "$SIP" "$scratch/control"
has "/etc/tmx-sip.conf" "$(cat "$scratch/control/conffiles")"
for script in postinst prerm postrm; do
    f=$scratch/control/$script
    [ -x "$f" ] || fail "$script is not executable"
    sh -n "$f" || fail "$script is not valid sh"
    grep -q DPKG_ROOT "$f" || fail "$script ignores DPKG_ROOT"
done
[ ! -e "$scratch/control/preinst" ] || fail "unexpected preinst"
dpkg-deb -e "$DRIVER" "$scratch/control-driver"
for script in preinst postinst prerm postrm; do
    [ ! -e "$scratch/control-driver/$script" ] || fail "tmx-driver has a $script"
done

# Depends, resolved by apt against this machine's package lists: nothing to
# remove (a foreign package can conflict with a native one).
plan=$(apt-get -s -o Debug::NoLocking=1 install --no-install-recommends "./$DRIVER" "./$SIP" 2>&1) ||
    fail "apt cannot install the packages:"$'\n'"$plan"
! grep -q '^Remv' <<< "$plan" || fail "installing the packages would remove:"$'\n'"$(grep '^Remv' <<< "$plan")"
say "apt: $(grep -c '^Inst' <<< "$plan") packages to install, none to remove"

# A scratch root: an empty dpkg database and base-passwd's users and groups,
# as a fresh Debian system starts with. The packages' own Depends are not
# there (apt's check above covers them).
root=$scratch/root
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers} "$root/var/log" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
cp /usr/share/base-passwd/passwd.master "$root/etc/passwd"
cp /usr/share/base-passwd/group.master "$root/etc/group"
DPKG=(dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null)
if [ "$ARCH" != "$(dpkg --print-architecture)" ]; then
    dpkg --root="$root" --add-architecture "$ARCH"
fi
"${DPKG[@]}" -i "$DRIVER" "$SIP" > "$scratch/dpkg.log" 2>&1 || fail "dpkg -i:"$'\n'"$(cat "$scratch/dpkg.log")"
for f in usr/bin/tmx-driver usr/bin/tmx-sip etc/tmx-sip.conf usr/lib/systemd/system/tmx-sip.service \
         usr/lib/sysusers.d/tmx-sip.conf usr/lib/udev/rules.d/60-tmx-sip.rules; do
    [ -e "$root/$f" ] || fail "/$f not installed"
done
status=$(dpkg --root="$root" -s tmx-sip)
has "Status: install ok installed" "$status"
has " /etc/tmx-sip.conf $(md5sum < sip/tmx-sip.conf.example | cut -d' ' -f1)" "$status"
user=$(grep '^tmx-sip:' "$root/etc/passwd") || fail "no user tmx-sip"
IFS=: read -r _ _ uid gid _ home shell <<< "$user"
[ "$uid" -lt 1000 ] || fail "tmx-sip is no system user: $user"
[[ "$shell" == */nologin ]] || fail "tmx-sip can log in: $user"
grep -q "^tmx-sip:x:$gid:" "$root/etc/group" || fail "no group tmx-sip with gid $gid"
for group in dialout spi gpio; do
    grep -qE "^$group:[^:]*:[0-9]+:(.*,)?tmx-sip(,.*)?$" "$root/etc/group" ||
        fail "tmx-sip is not in group $group: $(grep "^$group:" "$root/etc/group")"
done
conf_mode() { stat -c '%a %u:%g' "$root/etc/tmx-sip.conf"; }
[ "$(conf_mode)" = "640 0:$gid" ] || fail "/etc/tmx-sip.conf is $(conf_mode), not 640 root:tmx-sip"
say "user: $user"
say "groups: $(grep -E '^(dialout|spi|gpio|tmx-sip):' "$root/etc/group" | tr '\n' ' ')"

# A board whose own rules give its SPI device to another group: a reinstall
# names the device and joins no group but dialout, spi and gpio. A pty's
# slave stands in for the device (mode 620; group tty, or root or nogroup
# where devpts or a user namespace has it so), bound into the scratch root in
# a mount namespace of its own.
mkdir -p "$root/dev" && touch "$root/dev/spidev0.0"
printf '%s\n' 'set -e' 'mount --bind "$(tty)" "$1"' 'shift' 'exec "$@"' > "$scratch/with-pty.sh"
devices=$(script -qec "unshare --mount sh $scratch/with-pty.sh $root/dev/spidev0.0 ${DPKG[*]} -i $SIP" \
    /dev/null < /dev/null | tr -d '\r') || fail "reinstall with a foreign device:"$'\n'"$devices"
grep -q '^tmx-sip: the service cannot open /dev/spidev0.0 (group ' <<< "$devices" ||
    fail "postinst did not name /dev/spidev0.0, which belongs to another group:"$'\n'"$devices"
joined=$(grep -E '^[^:]+:[^:]*:[0-9]+:(.*,)?tmx-sip(,.*)?$' "$root/etc/group" | cut -d: -f1 | sort | xargs)
[ "$joined" = "dialout gpio spi" ] || fail "tmx-sip is in the groups $joined, not dialout, gpio and spi alone"
rm "$root/dev/spidev0.0"
say "a device of another group: named, its group not joined"

# The unit as systemd reads it from the scratch root, among this machine's
# own targets and kill (the scratch root has no systemd and no procps); the
# manual pages it names are the packages' own.
cp -n /usr/lib/systemd/system/*.target "$root/usr/lib/systemd/system/"
mkdir -p "$root/bin" && cp /bin/kill "$root/bin/"
verify=$(MANPATH="$scratch/x/usr/share/man" systemd-analyze verify --root="$root" tmx-sip.service 2>&1) || fail "systemd-analyze verify:"$'\n'"$verify"
[ -z "$verify" ] || fail "systemd-analyze verify says:"$'\n'"$verify"
say "systemd-analyze verify: tmx-sip.service is sound"
exposure=$(systemd-analyze security --offline=true --root="$root" tmx-sip.service 2>&1 | tail -n 1) || true
say "systemd-analyze security: ${exposure#→ }"

# An edited configuration outlives a reinstall; enable, then purge.
echo "# edited" >> "$root/etc/tmx-sip.conf"
"${DPKG[@]}" -i "$SIP" > "$scratch/dpkg.log" 2>&1 || fail "reinstall:"$'\n'"$(cat "$scratch/dpkg.log")"
[ "$(tail -n 1 "$root/etc/tmx-sip.conf")" = "# edited" ] || fail "a reinstall replaced the edited /etc/tmx-sip.conf"
[ "$(conf_mode)" = "640 0:$gid" ] || fail "after a reinstall /etc/tmx-sip.conf is $(conf_mode)"
systemctl --root="$root" enable tmx-sip.service 2> /dev/null
[ -L "$root/etc/systemd/system/multi-user.target.wants/tmx-sip.service" ] || fail "systemctl enable made no link"
"${DPKG[@]}" -r tmx-sip > "$scratch/dpkg.log" 2>&1 || fail "dpkg -r:"$'\n'"$(cat "$scratch/dpkg.log")"
[ ! -e "$root/usr/bin/tmx-sip" ] && [ -e "$root/etc/tmx-sip.conf" ] || fail "remove: /usr/bin/tmx-sip left or conffile gone"
"${DPKG[@]}" -P tmx-sip tmx-driver > "$scratch/dpkg.log" 2>&1 || fail "dpkg -P:"$'\n'"$(cat "$scratch/dpkg.log")"
for f in etc/tmx-sip.conf usr/bin/tmx-driver etc/systemd/system/multi-user.target.wants/tmx-sip.service; do
    [ ! -e "$root/$f" ] && [ ! -L "$root/$f" ] || fail "/$f left after purge"
done
[ -z "$(dpkg-statoverride --root="$root" --list)" ] || fail "a mode for /etc/tmx-sip.conf is left after purge"
left=$(find "$root/etc/systemd" "$root/var/lib/systemd" ! -type d 2> /dev/null || true)
[ -z "$left" ] || fail "the unit's links or state left after purge:"$'\n'"$left"
say "scratch root: installed, conffile kept over a reinstall, removed and purged"
say "ok: tmx-driver and tmx-sip $VERSION for $ARCH"
