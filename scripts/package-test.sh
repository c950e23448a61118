#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree,
# builds an outside program against it (pkg-config and find_package) that
# creates the control by its ProgID, then builds the Debian package, checks
# its contents and dependencies and, as root, installs it, creates the
# control as a user program would, removes it and checks it is unregistered.
#   scripts/package-test.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
step() { echo "package-test: $*"; }

# Registry files of this test only; the installed runtime finds the system
# file in its own tree (<prefix>/etc) when TARVO_SYSTEM_REGISTRY is unset.
unset TARVO_SYSTEM_REGISTRY TARVO_MODULE
export TARVO_REGISTRY="$work/user.reg"

# Runs the outside program against a simulated register: `PROGRAM` created by
# ProgID, `TARVOMDRV` the installed program whose simulator plays COM9.
with_register() {
  local program="$1" tarvomdrv="$2" devdir="$work/dev" sim
  mkdir -p "$devdir"
  rm -f "$devdir/COM9"
  TARVO_DEVICE_DIR="$devdir" "$tarvomdrv" simulate --port 9 --quiet > "$work/sim.log" 2>&1 &
  sim=$!
  for _ in $(seq 100); do [ -e "$devdir/COM9" ] && break; sleep 0.1; done
  local rc=0
  TARVO_DEVICE_DIR="$devdir" "$program" 9 || rc=$?
  kill "$sim" 2> /dev/null || true
  wait "$sim" 2> /dev/null || true
  return "$rc"
}

step "cmake --install into $prefix"
cmake --install "$dir" --prefix "$prefix" --strip > "$work/install.log"
for f in bin/tarvomdrv lib/libtarvocom.so lib/libtarvocom.so.1 lib/tarvomdrv/TarvoMDrv.so \
         include/tarvomdrv/automation/TarvoMDrv_TLB.h include/tarvomdrv/automation/tarvo_tlb.def \
         include/tarvomdrv/platform/com/com_abi.h include/tarvomdrv/platform/com/com_runtime.h \
         share/tarvomdrv/TarvoMDrv.idl lib/pkgconfig/tarvomdrv.pc \
         lib/cmake/TarvoMDrv/TarvoMDrvConfig.cmake share/man/man1/tarvomdrv.1 \
         share/doc/tarvomdrv/README.md; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readelf -d "$prefix/lib/libtarvocom.so.1" | grep -o 'soname: \[[^]]*\]')" = "soname: [libtarvocom.so.1]" ] \
  || fail "libtarvocom.so has no soname libtarvocom.so.1"
if grep -rlF "$dir" "$prefix" > "$work/leaks"; then
  fail "installed files point into the build folder: $(tr '\n' ' ' < "$work/leaks")"
fi
man -l "$prefix/share/man/man1/tarvomdrv.1" > /dev/null 2>&1 || [ ! -x "$(command -v man)" ] \
  || fail "the man page does not format"

step "the installed program finds the installed module"
[ "$("$prefix/bin/tarvomdrv" --version)" = "3.0.2.2" ] || fail "tarvomdrv --version"

step "an outside program built with pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/consumer-pc" "$root/tests/package/consumer.cpp" \
    $(pkg-config --cflags --libs tarvomdrv) -Wl,-rpath,"$prefix/lib"
"$work/consumer-pc" > /dev/null 2>&1 && fail "the control was created before registration"
"$prefix/bin/tarvomdrv" regsvr > /dev/null
"$work/consumer-pc" || fail "pkg-config program, user registration"
"$prefix/bin/tarvomdrv" regsvr -u > /dev/null
"$work/consumer-pc" > /dev/null 2>&1 && fail "the control was created after unregistration"

step "system registration, read through the user's empty file"
"$prefix/bin/tarvomdrv" regsvr --system > /dev/null
grep -q 'TarvoMDrv.Tarvo' "$prefix/etc/tarvomdrv/registry.reg" || fail "the system file lacks the class"
grep -q 'TarvoMDrv.Tarvo' "$TARVO_REGISTRY" && fail "--system wrote the user's file"
"$work/consumer-pc" || fail "pkg-config program, system registration"

step "an outside program built with find_package(TarvoMDrv)"
cmake -S "$root/tests/package" -B "$work/consumer-cmake" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release > "$work/consumer-cmake.log" \
  || { cat "$work/consumer-cmake.log"; fail "find_package(TarvoMDrv)"; }
cmake --build "$work/consumer-cmake" > /dev/null
"$work/consumer-cmake/consumer" || fail "find_package program"
with_register "$work/consumer-cmake/consumer" "$prefix/bin/tarvomdrv" \
  || fail "find_package program against a simulated register"
"$prefix/bin/tarvomdrv" regsvr -u --system > /dev/null
grep -q 'TarvoMDrv.Tarvo' "$prefix/etc/tarvomdrv/registry.reg" && fail "-u --system left the class"

step "the Debian package"
(cd "$dir" && cpack -G DEB > "$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
deb="$dir/tarvomdrv_3.0.2.2_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = "tarvomdrv" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "3.0.2.2" ] || fail "package version"
depends="$(dpkg-deb -f "$deb" Depends)"
for d in libc6 libstdc++6; do
  grep -q "$d" <<< "$depends" || fail "Depends lacks $d: $depends"
done
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/contents"
for f in ./usr/bin/tarvomdrv ./usr/lib/libtarvocom.so.1.0 ./usr/lib/tarvomdrv/TarvoMDrv.so \
         ./usr/lib/pkgconfig/tarvomdrv.pc ./usr/include/tarvomdrv/automation/TarvoMDrv_TLB.h \
         ./usr/share/man/man1/tarvomdrv.1; do
  grep -qx -- "$f" "$work/contents" || fail "the package lacks $f"
done
dpkg-deb -I "$deb" postinst | grep -q 'regsvr --system' || fail "postinst does not register"
dpkg-deb -I "$deb" prerm | grep -q 'regsvr -u --system' || fail "prerm does not unregister"

if [ "$(id -u)" -ne 0 ]; then
  step "SKIPPED installing the package: needs root (CI runs as root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' tarvomdrv 2>/dev/null | grep -q "install ok installed"; then
  step "SKIPPED installing the package: tarvomdrv is installed on this machine already"
  exit 0
fi
step "dpkg -i, create the control as a user program, dpkg -r"
system_file=/etc/tarvomdrv/registry.reg
trap 'dpkg -r tarvomdrv > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
grep -q 'TarvoMDrv.Tarvo' "$system_file" || fail "postinst did not register in $system_file"
unset PKG_CONFIG_PATH
export TARVO_REGISTRY="$work/fresh-user.reg"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/consumer-system" "$root/tests/package/consumer.cpp" \
    $(pkg-config --cflags --libs tarvomdrv)
"$work/consumer-system" || fail "a user program could not create the installed control"
with_register "$work/consumer-system" /usr/bin/tarvomdrv \
  || fail "a user program could not talk to a simulated register through the installed control"
dpkg -r tarvomdrv > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
if [ -f "$system_file" ] && grep -q 'TarvoMDrv.Tarvo' "$system_file"; then
  fail "dpkg -r left the class registered in $system_file"
fi
[ ! -e /usr/bin/tarvomdrv ] || fail "dpkg -r left /usr/bin/tarvomdrv"
step "all passed"
