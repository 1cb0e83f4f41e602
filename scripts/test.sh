#!/usr/bin/env bash
# Installs the dependencies, builds and runs every test: ./scripts/test.sh [debug|release|sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
./scripts/install-deps.sh
./scripts/build.sh "$preset"
ctest --preset "$preset" -j2
