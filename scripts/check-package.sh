#!/usr/bin/env bash
# Checks the armhf package (scripts/package-armhf.sh) the way a board would
# see it: unpacked into a scratch root (dpkg-deb -x), every file where the
# program looks for it, the unit's directives (and systemd-analyze verify
# on it), and Depends covering each shared library the program needs.
#   scripts/check-package.sh [PACKAGE.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
# systemd-analyze, the font package the links lead to, the cross binutils.
scripts/install-deps.sh systemd fonts-paratype binutils-arm-linux-gnueabihf
build=${BUILD:-build-armhf}
deb=${1:-$(ls "$build"/kavzil_*_armhf.deb | head -n1)}
scratch=$(mktemp -d /tmp/kzpkg_XXXXXX)
trap 'rm -rf "$scratch"' EXIT
bad=0
fail() { echo "check-package: $*" >&2; bad=1; }

root=$scratch/root
dpkg-deb -x "$deb" "$root"
control=$(dpkg-deb -f "$deb")

# The program and its working directory with every background it draws.
prog=$root/opt/KavZil/kavzil
[ -x "$prog" ] || fail "no executable /opt/KavZil/kavzil"
arm-linux-gnueabihf-readelf -h "$prog" 2>/dev/null | tr -s ' ' | grep -q "Machine: ARM" ||
  fail "/opt/KavZil/kavzil is not a 32-bit ARM program"
for art in "$build"/art/*.png; do
  cmp -s "$art" "$root/opt/KavZil/$(basename "$art")" || fail "background $(basename "$art") missing in /opt/KavZil"
done
# The two faces of /opt/fonts lead to files of fonts-paratype.
for f in PTS55F PTS75F; do
  link=$root/opt/fonts/${f}_W.ttf
  target=$(readlink "$link" || true)
  [ -n "$target" ] || { fail "/opt/fonts/${f}_W.ttf is not a link"; continue; }
  dpkg -L fonts-paratype 2>/dev/null | grep -qx "$target" ||
    fail "/opt/fonts/${f}_W.ttf points at $target, not a file of fonts-paratype"
done
# The operator's settings are never the package's.
[ ! -e "$root/opt/set" ] || fail "the package ships /opt/set"
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './conffiles' && fail "the package has conffiles"

# Depends: both font packages and the package of every library linked.
depends=$(sed -n 's/^Depends: //p' <<<"$control")
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
has() { grep -qx "$1" <<<"$names"; }
for p in fonts-paratype fonts-dejavu-core; do has "$p" || fail "Depends lacks $p"; done
for so in $(arm-linux-gnueabihf-readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  owner=$(dpkg -S "/lib/arm-linux-gnueabihf/$so" "/usr/lib/arm-linux-gnueabihf/$so" 2>/dev/null |
          head -n1 | sed 's/:armhf:.*//; s/:.*//' || true)
  [ -n "$owner" ] || { fail "no installed :armhf package holds $so"; continue; }
  has "$owner" || fail "Depends lacks $owner ($so)"
done

# The unit: started at boot in the backgrounds' directory, restarted on a
# failure only (the close key's end is status 0), output to the journal.
unit=$root/lib/systemd/system/kavzil.service
for d in "ExecStart=/opt/KavZil/kavzil" "WorkingDirectory=/opt/KavZil" "Restart=on-failure" \
         "WantedBy=multi-user.target" "StandardOutput=journal" "StandardError=journal"; do
  grep -qx "$d" "$unit" || fail "kavzil.service lacks $d"
done
grep -q '^ExecStart=.* ' "$unit" && fail "kavzil.service passes arguments to the program"
grep -q '^Environment' "$unit" && fail "kavzil.service sets an environment"
# systemd-analyze checks the unit against the unpacked files: the paths
# are moved into the scratch root, and any complaint fails.
sed "s#/opt/KavZil#$root/opt/KavZil#g" "$unit" >"$scratch/kavzil.service"
if out=$(systemd-analyze verify "$scratch/kavzil.service" 2>&1) && [ -z "$out" ]; then :; else
  fail "systemd-analyze verify: ${out:-failed}"
fi

[ "$bad" -eq 0 ] && echo "check-package: $(basename "$deb") good"
exit "$bad"
