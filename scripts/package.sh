#!/usr/bin/env bash
# Builds the Debian package of the agent (zelagent, zelagent_control, pvo,
# libpvo.so, the systemd unit, the init script, /etc/default/zelagent and the
# manual pages) for this machine (amd64) or for the device (armhf, cross-built
# with cmake/toolchain-armhf.cmake), then checks what it built.
#
#   ./scripts/package.sh            amd64
#   ./scripts/package.sh armhf      32-bit ARM, hard float
#
# A Release build without tests and benchmarks, installed with
# `cmake --install --strip` into a staging root, packed with dpkg-deb.
# Depends comes from dpkg-shlibdeps. Installs what it needs when missing
# (needs root or sudo). The build goes to build/package-<arch> (or
# ZEL_PKG_BUILD_DIR), with BUILD_JOBS jobs (default: one per core); the last
# line printed is the path of the .deb. Exits non-zero when a check fails:
#   - the package holds every file it must, and the conffiles are listed;
#   - the programs are built for the package's architecture;
#   - the stripped programs fit the device's flash budget: zelagent at most
#     300 KiB (307200 bytes), zelagent_control at most 100 KiB (102400);
#   - lintian reports no error;
#   - the unit is Type=notify with a watchdog, restarts on failure and
#     gives the agent's shut-down more than its 25 seconds;
#   - systemd-analyze verifies the unit from the package (extracted into a
#     temporary root) and rates its exposure 6.0 or better.
#
# The maintainer scripts enable and start nothing: the postinst creates the
# store folder /var/lib/pvo (mode 0700, as libpvo.so would) when it is
# missing; a purge removes the agent's log files and the store folder only
# when it is empty: the store is the device's data (its cloud identity
# among it) and other programs may share it.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-amd64}
case "$arch" in
  amd64 | armhf) ;;
  *) echo "usage: $0 [amd64|armhf]" >&2; exit 2 ;;
esac
host_arch=$(dpkg --print-architecture)
if [ "$arch" = amd64 ] && [ "$host_arch" != amd64 ]; then
  echo "an amd64 package is built on an amd64 machine (this one is $host_arch)" >&2
  exit 2
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# --- Packages ---------------------------------------------------------------
packages=(dpkg-dev lintian binutils gzip)
command -v systemd-analyze >/dev/null || packages+=(systemd)
toolchain=()
if [ "$arch" = armhf ]; then
  # As in scripts/test-arm.sh: Debian's cross compiler and the :armhf -dev
  # packages through multiarch.
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  packages+=(crossbuild-essential-armhf
             libcjson-dev:armhf libcurl4-openssl-dev:armhf libssl-dev:armhf zlib1g-dev:armhf
             libstdc++6:armhf libgcc-s1:armhf)
  toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake)
fi
./scripts/deps.sh "${packages[@]}"

# --- Build and staging ------------------------------------------------------
dir=${ZEL_PKG_BUILD_DIR:-build/package-$arch}
# Debian's hardening flags for the package's architecture (stack protector,
# fortified functions, read-only relocations, immediate binding); the
# optimisation stays Release's, and the debug info would be stripped anyway.
buildflags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=$arch dpkg-buildflags --get "$1" |
    tr ' ' '\n' | grep -v -e '^-g$' -e '^-O' -e '^-ffile-prefix-map' | tr '\n' ' '
}
# The library folder is Debian's multiarch one for both (GNUInstallDirs
# picks it only for native builds).
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
[ -n "$multiarch" ] || { echo "dpkg-architecture knows no multiarch triplet for $arch" >&2; exit 1; }
cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
  -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr "${toolchain[@]}" \
  -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" \
  -DCMAKE_C_FLAGS="$(buildflags CPPFLAGS) $(buildflags CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(buildflags CPPFLAGS) $(buildflags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflags LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(buildflags LDFLAGS)" >/dev/null
# Only what is installed: the tools (simulator, handler sink) are not.
cmake --build "$dir" -j"${BUILD_JOBS:-$(nproc)}" --target zelagent zelagent_control pvo_tool pvo

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$dir/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION)
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
[ -n "$version" ] && [ -n "$libdir" ] || { echo "cannot read the version or the library folder from $dir" >&2; exit 1; }

stage=$dir/deb-root
rm -rf "$stage"
DESTDIR="$PWD/$stage" cmake --install "$dir" --strip >/dev/null

# The unit and the init script go where the system looks for them (CMake
# installs them for the integrator under share/zelagent); enabled by nothing.
install -D -m 644 "$stage/usr/share/zelagent/systemd/zelagent.service" "$stage/lib/systemd/system/zelagent.service"
install -D -m 755 "$stage/usr/share/zelagent/init.d/zelagent.init" "$stage/etc/init.d/zelagent"
rm -r "$stage/usr/share/zelagent"
gzip -9n "$stage"/usr/share/man/man*/*

maintainer=${ZEL_PKG_MAINTAINER:-zelagent developers <zelagent@example.invalid>}
# The changelog date and the copyright year: those of the last commit.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
doc=$stage/usr/share/doc/zelagent
install -d "$doc"
cat >"$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zelagent
Upstream-Contact: $maintainer

Files: *
Copyright: $(date -u -d "@$epoch" +%Y) zelagent developers
License: proprietary
 All rights reserved. Distribution of this package is governed by the
 agreement under which it was delivered.
EOF
cat <<EOF | gzip -9n >"$doc/changelog.gz"
zelagent ($version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $(date -u -R -d "@$epoch")
EOF

# --- Control files ----------------------------------------------------------
control=$stage/DEBIAN
install -d "$control"
printf '%s\n' /etc/default/zelagent /etc/init.d/zelagent >"$control/conffiles"
# libpvo.so is a public library: the linker cache learns of it.
echo "activate-noawait ldconfig" >"$control/triggers"

cat >"$control/postinst" <<'EOF'
#!/bin/sh
# Creates the settings store's folder when it is missing; enables and starts
# nothing (systemctl enable --now zelagent, or update-rc.d, is the
# integrator's choice).
set -e
if [ "$1" = configure ]; then
	if [ ! -e /var/lib/pvo ]; then
		install -d -m 0700 /var/lib/pvo
	fi
	if [ -d /run/systemd/system ]; then
		systemctl --system daemon-reload >/dev/null || true
	fi
fi
exit 0
EOF
cat >"$control/postrm" <<'EOF'
#!/bin/sh
# A purge removes the agent's logs; the settings store is the device's data
# (its cloud identity among it) and may be shared: its folder goes only when
# it is empty.
set -e
if [ "$1" = purge ]; then
	rm -f /var/log/zelagent.log /var/log/zelagent.log.[1-5] /var/log/zelagent.log.[1-5].gz
	rmdir /var/lib/pvo 2>/dev/null || true
fi
if [ "$1" = remove ] || [ "$1" = purge ]; then
	if [ -d /run/systemd/system ]; then
		systemctl --system daemon-reload >/dev/null || true
	fi
fi
exit 0
EOF
chmod 755 "$control/postinst" "$control/postrm"

# Depends from the libraries the programs use; libpvo.so is the package's
# own (found through -l in the staging root, it adds nothing). A library
# that no installed package provides fails here.
shlibs_work=$(mktemp -d)
trap 'rm -rf "$shlibs_work"' EXIT
mkdir -p "$shlibs_work/debian"
printf 'Source: zelagent\n\nPackage: zelagent\nArchitecture: any\n' >"$shlibs_work/debian/control"
stage_abs=$PWD/$stage
cross_cc=()
[ "$arch" = amd64 ] || cross_cc=(CC=arm-linux-gnueabihf-gcc)
depends=$(cd "$shlibs_work" &&
  env "${cross_cc[@]}" dpkg-architecture -a"$arch" -f -c dpkg-shlibdeps -O -l"$stage_abs/usr/$libdir" \
    "$stage_abs/usr/bin/zelagent" "$stage_abs/usr/bin/zelagent_control" "$stage_abs/usr/bin/pvo" \
    "$stage_abs/usr/$libdir/libpvo.so" 2>"$shlibs_work/warnings" |
  sed -n 's/^shlibs:Depends=//p') || { cat "$shlibs_work/warnings" >&2; exit 1; }
[ -n "$depends" ] || { cat "$shlibs_work/warnings" >&2; echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$control/md5sums"
installed_size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$control/control" <<EOF
Package: zelagent
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $installed_size
Depends: $depends
Section: net
Priority: optional
Description: device-resident cloud agent
 zelagent registers the device with the zelCloud over HTTPS, keeps a TLS
 link to a zelbroker, hands every broker message to a local handler (a UNIX
 socket, a TCP port or a program) and serves control requests on
 127.0.0.1:14369. The package holds the agent, its control tool
 zelagent_control, the settings store library libpvo.so with its tool pvo,
 a systemd unit and an init script; neither is enabled or started.
EOF

deb=$dir/zelagent_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null

# --- Checks -----------------------------------------------------------------
fail() { echo "package check failed: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for f in /usr/bin/zelagent /usr/bin/zelagent_control /usr/bin/pvo "/usr/$libdir/libpvo.so" \
         /lib/systemd/system/zelagent.service /etc/init.d/zelagent /etc/default/zelagent \
         /usr/share/man/man8/zelagent.8.gz /usr/share/man/man1/zelagent_control.1.gz \
         /usr/share/man/man1/pvo.1.gz /usr/share/doc/zelagent/copyright; do
  grep -qx -- "$f" <<<"$contents" || fail "$f is not in the package"
done
grep -q '^/usr/share/zelagent' <<<"$contents" && fail "the integrator's copies under /usr/share/zelagent are packed"
conffiles=$(dpkg-deb -I "$deb" conffiles)
for f in /etc/default/zelagent /etc/init.d/zelagent; do
  grep -qx -- "$f" <<<"$conffiles" || fail "$f is not a conffile"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends names no C library"

check_root=$(mktemp -d)
trap 'rm -rf "$shlibs_work" "$check_root"' EXIT
dpkg-deb -x "$deb" "$check_root"
machine=$([ "$arch" = armhf ] && echo ARM || echo X86-64)
for f in usr/bin/zelagent usr/bin/zelagent_control usr/bin/pvo "usr/$libdir/libpvo.so"; do
  readelf -h "$check_root/$f" | grep -q "Machine:.*$machine" || fail "$f is not built for $arch"
done
# The programs as packed (stripped) against the flash budget.
for budget in usr/bin/zelagent:307200 usr/bin/zelagent_control:102400; do
  f=${budget%:*}
  size=$(stat -c %s "$check_root/$f")
  [ "$size" -le "${budget#*:}" ] || fail "$f is $size bytes stripped, over its budget of ${budget#*:}"
  echo "$f: $size bytes stripped (budget ${budget#*:})"
done

# The unit from the package, verified on this machine's systemd: its
# programs must exist, so the copy checked starts the extracted agent, and
# its Documentation= pages are looked up among the extracted ones.
unit=$check_root/lib/systemd/system/zelagent.service
grep -q '^ExecStart=/usr/bin/zelagent ' "$unit" || fail "the unit does not start /usr/bin/zelagent"
# Readiness and the watchdog come from the agent itself; the stop timeout
# stays above the agent's 25-second shut-down.
unit_value() { sed -n "s/^$1=//p" "$unit"; }
[ "$(unit_value Type)" = notify ] && [ "$(unit_value NotifyAccess)" = main ] ||
  fail "the unit is not Type=notify with NotifyAccess=main"
[ -n "$(unit_value WatchdogSec)" ] || fail "the unit sets no WatchdogSec"
[ "$(unit_value Restart)" = on-failure ] || fail "the unit does not restart on failure (a watchdog timeout)"
[ "$(unit_value TimeoutStopSec)" -gt 25 ] 2>/dev/null || fail "TimeoutStopSec is not above the 25 s shut-down"
mkdir "$check_root/check"
sed "s|^ExecStart=/usr/bin/|ExecStart=$check_root/usr/bin/|" "$unit" >"$check_root/check/zelagent.service"
MANPATH=$check_root/usr/share/man systemd-analyze verify "$check_root/check/zelagent.service" ||
  fail "systemd-analyze verify"
systemd-analyze security --offline=true --threshold=60 "$check_root/check/zelagent.service" \
  >"$check_root/security.txt" 2>&1 ||
  { cat "$check_root/security.txt" >&2; fail "the unit's exposure is over 6.0"; }
tail -n 1 "$check_root/security.txt"

# lintian's own scratch files go to the check folder, removed at exit.
lintian_out=$(TMPDIR=$check_root lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
  fail "lintian reports errors"
fi

echo "$PWD/$deb"
