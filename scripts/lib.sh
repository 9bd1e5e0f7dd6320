# Shared shell helpers of the project's scripts. Source it; it changes nothing by itself.

ORV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORV_WIN=$ORV_ROOT/build/win32

# The environment every Windows program of the project runs in.
orv_wine_env() {
  export WINEPREFIX=$ORV_WIN/wineprefix
  export WINEARCH=win32
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the prefix once and starts a persistent wineserver for it. Wine's helper processes
# otherwise inherit the caller's pipes, and a test runner waiting on them would stall.
orv_wine_start() {
  orv_wine_env
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 </dev/null
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1 </dev/null
  wine cmd /c exit >/dev/null 2>&1 </dev/null
}

orv_wine_stop() {
  orv_wine_env
  wineserver -k >/dev/null 2>&1 || true
}

# Converts a Unix path to the Windows path Wine shows for it (drive Z: is the root).
orv_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}
