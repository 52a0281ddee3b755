#!/usr/bin/env bash
# Debian package of the board program for armhf, from the cross build
# (scripts/build-armhf.sh brings it up to date first):
#   /opt/KavZil/kavzil            the program, stripped
#   /opt/KavZil/*.png             the backgrounds (its working directory)
#   /opt/fonts/PTS55F_W.ttf,
#   /opt/fonts/PTS75F_W.ttf       links to the fonts-paratype faces
#   /lib/systemd/system/kavzil.service
# Depends: the shared libraries the program links (dpkg-shlibdeps against
# the :armhf packages of this machine) and the two font packages. Nothing
# under /opt/set: the program writes the operator's settings there itself.
# Writes build-armhf/kavzil_VERSION_armhf.deb and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-armhf}
BUILD="$build" bash scripts/build-armhf.sh >&2
scripts/install-deps.sh dpkg-dev binutils-arm-linux-gnueabihf
version=$(sed -n 's/.*kVersion = "\([0-9.]*\)".*/\1/p' src/core/kavmain.cpp)
[ -n "$version" ] || { echo "package-armhf: no version in src/core/kavmain.cpp" >&2; exit 1; }

stage=$build/pkg
rm -rf "$stage"
root=$stage/root
install -d "$root/DEBIAN" "$root/opt/KavZil" "$root/opt/fonts" "$root/lib/systemd/system" \
           "$root/usr/share/doc/kavzil"
arm-linux-gnueabihf-strip -o "$root/opt/KavZil/kavzil" "$build/kavzil"
chmod 755 "$root/opt/KavZil/kavzil"
install -m 644 "$build"/art/*.png "$root/opt/KavZil/"
ln -s /usr/share/fonts/truetype/paratype/PTS55F.ttf "$root/opt/fonts/PTS55F_W.ttf"
ln -s /usr/share/fonts/truetype/paratype/PTS75F.ttf "$root/opt/fonts/PTS75F_W.ttf"
install -m 644 packaging/kavzil.service "$root/lib/systemd/system/"
install -m 755 packaging/postinst packaging/prerm packaging/postrm "$root/DEBIAN/"
printf 'KAV ZIL board program, built from this repository.\n' >"$root/usr/share/doc/kavzil/README"

# dpkg-shlibdeps reads the package's name from a debian/control of its own.
mkdir -p "$stage/debian"
printf 'Source: kavzil\n\nPackage: kavzil\nArchitecture: armhf\n' >"$stage/debian/control"
shlibs=$(cd "$stage" && DEB_HOST_ARCH=armhf DEB_HOST_MULTIARCH=arm-linux-gnueabihf \
         dpkg-shlibdeps -O root/opt/KavZil/kavzil 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "package-armhf: dpkg-shlibdeps found no libraries" >&2; exit 1; }

size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: kavzil
Version: $version
Architecture: armhf
Maintainer: KAV ZIL developers <kavzil@localhost>
Section: hamradio
Priority: optional
Installed-Size: $size
Depends: $shlibs, fonts-paratype, fonts-dejavu-core
Description: control and front panel of an HF linear amplifier with antenna tuner
 Runs on the amplifier's ARM board, started at boot by systemd
 (kavzil.service); logs to the journal.
CONTROL
deb=$build/kavzil_${version}_armhf.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
