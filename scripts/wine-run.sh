#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: the Qt libraries and the
# compiler's runtime found through WINEPATH, Qt's plugins through
# QT_PLUGIN_PATH, a Wine prefix of our own that is made on first use.
# KOLVA_QT_MINGW names the Qt for Windows (scripts/windows.sh sets it).
set -euo pipefail
: "${KOLVA_QT_MINGW:?the Qt for Windows}"
export WINEPREFIX="${KOLVA_WINEPREFIX:-$HOME/.cache/kolva-windows/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No prompts to install Mono or Gecko, which nothing here needs.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
gcc_dir="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
win() { local p="Z:$1"; echo "${p//\//\\}"; }  # a path of this machine, as Wine sees it
export WINEPATH="$(win "$KOLVA_QT_MINGW/bin");$(win "$gcc_dir");$(win /usr/x86_64-w64-mingw32/lib)"
export QT_PLUGIN_PATH="$(win "$KOLVA_QT_MINGW/plugins")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
