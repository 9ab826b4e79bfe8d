#!/usr/bin/env bash
# Builds the program for 64-bit Windows (MinGW-w64, posix threads) into a
# folder a Windows user unpacks and runs, and its zip:
#   build-windows/kolva-updater-VERSION-windows/ and .zip
# With --test, also builds the unit, component and window tests for Windows
# and runs them under Wine (offscreen).
#
# Qt for Windows: KOLVA_QT_MINGW (a folder, or the .tar.xz of one), else
# ../shared/qt6-mingw/ beside this folder, else the one cached in
# ~/.cache/kolva-windows, else it is built once from Debian's source of the
# host's Qt (about an hour on 2 cores) and cached there.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
test=0
[ "${1:-}" = --test ] && test=1
cache="${KOLVA_WINDOWS_CACHE:-$HOME/.cache/kolva-windows}"
qt_version=6.4.2

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix qt6-base-dev-tools
  googletest zip xz-utils wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

toolchain="$root/cmake/mingw-w64.cmake"

# Unpacks a Qt archive into the cache, once per archive.
unpack() {
  local archive="$1" dest="$cache/qt-$qt_version"
  local stamp="$(basename "$archive") $(stat -c %s "$archive")"
  if [ "$(cat "$dest/.from" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$dest" && mkdir -p "$dest"
    tar -C "$dest" -xJf "$archive"
    echo "$stamp" > "$dest/.from"
  fi
  echo "$dest"
}

# The recipe of ../shared/qt6-mingw/README.md: Debian's qtbase source,
# cross-built with the host's Qt tools.
build_qt() {
  local dest="$cache/qt-$qt_version" work="$cache/qt-source"
  mkdir -p "$work"
  (
    cd "$work"
    if ! ls qt6-base_*.orig.tar.xz >/dev/null 2>&1; then
      if ! apt-get source --download-only qt6-base >/dev/null 2>&1; then
        # A source entry beside the system's own Debian entry.
        local list
        list="$(grep -l '^Types: deb$' /etc/apt/sources.list.d/*.sources | head -1)"
        sed 's/^Types: deb$/Types: deb-src/' "$list" | $sudo tee /etc/apt/sources.list.d/kolva-src.sources >/dev/null
        $sudo apt-get update
        apt-get source --download-only qt6-base
      fi
    fi
    rm -rf "qtbase-everywhere-src-$qt_version" && tar xf qt6-base_*.orig.tar.xz
    # With OpenGL off, Qt 6.4.2's Windows platform plugin still uses the dynamic-GL code.
    sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
      "qtbase-everywhere-src-$qt_version/src/plugins/platforms/windows/qwindowswindow.cpp"
    cmake -S "qtbase-everywhere-src-$qt_version" -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
      -DCMAKE_INSTALL_PREFIX="$dest" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
      -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
      -DFEATURE_sql=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
      -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_tabletevent=OFF -DINPUT_openssl=no \
      -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
      -DFEATURE_system_freetype=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_zstd=OFF
    cmake --build build --parallel "$(nproc)"
    rm -rf "$dest" && cmake --install build
    echo built > "$dest/.from"
  ) >&2
  rm -rf "$work"
  echo "$dest"
}

qt="${KOLVA_QT_MINGW:-}"
if [ -n "$qt" ]; then
  [ -f "$qt" ] && qt="$(unpack "$qt")"
elif ls ../shared/qt6-mingw/qt6-base-*-x86_64-w64-mingw32.tar.xz >/dev/null 2>&1; then
  qt="$(unpack "$(ls ../shared/qt6-mingw/qt6-base-*-x86_64-w64-mingw32.tar.xz | head -1)")"
elif [ -f "$cache/qt-$qt_version/.from" ]; then
  qt="$cache/qt-$qt_version"
else
  echo "No Qt for Windows given or cached: building it from Debian's source (about an hour)." >&2
  qt="$(build_qt)"
fi
qt="$(cd "$qt" && pwd)"
[ -f "$qt/bin/Qt6Widgets.dll" ] || { echo "No Qt for Windows in $qt" >&2; exit 1; }

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
tests=OFF
[ $test = 1 ] && tests=ON
start=$SECONDS
cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DKOLVA_QT_MINGW="$qt" -DCMAKE_PREFIX_PATH="$qt" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DKOLVA_TESTS=$tests -DKOLVA_BENCH=OFF "${launcher[@]}" \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/env;KOLVA_QT_MINGW=$qt;$root/scripts/wine-run.sh" >/dev/null
cmake --build build-windows -j"$(nproc)"
echo "Windows build: $((SECONDS - start)) s"

version="$(sed -n 's/^project(KolvaUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
name="kolva-updater-$version-windows"
rm -rf "build-windows/$name" "build-windows/$name.zip"
cmake --install build-windows --prefix "build-windows/$name" --strip >/dev/null
x86_64-w64-mingw32-strip --strip-unneeded "build-windows/$name"/lib*.dll
(cd build-windows && zip -qr "$name.zip" "$name")
echo "build-windows/$name/ ($(du -sh "build-windows/$name" | cut -f1)), build-windows/$name.zip ($(du -h "build-windows/$name.zip" | cut -f1))"

if [ $test = 1 ]; then
  start=$SECONDS
  ctest --test-dir build-windows -L windows --output-on-failure -j"$(nproc)" --timeout 600
  echo "Windows tests under Wine: $((SECONDS - start)) s"
fi
