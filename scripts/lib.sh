# Shared by the scripts: an Xvfb display and a Wine prefix of the project's own.
# Source it, then call start_display and start_wine; stop_services undoes both.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine=/usr/lib/wine/wine64
xvfb_pid=

start_display() {
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && return 0
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "no free display for Xvfb" >&2
  return 1
}

start_wine() {
  export WINEPREFIX="$root/build/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # Wine reads the Unix names and arguments in the locale's encoding.
  export LANG=C.UTF-8
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1 || true
  fi
  # A persistent server keeps each test process's start short. The first program
  # also starts Wine's background services, which keep the standard handles they
  # inherit: start them here with /dev/null, so no test's output pipe stays open.
  /usr/lib/wine/wineserver -p >/dev/null 2>&1 || true
  "$wine" wineboot >/dev/null 2>&1 </dev/null || true
  # Xvfb has no window manager: Wine then places, decorates and maximizes windows itself.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
  # Frames with a padded border, as on Windows 10 and later: the outer frame is then
  # wider than SM_CXFRAME says (-60 is 4 pixels).
  "$wine" reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v PaddedBorderWidth /d -60 /f \
    >/dev/null 2>&1 </dev/null || true
}

stop_services() {
  [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
}
