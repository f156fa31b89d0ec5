#!/usr/bin/env bash
# The custom window style in a real X server: the window's top edge right of the tab is
# cut away, the tab moves the window and its close button ends the program. Run without
# a window manager and, where one is installed, with openbox. Screenshots are left in
# OUTDIR for a reviewer to look at; nothing compares them.
#   custom_frame_xvfb.sh VORLANE7 SAMPLES OUTDIR
set -euo pipefail
exe=$1 samples=$2 out=$3
for tool in xvfb-run xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
mkdir -p "$out"
# The suite runs with the offscreen platform; this test needs the real X connection.
unset QT_QPA_PLATFORM
# In the sanitizer build: the X keyboard library copies keymap names with strndup from
# replies that are not NUL-terminated, which the sanitizer's strndup check reports as an
# overflow inside that library. Our own code is still checked.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}intercept_strndup=0"
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan-desktop.supp:print_suppressions=0"

# Runs inside the X server. $1: window manager command or "none".
inside() {
    local wm=$1 tag=$2 home
    home=$(mktemp -d)
    trap 'rm -rf "$home"' RETURN
    mkdir -p "$home/config/Vorlane7"
    # A normal 800 x 600 window at (100, 80) with the style on (sizes in twips).
    printf '%s\n' 'Windows Registry Editor Version 5.00' '' \
        '[HKEY_CURRENT_USER\Software\Vorlane7\AppFormRECT]' \
        '"WindowState"=dword:00000000' '"Left"=dword:000005dc' '"Top"=dword:000004b0' \
        '"Width"=dword:00002ee0' '"Height"=dword:00002328' '' \
        '[HKEY_CURRENT_USER\Software\Vorlane7\DisplayEffect]' '"BeOS"=dword:ffffffff' '' \
        >"$home/config/Vorlane7/registry.reg"
    if [ "$wm" != none ]; then
        $wm >/dev/null 2>&1 &
        sleep 2
    fi
    XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache XDG_DATA_HOME=$home/data \
        "$exe" "$samples" >"$home/out.txt" 2>&1 &
    local pid=$! win=""
    for _ in $(seq 1 120); do
        win=$(xdotool search --onlyvisible --name '^Vorlane7$' 2>/dev/null | head -1) && [ -n "$win" ] && break
        sleep 0.5
    done
    [ -n "$win" ] || { echo "FAIL($tag): the window never appeared"; cat "$home/out.txt"; return 1; }
    sleep 3 # let the first display settle
    eval "$(xdotool getwindowgeometry --shell "$win")"
    local x=$X y=$Y w=$WIDTH
    import -window root "$out/custom-style-$tag.png"
    pixel() { convert "$out/custom-style-$tag.png" -format "%[pixel:p{$1,$2}]" info:; }
    local cut tab
    cut=$(pixel $((x + w - 10)) $((y + 2)))
    tab=$(pixel $((x + 6)) $((y + 3)))
    echo "$tag: window $win at $x,$y width $w; right of the tab: $cut; tab: $tab"
    [ "$cut" = "srgb(0,0,0)" ] || { echo "FAIL($tag): the top edge right of the tab is drawn"; return 1; }
    [ "$tab" != "srgb(0,0,0)" ] || { echo "FAIL($tag): no caption tab"; return 1; }

    # Drag the tab by (120, 70).
    xdotool mousemove $((x + 40)) $((y + 6)) sleep 0.3 mousedown 1 sleep 0.3 \
        mousemove $((x + 100)) $((y + 40)) sleep 0.3 mousemove $((x + 160)) $((y + 76)) sleep 0.5 mouseup 1
    sleep 1.5
    eval "$(xdotool getwindowgeometry --shell "$win")"
    echo "$tag: after the drag at $X,$Y"
    # A window manager takes the move over once the pointer has left the press by a few
    # pixels; the window follows from there.
    if [ $((X - x)) -lt 55 ] || [ $((Y - y)) -lt 32 ]; then
        echo "FAIL($tag): dragging the tab by 120,70 moved the window by $((X - x)),$((Y - y))"
        return 1
    fi
    import -window root "$out/custom-style-$tag-moved.png"

    # A double-click on the title maximises, a second one restores to the same place.
    # Without a window manager nothing maximises a window.
    local mx=$X my=$Y
    if [ "$wm" != none ]; then
        xdotool mousemove $((mx + 30)) $((my + 8)) sleep 0.3 click --repeat 2 --delay 80 1
        sleep 2
        eval "$(xdotool getwindowgeometry --shell "$win")"
        echo "$tag: after a double-click at $X,$Y size ${WIDTH}x$HEIGHT"
        [ "$WIDTH" -ge 1270 ] || { echo "FAIL($tag): a double-click on the tab did not maximise"; return 1; }
        xdotool mousemove $((X + 30)) $((Y + 8)) sleep 0.3 click --repeat 2 --delay 80 1
        sleep 2
        eval "$(xdotool getwindowgeometry --shell "$win")"
        echo "$tag: after a second double-click at $X,$Y size ${WIDTH}x$HEIGHT"
        if [ "$X" != "$mx" ] || [ "$Y" != "$my" ] || [ "$WIDTH" != "$w" ]; then
            echo "FAIL($tag): a second double-click did not restore the window to $mx,$my width $w"
            return 1
        fi
    fi

    # The close button is the last button width of the tab; the tab's right edge is found
    # on the screenshot as the first black pixel of the top row right of the title.
    local row right=0 px
    row=$(convert "$out/custom-style-$tag-moved.png" -crop "${w}x1+${X}+$((Y + 2))" txt:- | tail -n +2)
    while read -r line; do
        px=${line%%,*}
        case "$line" in *"#000000"*) right=$px; break ;; esac
    done <<<"$row"
    [ "$right" -gt 0 ] || { echo "FAIL($tag): no tab edge found"; return 1; }
    xdotool mousemove $((X + right - 8)) $((Y + 8)) sleep 0.3 click 1
    for _ in $(seq 1 60); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.5
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "FAIL($tag): the close button did not end the program"
        kill "$pid"
        return 1
    fi
    wait "$pid" || { echo "FAIL($tag): the program ended with an error"; cat "$home/out.txt"; return 1; }
    echo "$tag: closed by the caption's close button"
}
if [ "${4:-}" = --inside ]; then
    inside "$5" "$5"
    exit
fi

status=0
wms=(none)
command -v openbox >/dev/null && wms+=(openbox) || echo "openbox not installed: tested without a window manager only"
for wm in "${wms[@]}"; do
    xvfb-run -a -s "-screen 0 1280x900x24 -br" "$0" "$exe" "$samples" "$out" --inside "$wm" || status=1
done
exit $status
