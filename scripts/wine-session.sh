# Sourced by scripts/test, scripts/demo and scripts/bench: a private Xvfb display, a
# private Wine prefix inside the build tree with one wineserver kept up until exit, and a
# private PulseAudio sound server (scripts/sound-server) for the live-sound tests.
# Needs: $BUILD (the build folder). Sets DISPLAY (unless keep_display=1), WINEPREFIX,
# and (unless keep_sound=1) KORVANE_SOUND_DIR, PULSE_SERVER and PULSE_CLIENTCONFIG.

export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

wine_session_xvfb_pid=""
wine_session_sound=""
wine_session_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)  # absolute: callers cd

wine_session_start() {
    if [ "${keep_display:-0}" != 1 ] || [ -z "${DISPLAY:-}" ]; then
        local n
        for n in $(seq 91 140); do
            [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
            Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            wine_session_xvfb_pid=$!
            export DISPLAY=":$n"
            local i
            for i in $(seq 1 100); do
                [ -e "/tmp/.X11-unix/X$n" ] && break
                sleep 0.1
            done
            kill -0 "$wine_session_xvfb_pid" 2>/dev/null && break
            wine_session_xvfb_pid=""
        done
        [ -n "$wine_session_xvfb_pid" ] || { echo "no free display for Xvfb" >&2; return 1; }
    fi
    if [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
        rm -rf "$WINEPREFIX"
        echo "-- creating the Wine prefix $WINEPREFIX (once)" >&2
        "$(command -v wine64 || echo /usr/lib/wine/wine64)" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
        [ -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
            { echo "Wine prefix has no 32-bit side: is the 32-bit loader runnable?" >&2; return 1; }
    fi
    if [ "${keep_sound:-0}" != 1 ]; then
        wine_session_sound="$BUILD/sound"
        "$wine_session_scripts/sound-server" start "$wine_session_sound"
        export KORVANE_SOUND_DIR="$wine_session_sound" PULSE_SERVER="unix:$wine_session_sound/native" \
            PULSE_CLIENTCONFIG="$wine_session_sound/client.conf"
    fi
    wineserver -p
    # Wine's services start with the first program and inherit its output: start them
    # here, on /dev/null, so that no later pipe (ctest's) stays open behind them.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    trap wine_session_stop EXIT
}

wine_session_stop() {
    wineserver -k 2>/dev/null || true
    if [ -n "$wine_session_sound" ]; then
        "$wine_session_scripts/sound-server" stop "$wine_session_sound" || true
    fi
    if [ -n "$wine_session_xvfb_pid" ]; then
        kill "$wine_session_xvfb_pid" 2>/dev/null || true
        wait "$wine_session_xvfb_pid" 2>/dev/null || true
    fi
}
