#!/usr/bin/env bash
# Cross-builds the project for the device's processor, 32-bit ARM with hard
# float (arm-linux-gnueabihf), and runs the unit and end-to-end tests under
# qemu-user on this machine.
#
#   ./scripts/test-arm.sh                 build and run every test but the soak ones
#   ./scripts/test-arm.sh -R Packet       extra arguments go to ctest
#   ./scripts/test-arm.sh --build-only    install and build, run nothing
#   ./scripts/test-arm.sh --run-only      run the tests of an earlier build
#
# Installs what it needs when missing (needs root or sudo): Debian's cross
# compiler, the :armhf -dev packages of the dependencies through multiarch,
# and qemu-user-static, which is registered with binfmt_misc so that ARM
# programs run directly (the tests start the built programs). Builds into
# build/arm. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
run=1
case "${1:-}" in
  --build-only) run=0; shift ;;
  --run-only) build=0; shift ;;
esac
dir=build/arm

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

build_arm() {
  # --- Packages ---------------------------------------------------------------
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  packages=(
    crossbuild-essential-armhf qemu-user-static binfmt-support
    libcjson-dev:armhf libcurl4-openssl-dev:armhf libssl-dev:armhf zlib1g-dev:armhf
    libgtest-dev:armhf libgmock-dev:armhf libstdc++6:armhf libgcc-s1:armhf
  )
  ./scripts/deps.sh "${packages[@]}"

  # --- Running ARM programs ---------------------------------------------------
  # binfmt_misc hands every ARM executable to qemu-arm, so a test can start the
  # built agent or control tool as it would on the device. The armhf C library
  # and dependencies live in /usr/lib/arm-linux-gnueabihf (multiarch), where the
  # ARM dynamic loader finds them.
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    $SUDO update-binfmts --enable qemu-arm 2>/dev/null ||
      sed -n 's/^\(:qemu-arm:.*\)$/\1/p' /usr/lib/binfmt.d/qemu-arm.conf | $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null
  fi

  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DZEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j"${BUILD_JOBS:-$(nproc)}"

  # A built program must be an ARM executable and must run.
  file_header=$(od -An -tx1 -j18 -N2 "$dir/src/control/zelagent_control" | tr -d ' ')
  if [ "$file_header" != "2800" ]; then
    echo "zelagent_control is not an ARM executable" >&2
    exit 1
  fi
  "$dir/src/control/zelagent_control" -v
}

[ $build -eq 0 ] || build_arm
[ $run -eq 1 ] || exit 0

# Emulation is several times slower than the machine: the soak runs stay
# with the native builds.
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(-LE soak)
# In a private network namespace when possible, as in the test command.
exec ./scripts/private-net.sh ctest --test-dir "$dir" -j"${TEST_JOBS:-$(nproc)}" --output-on-failure --timeout 900 \
  "${args[@]}"
