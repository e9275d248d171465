#!/usr/bin/env bash
# Builds the Debian packages dialwise, dialwise-directory and dialwise-caster:
#   scripts/package.sh [BUILD_DIR]        (default: build-package/)
# A build of the programs only (no tests), with Debian's hardening, packed by CPack; the
# .deb files are left in BUILD_DIR and their names printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}

[ "${DIALWISE_PACKAGE_NO_DEPS:-0}" = 1 ] || bash "$root/scripts/install-deps.sh" >&2

# The same commit makes the same files: dates come from its time.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
fi
# Compiled as the normal build is (RelWithDebInfo: -O2, the debugging information stripped
# from the packages), so that one compiler cache serves both; linked with Debian's
# hardening (read-only relocations, bound at load time; position-independent executables
# are the compiler's default).
export LDFLAGS="-Wl,-z,relro -Wl,-z,now"
unset CFLAGS CXXFLAGS CPPFLAGS

args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DDIALWISE_TESTS=OFF
      -DDIALWISE_BENCH=OFF -DDIALWISE_FUZZ=OFF -DDIALWISE_SANITIZE=OFF)
command -v ninja >/dev/null && args+=(-G Ninja)
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# The flags are read when the build folder is made.
[ -f "$build/CMakeCache.txt" ] &&
  [ "$(sed -n 's/^CMAKE_EXE_LINKER_FLAGS:STRING=//p' "$build/CMakeCache.txt")" != "$LDFLAGS" ] &&
  rm -f "$build/CMakeCache.txt"
cmake -S "$root" -B "$build" "${args[@]}" >&2
cmake --build "$build" -j "${DIALWISE_PACKAGE_JOBS:-$(nproc)}" --target dialwise dialwise-directory dialwise-caster dw_package_files >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/*.deb
