#!/usr/bin/env bash
# Builds the Windows control (TarvoMDrv.ocx, x86_64 and i686, MinGW-w64) and
# tests it under Wine:
#   - a fresh headless Wine prefix, removed at the end;
#   - regsvr32 of the 64-bit .ocx, its registry entries read back with reg query;
#   - the C++ test client (tests/wine): ProgID activation, early and late
#     binding, events through the connection point;
#   - two registers on COM ports that Wine maps to pseudo-terminals, played
#     by the native register simulator (`tarvomdrv simulate`), one in the 841
#     mode and one in Mode650; the simulator's trace must show the host's
#     frames byte for byte;
#   - a minimal OLE container (in-place activation, persistence);
#   - VBScript through cscript;
#   - regsvr32 /u, and the entries must be gone.
# The 32-bit .ocx runs the same tests when this machine can run 32-bit
# programs; otherwise its stdcall COM methods and its exports are checked in
# the binary.
#
#   scripts/wine-test.sh            results and Wine's output in build-win64/wine-test/
#
# Environment: TARVO_WINE_KEEP=1 keeps the prefix for a look afterwards.
# Exit status 0 when every check passed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
started=$SECONDS
out="$root/build-win64/wine-test"
jobs="$(nproc 2>/dev/null || echo 2)"

passed=0
failed=0
declare -a failures=()
check() {  # check NAME COMMAND...: one line per check, like the test programs
  local name="$1"
  shift
  if "$@"; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    failed=$((failed + 1))
    failures+=("$name")
  fi
}
note() { echo "---- $*"; }

# Waits for a condition (a command) with a deadline in seconds; the short
# pause between tries is the waiting, not a guess at how long something takes.
wait_until() {
  local seconds="$1"
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS >= end)) && return 1
    sleep 0.2
  done
}

# --- what the run needs -------------------------------------------------------------
find_wine64() {
  if command -v wine64 >/dev/null 2>&1; then command -v wine64
  elif [[ -x /usr/lib/wine/wine64 ]]; then echo /usr/lib/wine/wine64
  fi
}
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v i686-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-i686)
command -v widl >/dev/null || missing+=(wine64-tools)
[[ -n "$(find_wine64)" ]] || missing+=(wine64)
command -v wine >/dev/null || missing+=(wine)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
[[ -d /usr/lib/gcc/x86_64-linux-gnu ]] && ls /usr/lib/gcc/x86_64-linux-gnu/*/32/crtbegin.o >/dev/null 2>&1 ||
  missing+=(gcc-multilib)
if ((${#missing[@]})); then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    note "installing ${missing[*]}"
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "wine-test: missing ${missing[*]} (install them as root)" >&2
    exit 1
  fi
fi
WINE64="$(find_wine64)"

# --- builds ---------------------------------------------------------------------------
mkdir -p "$out"
rm -f "$out"/*.log "$out"/*.txt
build_windows() {  # build_windows DIR TRIPLE
  local dir="$1" triple="$2"
  cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$triple.cmake" >"$out/configure-$dir.txt" 2>&1 &&
    cmake --build "$root/$dir" -j "$jobs" >"$out/build-$dir.txt" 2>&1
}
note "building build-win64 and build-win32 (logs in $out)"
check "build-win64 (x86_64-w64-mingw32)" build_windows build-win64 x86_64-w64-mingw32
check "build-win32 (i686-w64-mingw32)" build_windows build-win32 i686-w64-mingw32
# The native tarvomdrv (the register simulator), brought up to date in build/
# (scripts/test.sh has built it already; then this is a no-op).
note "building the native tarvomdrv (register simulator)"
{ [[ -f "$root/build/CMakeCache.txt" ]] || cmake -S "$root" -B "$root/build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_BENCH=OFF; } >"$out/build-native.txt" 2>&1
cmake --build "$root/build" --target tarvomdrv -j "$jobs" >>"$out/build-native.txt" 2>&1
tarvomdrv="$root/build/bin/tarvomdrv"
check "native tarvomdrv present" test -x "$tarvomdrv"
cc -shared -fPIC -O2 "$root/tests/wine/ptyshim.c" -o "$out/ptyshim64.so" -ldl
check "pseudo-terminal shim built" test -f "$out/ptyshim64.so"
ocx32="$root/build-win32/bin/TarvoMDrv.ocx"


# --- one suite: a fresh prefix, two registers, registration, the programs ----------
# run_suite BITS: BITS 64 runs the x86_64 build with wine64, 32 the i686 build
# with wine (wine32) in a 32-bit prefix.
sim_pids=()
prefixes=()
cleanup() {
  local p
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for p in "${prefixes[@]}"; do
    WINEPREFIX="$p" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$p" wineserver -w >/dev/null 2>&1
    if [[ "${TARVO_WINE_KEEP:-}" == 1 ]]; then echo "prefix kept: $p"; else rm -rf "$p"; fi
  done
  rm -rf "$out/dev"
}
trap cleanup EXIT
export DISPLAY= WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
# Runs a Windows program under Wine; its output goes to a file (Wine's
# background processes keep pipes open).
wine_to() {  # wine_to OUTFILE ARGS...
  local file="$1"
  shift
  "$WINE" "$@" >"$file" 2>"$file.stderr"
}

clsid='{F3603B61-8F04-479E-9AD8-70404E55EC24}'
libid='{B4CD3BC4-FA65-4EE9-BA47-DF85C93D6E7F}'
module_path='C:\Program Files\TarvoMDrv\TarvoMDrv.ocx'

# The default value (or the value NAME) of KEY; fails when the key is missing.
reg_value() {  # reg_value KEY [NAME]
  local args=(/ve)
  [[ -n "${2:-}" ]] && args=(/v "$2")
  wine_to "$out/reg.txt" reg query "$1" "${args[@]}" || return 1
  tr -d '\r' <"$out/reg.txt" | sed -n 's/^ *[^ ].*REG_SZ *\(.*\)$/\1/p' | head -n 1
}
value_is() {  # value_is EXPECTED KEY [NAME] (case-insensitive, as GUID text may be)
  local got
  got="$(reg_value "$2" "${3:-}")" || { echo "  $2 missing"; return 1; }
  [[ "${got,,}" == "${1,,}" ]] || { echo "  $2 ${3:-(default)}: \"$got\", expected \"$1\""; return 1; }
}
key_exists() { wine_to "$out/reg.txt" reg query "$1"; }
key_gone() { ! wine_to "$out/reg.txt" reg query "$1"; }
short_path_without_space() {
  local got
  got="$(reg_value "HKCR\\CLSID\\$clsid\\InprocServer32")" || return 1
  echo "  InprocServer32: $got"
  [[ "$got" != *" "* && "${got,,}" == *.ocx && "$got" != "$module_path" ]]
}
typelib_path() {  # typelib_path win64|win32
  local got
  got="$(reg_value "HKCR\\TypeLib\\$libid\\1.0\\409\\$1")" || return 1
  echo "  TypeLib $1: $got"
  [[ "${got,,}" == *tarvomdrv.ocx ]]
}

# Each test program appends PASS/FAIL lines to its log; its exit code says
# whether all passed.
run_program() {  # run_program NAME PROGRAM ARGS...
  local name="$1" program="$2"
  shift 2
  rm -f "$out/$name.log"
  # A generous deadline: a program that hangs is a failure, not a stuck run.
  timeout -k 10 180 "$WINE" "$program" "$(winpath "$out/$name.log")" "$@" >"$out/$name.txt" 2>"$out/$name.txt.stderr"
  local rc=$?
  ((rc == 124)) && echo "  (killed after 180 s)"
  [[ -f "$out/$name.log" ]] && sed 's/^/  /' "$out/$name.log"
  return $rc
}

start_register() {  # start_register PORT SCRIPT NAME
  mkdir -p "$out/dev/$3"
  "$tarvomdrv" simulate --port "$1" --device-dir "$out/dev/$3" --script "$2" >"$out/sim-$3.txt" 2>&1 &
  sim_pids+=($!)
}
pty_of() { sed -n 's/^register COM[0-9]* on \(\/dev\/[^ ]*\).*/\1/p' "$out/sim-$1.txt"; }
registers_up() { [[ -n "$(pty_of "$1")" && -n "$(pty_of "$2")" ]]; }
frames_seen() {  # frames_seen NAME MODE: every expected host frame is in that simulator's trace
  local missing_frames=0 frame
  while IFS= read -r frame; do
    [[ -z "$frame" ]] && continue
    grep -qxF "$frame" "$out/sim-$1.txt" || { echo "  not sent: $frame"; missing_frames=1; }
  done <"$root/tests/wine/host-frames-$2.txt"
  return $missing_frames
}
script_done() { grep -q '^script done:' "$out/sim-$1.txt"; }
vbscript() {  # vbscript TAG
  timeout -k 10 180 "$WINE" cscript //nologo "$(winpath "$root/tests/wine/tarvo.vbs")" \
    >"$out/vbscript$1.txt" 2>"$out/vbscript$1.txt.stderr" || return 1
  tr -d '\r' <"$out/vbscript$1.txt" >"$out/vbscript$1-lines.txt"
  diff -u "$root/tests/wine/tarvo.vbs.expected" "$out/vbscript$1-lines.txt" >"$out/vbscript$1.diff" ||
    { sed 's/^/  /' "$out/vbscript$1.diff"; return 1; }
}

run_suite() {
  local bits="$1" build arch t
  if [[ $bits == 64 ]]; then
    build="$root/build-win64" arch=win64 WINE="$WINE64"
  else
    build="$root/build-win32" arch=win32 WINE=wine
  fi
  t="[$bits-bit] "
  local program
  for program in TarvoMDrv.ocx tarvo_wine_client.exe tarvo_wine_container.exe; do
    if [[ ! -f "$build/bin/$program" ]]; then
      check "${t}$program built (the rest of this suite needs it)" false
      return
    fi
  done
  local client="$build/bin/tarvo_wine_client.exe" container="$build/bin/tarvo_wine_container.exe"
  export WINEPREFIX WINEARCH="$arch"
  WINEPREFIX="$(mktemp -d /tmp/tarvo-wine.XXXXXX)"
  prefixes+=("$WINEPREFIX")

  # Two registers, each on its own pseudo-terminal: COM5 plays the 841 day,
  # COM6 the Mode650 day. They start playing when the driver resets the link.
  start_register 5 "$root/tests/wine/day841.json" "841-$bits"
  start_register 6 "$root/tests/wine/day650.json" "650-$bits"
  check "${t}register simulators on pseudo-terminals" wait_until 60 registers_up "841-$bits" "650-$bits"
  local pty841 pty650
  pty841="$(pty_of "841-$bits")"
  pty650="$(pty_of "650-$bits")"

  # The port mapping is read when the Wine server starts: it is restarted
  # after the entries are written. Without a display, Wine's null graphics
  # driver gives windows (the container's frame, the control's own window)
  # that are never drawn on a screen.
  note "${t}fresh Wine prefix $WINEPREFIX (COM5 -> $pty841, COM6 -> $pty650)"
  boot() {
    wine_to "$out/boot$bits.txt" wineboot -i &&
      wine_to "$out/ports$bits.txt" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty841" /f &&
      wine_to "$out/ports$bits.txt" reg add 'HKLM\Software\Wine\Ports' /v COM6 /d "$pty650" /f &&
      wine_to "$out/graphics$bits.txt" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
      wineserver -k && wineserver -w
  }
  check "${t}Wine prefix boots headless, COM5/COM6 mapped" boot

  # The module goes where Windows programs go, so its path has a space:
  # InprocServer32 gets the short form, ToolboxBitmap32 the full one.
  mkdir -p "$WINEPREFIX/drive_c/Program Files/TarvoMDrv"
  cp "$build/bin/TarvoMDrv.ocx" "$WINEPREFIX/drive_c/Program Files/TarvoMDrv/" 2>/dev/null

  check "${t}regsvr32 /s TarvoMDrv.ocx" wine_to "$out/regsvr32-$bits.txt" regsvr32 /s "$module_path"
  check "${t}reg: CLSID default \"Tarvo Control\"" value_is "Tarvo Control" "HKCR\\CLSID\\$clsid"
  check "${t}reg: InprocServer32 in short form (path with a space)" short_path_without_space
  check "${t}reg: ThreadingModel Apartment" value_is Apartment "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel
  check "${t}reg: ProgID" value_is TarvoMDrv.Tarvo "HKCR\\CLSID\\$clsid\\ProgID"
  check "${t}reg: Version 1.0" value_is 1.0 "HKCR\\CLSID\\$clsid\\Version"
  check "${t}reg: TypeLib" value_is "$libid" "HKCR\\CLSID\\$clsid\\TypeLib"
  check "${t}reg: MiscStatus 0" value_is 0 "HKCR\\CLSID\\$clsid\\MiscStatus"
  check "${t}reg: MiscStatus\\1 205201" value_is 205201 "HKCR\\CLSID\\$clsid\\MiscStatus\\1"
  check "${t}reg: ToolboxBitmap32 full path, bitmap 1" value_is "$module_path,1" "HKCR\\CLSID\\$clsid\\ToolboxBitmap32"
  check "${t}reg: Control" key_exists "HKCR\\CLSID\\$clsid\\Control"
  check "${t}reg: Verb\\0 Properties,0,2" value_is "Properties,0,2" "HKCR\\CLSID\\$clsid\\Verb\\0"
  check "${t}reg: TarvoMDrv.Tarvo default" value_is "Tarvo Control" "HKCR\\TarvoMDrv.Tarvo"
  check "${t}reg: TarvoMDrv.Tarvo\\Clsid" value_is "$clsid" "HKCR\\TarvoMDrv.Tarvo\\Clsid"
  check "${t}reg: type library registered ($arch)" typelib_path "$arch"

  check "${t}client: activation, early and late binding" run_program "binding$bits" "$client" binding
  check "${t}client: events through the connection point" run_program "events$bits" "$client" events
  # The shim answers the modem-status calls Wine makes while it waits for
  # serial input on a pseudo-terminal (both widths: the loader skips the
  # one that does not fit the process).
  local shim="$out/ptyshim64.so"
  [[ -f "$out/ptyshim32.so" ]] && shim="$shim $out/ptyshim32.so"
  LD_PRELOAD="$shim" check "${t}client: COM5, 841 mode, against the simulator" \
    run_program "serial841-$bits" "$client" serial 5 0
  check "${t}simulator 841: its script ran to the end (answers checked)" wait_until 30 script_done "841-$bits"
  check "${t}simulator 841: the host's frames byte for byte" frames_seen "841-$bits" 841
  LD_PRELOAD="$shim" check "${t}client: COM6, Mode650, against the simulator" \
    run_program "serial650-$bits" "$client" serial 6 1
  check "${t}simulator 650: its script ran to the end (answers checked)" wait_until 30 script_done "650-$bits"
  check "${t}simulator 650: the host's frames byte for byte" frames_seen "650-$bits" 650
  check "${t}container: in-place activation and persistence" run_program "container$bits" "$container"
  check "${t}VBScript: CreateObject(\"TarvoMDrv.Tarvo\") and calls (cscript)" vbscript "$bits"

  check "${t}regsvr32 /u /s TarvoMDrv.ocx" wine_to "$out/regsvr32-u$bits.txt" regsvr32 /u /s "$module_path"
  check "${t}reg: CLSID key gone" key_gone "HKCR\\CLSID\\$clsid"
  check "${t}reg: ProgID key gone" key_gone "HKCR\\TarvoMDrv.Tarvo"
  check "${t}reg: type library unregistered" key_gone "HKCR\\TypeLib\\$libid\\1.0"
  check "${t}regsvr32 /u again (nothing registered) succeeds" \
    wine_to "$out/regsvr32-uu$bits.txt" regsvr32 /u /s "$module_path"
  WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1
}

run_suite 64

# The Win32 twins of the platform layer on their own (message loop, code
# page, log file, module path, serial device on a pseudo-terminal).
platform_twins() {
  PTYSHIM_SRC="$root/tests/wine/ptyshim.c" bash "$root/tests/platform_win/run.sh" \
    "$out/platform" >"$out/platform.txt" 2>&1
}
check "[64-bit] Win32 platform twins (tests/platform_win)" platform_twins

# --- the 32-bit control -------------------------------------------------------------
# Whether this kernel runs 32-bit programs at all: a tiny one, built and run.
can_run_32bit() {
  printf 'int main(void){return 0;}\n' >"$out/hello32.c"
  gcc -m32 "$out/hello32.c" -o "$out/hello32" >"$out/hello32.txt" 2>&1 &&
    bash -c '"$1"' run32 "$out/hello32" >>"$out/hello32.txt" 2>&1
}

# COM methods are stdcall on i686: the callee pops its arguments, so each
# ends in `ret $N` with N = 4 x (this + parameters). A method compiled as
# thiscall or cdecl ends in a plain `ret` and corrupts the caller's stack.
stdcall_table() {
  cat <<'EOF'
::QueryInterface(_GUID const&, void**)	0xc
::AddRef()	0x4
::Release()	0x4
::GetTypeInfoCount(unsigned int*)	0x8
::GetIDsOfNames(_GUID const&, wchar_t**, unsigned int, unsigned long, long*)	0x18
::Invoke(long, _GUID const&, unsigned long, unsigned short, tagDISPPARAMS*, tagVARIANT*, tagEXCEPINFO*, unsigned int*)	0x24
::Init(unsigned char, long, long, wchar_t*, long*)	0x18
::SendPlu(unsigned char, wchar_t*, wchar_t*, unsigned char, unsigned char, unsigned char, wchar_t*, wchar_t*, wchar_t*, long, long, long, long*)	0x38
::EcrCheck(unsigned char, long*, long*, long*, wchar_t**, unsigned char*, unsigned char*, wchar_t**, long*, short*, long*)	0x30
::GetStatus(unsigned char, short*, long*)	0x10
::put_Mode650(short)	0x8
::get_Mode650(short*)	0x8
::Advise(IUnknown*, unsigned long*)	0xc
DllGetClassObject@12	0xc
EOF
}
# For each row (a COM signature as the demangler writes it): every function
# with that signature, this-adjusting thunks and lambdas inside it aside,
# must return only with `ret $N`; at least one must exist.
stdcall_methods() {
  local disasm="$out/ocx32-disasm.txt" bad=0
  i686-w64-mingw32-objdump -d -C --no-show-raw-insn "$ocx32" >"$disasm" || return 1
  while IFS=$'\t' read -r pattern want; do
    local result
    result="$(awk -v pat="$pattern" -v want="$want" '
      /^[0-9a-f]+ <.*>:$/ {
        name = substr($0, index($0, "<") + 1); sub(/>:$/, "", name)
        inside = index(name, pat) > 0 && name !~ /thunk|lambda|\{/
        if (inside) functions++
        next
      }
      inside && /\tret/ {
        n = $0; sub(/.*\tret[lw]? */, "", n); sub(/^\$/, "", n); sub(/ .*/, "", n)
        if (n == "") n = "0x0"
        if (n != want) { wrong++; example = name " ends in ret " n }
        rets++
      }
      END { printf "%d %d %d %s\n", functions, rets, wrong, example }' "$disasm")"
    read -r functions rets wrong example <<<"$result"
    if ((functions == 0 || rets == 0 || wrong > 0)); then
      echo "  $pattern: $functions functions, $rets returns, $wrong not 'ret \$$want' $example"
      bad=1
    fi
  done < <(stdcall_table)
  return $bad
}
exports_present() {
  i686-w64-mingw32-objdump -p "$ocx32" >"$out/ocx32-headers.txt" || return 1
  local name ok=0
  for name in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
    grep -Eq "^[[:space:]]+\[ *[0-9]+\] \+?(base\[ *[0-9]+\] )?(0x[0-9a-f]+ )?$name\$|[[:space:]]$name\$" \
      "$out/ocx32-headers.txt" || { echo "  export $name missing"; ok=1; }
  done
  return $ok
}

if can_run_32bit; then
  note "this machine runs 32-bit programs: the 32-bit control runs the same tests under wine32"
  cc -m32 -shared -fPIC -O2 "$root/tests/wine/ptyshim.c" -o "$out/ptyshim32.so" -ldl
  run_suite 32
else
  echo "NOTE this kernel cannot run 32-bit programs ($(tr '\n' ' ' <"$out/hello32.txt" | cut -c1-100)); the 32-bit TarvoMDrv.ocx is checked in the binary instead of under wine32"
  check "32-bit: TarvoMDrv.ocx built" test -f "$ocx32"
  check "32-bit: the four Dll* exports" exports_present
  check "32-bit: COM methods are stdcall (ret \$N, callee pops)" stdcall_methods
fi

echo
echo "wine-test: $passed passed, $failed failed in $((SECONDS - started)) s (details in $out)"
for f in "${failures[@]}"; do echo "  failed: $f"; done
((failed == 0))
