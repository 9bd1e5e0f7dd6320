# Shared shell helpers of the project's scripts. Source it; it changes nothing by itself.
# The Wine environment itself is build/ARCH/wine-run (made by CMake from cmake/wine-run.in):
# these helpers only call it. ARCH is win32 (the default: the 32-bit product in a win32
# prefix) or win64 (the 64-bit control in a win64 prefix of its own).

ORV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORV_WIN=$ORV_ROOT/build/win32
ORV_WIN64=$ORV_ROOT/build/win64
ORV_WINE_RUN=$ORV_WIN/wine-run
ORV_WINE_RUN64=$ORV_WIN64/wine-run

# Creates the prefix of build ARCH once and starts a persistent wineserver for it.
orv_wine_start() {
  "$ORV_ROOT/build/${1:-win32}/wine-run" --start
}

orv_wine_stop() {
  "$ORV_ROOT/build/${1:-win32}/wine-run" --stop
}

# Converts a Unix path to the Windows path Wine shows for it (drive Z: is the root).
orv_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

# Whether this machine runs 32-bit x86 programs, and so the 32-bit Wine: a kernel without
# 32-bit support refuses the loader with "Exec format error". Where it cannot, the 64-bit build
# takes the 32-bit build's end-to-end and dialog tests (scripts/build, scripts/test).
ORV_WINE32_LOADER=/usr/lib/wine/wine
orv_runs_32bit() {
  "$ORV_WINE32_LOADER" --version >/dev/null 2>&1
}
