#!/usr/bin/env bash
# Runs the benchmarks; each prints its figures as ratios against a baseline
# measured in the same run. Arguments pick some: discovery video audio convert
# record, and wine (the Windows backend's grab under Wine; not run by default).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

install_system_packages
ensure_venv mss pywinctl soundcard imageio-ffmpeg
install_module

which=("$@")
[ ${#which[@]} -eq 0 ] && which=(discovery video audio convert record)
py="$VOREL_VENV/bin/python"
for name in "${which[@]}"; do
  log "benchmark: $name"
  case "$name" in
    convert)
      cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/bench" -DVOREL_MODULE=OFF -DVOREL_BENCH=ON \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$VOREL_ROOT/build/bench" --target vorel_convert_bench >/dev/null
      "$py" "$VOREL_ROOT/bench/bench_convert.py" "$VOREL_ROOT/build/bench/vorel_convert_bench"
      ;;
    audio)
      cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/bench" -DVOREL_MODULE=OFF -DVOREL_BENCH=ON \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$VOREL_ROOT/build/bench" --target vorel_wakeup_floor >/dev/null
      env -u DISPLAY -u PULSE_SERVER "$py" "$VOREL_ROOT/bench/bench_audio.py" \
        --floor "$VOREL_ROOT/build/bench/vorel_wakeup_floor"
      ;;
    wine)
      # Cross-built with MinGW-w64 and run under Wine on a private X server.
      "$VOREL_ROOT/scripts/win_cross.sh" bench
      ;;
    video)
      cmake -S "$VOREL_ROOT" -B "$VOREL_ROOT/build/bench" -DVOREL_MODULE=OFF -DVOREL_BENCH=ON \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$VOREL_ROOT/build/bench" --target vorel_grab_overlap_bench >/dev/null
      env -u DISPLAY "$py" "$VOREL_ROOT/bench/bench_video.py" \
        --grab-overlap "$VOREL_ROOT/build/bench/vorel_grab_overlap_bench"
      ;;
    discovery|record)
      # Each starts the private servers it needs.
      env -u DISPLAY "$py" "$VOREL_ROOT/bench/bench_$name.py"
      ;;
    *) log "unknown benchmark $name"; exit 2 ;;
  esac
done
