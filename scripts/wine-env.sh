# Sourced by every script that runs Windows programs: one private Wine prefix per build tree,
# quiet, and never trying to download Mono or Gecko into a new prefix.
wine_setup_env() {
  export WINEPREFIX="$1"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if command -v wine64 >/dev/null 2>&1; then
    WINE=$(command -v wine64)
  elif [ -x /usr/lib/wine/wine64 ]; then
    WINE=/usr/lib/wine/wine64
  else
    WINE=$(command -v wine)
  fi
  if command -v wineserver >/dev/null 2>&1; then
    WINESERVER=$(command -v wineserver)
  else
    WINESERVER=/usr/lib/wine/wineserver
  fi
  export WINE WINESERVER
}
