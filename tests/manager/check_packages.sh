#!/bin/sh
# Builds both Debian packages from the build folder given as $1 with CPack, unpacks them and
# checks their files, control fields, maintainer scripts and the systemd unit.
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
host=$(ls "$work"/out/corvello-host_*.deb)
manager=$(ls "$work"/out/corvello_*.deb)

for deb in "$host" "$manager"; do
  dpkg-deb -x "$deb" "$work/root"
done

# Files in place, executables executable.
for f in usr/bin/cvlhost usr/bin/cvlmanager; do
  [ -x "$work/root/$f" ] || fail "$f missing or not executable"
done
for f in usr/lib/systemd/user/corvello-host.service \
         usr/share/applications/corvello.desktop \
         usr/share/applications/corvello-reregister.desktop \
         usr/share/applications/corvello-uninstall.desktop \
         usr/share/icons/hicolor/scalable/apps/corvello.svg; do
  [ -f "$work/root/$f" ] || fail "$f missing"
done

# Each file belongs to the right package.
dpkg-deb -c "$host" | grep >/dev/null './usr/bin/cvlhost$' || fail "cvlhost not in corvello-host"
dpkg-deb -c "$host" | grep >/dev/null 'cvlmanager' && fail "cvlmanager in corvello-host"
dpkg-deb -c "$manager" | grep >/dev/null './usr/bin/cvlmanager$' || fail "cvlmanager not in corvello"
dpkg-deb -c "$manager" | grep >/dev/null 'corvello-host.service' && fail "unit in corvello"

# Control fields.
field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$host" Package)" = corvello-host ] || fail "host package name"
[ "$(field "$manager" Package)" = corvello ] || fail "manager package name"
[ "$(field "$manager" Recommends)" = corvello-host ] || fail "manager recommends"
field "$host" Depends | grep -q 'libc6' || fail "host depends lack shlibdeps: $(field "$host" Depends)"
field "$host" Depends | grep -q 'libcurl' || fail "host depends lack libcurl"
field "$manager" Depends | grep -q 'libqt6qml6' || fail "manager depends lack Qt QML"
field "$manager" Depends | grep -q 'qml6-module-qtquick-controls' || fail "manager depends lack QML modules"
[ "$(field "$host" Architecture)" = amd64 ] || fail "architecture"

# Maintainer scripts.
dpkg-deb -e "$host" "$work/control"
[ -x "$work/control/postinst" ] || fail "postinst missing"
[ -x "$work/control/prerm" ] || fail "prerm missing"
grep -q 'systemctl --global enable corvello-host.service' "$work/control/postinst" || fail "postinst"
grep -q 'systemctl --global disable corvello-host.service' "$work/control/prerm" || fail "prerm"
sh -n "$work/control/postinst" && sh -n "$work/control/prerm" || fail "script syntax"

# The unit runs the installed host and is valid for systemd.
unit="$work/root/usr/lib/systemd/user/corvello-host.service"
grep -qx 'ExecStart=/usr/bin/cvlhost run' "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
grep -qx 'WantedBy=graphical-session.target' "$unit" || fail "WantedBy"
grep -qx 'PartOf=graphical-session.target' "$unit" || fail "PartOf"
grep -qx 'Restart=on-failure' "$unit" || fail "Restart"
# systemd's verifier checks the program exists, so the copy it reads points into the unpacked
# tree; any warning (an unknown key, a bad value) counts as a failure.
mkdir "$work/unit"
sed "s|/usr/bin/cvlhost|$work/root/usr/bin/cvlhost|" "$unit" >"$work/unit/corvello-host.service"
systemd-analyze verify "$work/unit/corvello-host.service" >"$work/verify.log" 2>&1 ||
  { cat "$work/verify.log"; fail "systemd-analyze verify"; }
[ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze warnings"; }

# Desktop entries are valid and start the installed programs.
for f in corvello corvello-reregister corvello-uninstall; do
  desktop-file-validate "$work/root/usr/share/applications/$f.desktop" || fail "$f.desktop invalid"
done
grep -qx 'Exec=/usr/bin/cvlmanager' "$work/root/usr/share/applications/corvello.desktop" || fail "manager Exec"
grep -qx 'Name=Re-register Corvello' "$work/root/usr/share/applications/corvello-reregister.desktop" || fail "reregister Name"
grep -qx 'Exec=/usr/bin/cvlhost register' "$work/root/usr/share/applications/corvello-reregister.desktop" || fail "reregister Exec"
grep -qx 'Terminal=true' "$work/root/usr/share/applications/corvello-reregister.desktop" || fail "reregister Terminal"
grep -qx 'Name=Uninstall Corvello' "$work/root/usr/share/applications/corvello-uninstall.desktop" || fail "uninstall Name"
grep -qx 'Exec=/usr/bin/cvlmanager --uninstall' "$work/root/usr/share/applications/corvello-uninstall.desktop" || fail "uninstall Exec"

echo "packages ok: $(basename "$host") $(basename "$manager")"
