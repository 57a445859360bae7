#!/usr/bin/env bash
# How one call's cost grows with the registry (5x10, 50x100, 200x500 games x entries), on a
# Release build with the store on tmpfs: instructions per stored value (callgrind), peak heap
# against the file's size (massif), page faults against the file's pages.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}" valgrind
build="$ORVO_ROOT/build/profile"
orvo_build "$build" -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF
group=$(sed -n 's/^ORVO_APP_GROUP_IDENTIFIER:STRING=//p' "$build/CMakeCache.txt")
python3 "$ORVO_ROOT/scripts/profile_calls.py" "$build/tools/call_probe" "$group"
