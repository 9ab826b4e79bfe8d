#!/usr/bin/env bash
# package.sh [--install] [BUILD_DIR]: builds the Debian package from this tree
# in BUILD_DIR (build-package by default), only the programs the package
# holds, no tests or benchmarks; with --install installs it with apt-get,
# directly as root and through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
install=0
if [ "${1:-}" = --install ]; then
  install=1
  shift
fi
out="${1:-build-package}"
./scripts/deps.sh
# The install step CPack runs builds only what is installed, not the whole tree.
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOLVA_TESTS=OFF -DKOLVA_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$out" --target kolva-updater kolva-updater-demo kolva-amp-sim kolva-syxgen
(cd "$out" && cpack -G DEB)
deb="$(cd "$out" && pwd)/$(cd "$out" && ls kolva-updater_*.deb | tail -1)"
echo "package: $deb"
if [ "$install" -eq 1 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y "$deb"
fi
