# Shared shell helpers of the project's scripts. Source it; it changes nothing by itself.
# The Wine environment itself is build/win32/wine-run (made by CMake from cmake/wine-run.in):
# these helpers only call it.

ORV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORV_WIN=$ORV_ROOT/build/win32
ORV_WINE_RUN=$ORV_WIN/wine-run

# Creates the prefix once and starts a persistent wineserver for it.
orv_wine_start() {
  "$ORV_WINE_RUN" --start
}

orv_wine_stop() {
  "$ORV_WINE_RUN" --stop
}

# Converts a Unix path to the Windows path Wine shows for it (drive Z: is the root).
orv_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}
