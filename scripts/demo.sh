#!/usr/bin/env bash
# Builds the module and plays the demo session against a throwaway app group.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}"
orvo_build "$ORVO_ROOT/build/demo" -DORVO_BUILD_TESTS=OFF
"$ORVO_ROOT/build/demo/orvo" demo
