#!/usr/bin/env bash
# Links _native_core.pyd against the Universal C Runtime (the runtime of
# CPython 3.13 for Windows) with the clang and MinGW-w64 headers that the
# `ziglang` package carries, instead of Debian's MinGW-w64 (msvcrt.dll).
# Needs the CPython headers and the python313.dll import library that
# scripts/win_cross.sh prepares in build-win/python.
#   scripts/win_ucrt_pyd.sh [OUT_DIR]    (default: build-win/ucrt)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

out="${1:-$VOREL_ROOT/build-win/ucrt}"
py="${VOREL_WIN_BUILD:-$VOREL_ROOT/build-win}/python"
[ -f "$py/libpython313.dll.a" ] || { log "run scripts/win_cross.sh pyd first ($py)"; exit 1; }
"$VOREL_VENV/bin/python" -m pip install -q --disable-pip-version-check ziglang
zig=("$VOREL_VENV/bin/python" -m ziglang c++ -target x86_64-windows-gnu)

# The sources of the Windows module, as CMakeLists.txt lists them.
mapfile -t sources < <(sed -n 's/^[[:space:]]*\(src\/[a-z_/0-9]*\.cpp\)[[:space:]]*)\{0,1\}$/\1/p' \
  "$VOREL_ROOT/CMakeLists.txt" | grep -v '/linux/')
mkdir -p "$out/obj"
objects=()
jobs=0
for s in "${sources[@]}"; do
  o="$out/obj/$(echo "$s" | tr '/' '_').o"
  objects+=("$o")
  "${zig[@]}" -std=c++20 -O2 -Wall -Wextra -Werror -Wno-unused-command-line-argument \
    -DNOMINMAX -DWIN32_LEAN_AND_MEAN -DUNICODE -D_UNICODE \
    -I"$VOREL_ROOT/src" -I"$py/include" -c "$VOREL_ROOT/$s" -o "$o" &
  jobs=$((jobs + 1))
  if ((jobs >= $(nproc))); then wait -n; jobs=$((jobs - 1)); fi
done
while ((jobs > 0)); do wait -n; jobs=$((jobs - 1)); done
"${zig[@]}" -shared -o "$out/_native_core.pyd" "${objects[@]}" "$py/libpython313.dll.a" \
  -lole32 -loleaut32 -luuid -luser32 -lgdi32 -lmmdevapi -lavrt -lksuser
log "linked $out/_native_core.pyd"
