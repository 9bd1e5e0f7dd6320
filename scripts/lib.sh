# Shared shell helpers of the project's scripts. Source it; it changes nothing by itself.

ORV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORV_WIN=$ORV_ROOT/build/win32
ORV_WIN64=$ORV_ROOT/build/win64

# The environment every Windows program of the project runs in. The argument names the
# build: win32 (the default: the 32-bit product in a win32 prefix) or win64 (the 64-bit
# control in a win64 prefix of its own, run by Wine's 64-bit loader).
orv_wine_env() {
  local arch=${1:-win32}
  export WINEPREFIX=$ORV_ROOT/build/$arch/wineprefix
  export WINEARCH=$arch
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  ORV_WINE=wine
  [ "$arch" = win64 ] && ORV_WINE=/usr/lib/wine/wine64
  return 0
}

# Creates the prefix once and starts a persistent wineserver for it. Wine's helper processes
# otherwise inherit the caller's pipes, and a test runner waiting on them would stall.
orv_wine_start() {
  orv_wine_env "$@"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX" >&2
    mkdir -p "$(dirname "$WINEPREFIX")"
    $ORV_WINE wineboot -i >/dev/null 2>&1 </dev/null
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1 </dev/null
  $ORV_WINE cmd /c exit >/dev/null 2>&1 </dev/null
}

orv_wine_stop() {
  orv_wine_env "$@"
  wineserver -k >/dev/null 2>&1 || true
}

# Converts a Unix path to the Windows path Wine shows for it (drive Z: is the root).
orv_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}
