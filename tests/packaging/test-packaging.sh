#!/usr/bin/env bash
# Installation and the Debian package: the installed layout, the user unit,
# the manual page, the .deb's metadata and contents, and the package itself
# installed with dpkg and run.
#   test-packaging.sh BUILD_DIR
set -uo pipefail

build=$(cd "$1" && pwd)
work=$(mktemp -d)
installed_here=no
cleanup() {
    [ "$installed_here" = yes ] && dpkg -r steadytone >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() { # description, command...
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        echo "PASS: $what"
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        sed 's/^/    /' "$work/out"
        failed=$((failed + 1))
    fi
}
silent() { # the command succeeds and prints nothing
    local output
    output=$("$@" 2>&1) && [ -z "$output" ] || { echo "$output"; return 1; }
}
first_line_of() { # the program's first log line, with no audio server reachable
    local runtime=$work/runtime line
    mkdir -p "$runtime"
    line=$(XDG_RUNTIME_DIR=$runtime PULSE_SERVER=unix:$runtime/none timeout 3 "$1" 2>&1 | head -n 1)
    [ "$line" = "0.02 20" ] || { echo "first line: '$line'"; return 1; }
}

stage=$work/stage
check "cmake --install into a staging directory" \
    env DESTDIR="$stage" cmake --install "$build" --prefix /usr
for file in usr/bin/steadytone usr/bin/steadytone-check-tone; do
    check "$file is installed and executable" test -x "$stage/$file"
done
unit=$stage/usr/lib/systemd/user/steadytone.service
man=$stage/usr/share/man/man1/steadytone.1
check "the user unit is installed" test -f "$unit"
check "the manual page is installed" test -f "$man"
check "the unit starts the installed program with the default tone" \
    grep -qx 'ExecStart=/usr/bin/steadytone 20 0.02' "$unit"
check "the unit is ordered after both sound servers" \
    grep -qE '^After=.*pipewire-pulse\.service.*pulseaudio\.service' "$unit"
check "the unit notifies, has a watchdog, is restarted on failure, wanted by default.target" \
    bash -c "grep -qx Type=notify '$unit' && grep -qx WatchdogSec=30 '$unit' \
             && grep -qx Restart=on-failure '$unit' && grep -qx WantedBy=default.target '$unit'"
check "the manual page renders with no warnings" silent groff -man -ww -z "$man"
check "the manual page names the installed unit" grep -q '/usr/lib/systemd/user/steadytone.service' "$man"
check "the staged program runs and logs its settings" first_line_of "$stage/usr/bin/steadytone"
if command -v systemd-analyze >/dev/null; then
    # verify wants the program where ExecStart says; point it into the stage.
    sed "s|/usr/bin/steadytone|$stage/usr/bin/steadytone|" "$unit" >"$work/steadytone.service"
    mkdir -p "$work/xdg" && chmod 700 "$work/xdg"
    check "systemd-analyze verify accepts the unit" \
        silent env XDG_RUNTIME_DIR="$work/xdg" systemd-analyze verify --user --man=no "$work/steadytone.service"
fi

check "cpack builds a Debian package" bash -c "cd '$build' && cpack -G DEB -B '$work/package'"
deb=$(ls "$work"/package/steadytone_*.deb 2>/dev/null | head -n 1)
check "the package is named steadytone" test "$(dpkg-deb -f "$deb" Package)" = steadytone
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt5multimedia5-plugins libqt5multimedia5 libqt5core5a libc6 libstdc++6; do
    check "the package depends on $package" \
        grep -qxF "$package" < <(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
done
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
printf '%s\n' ./usr/bin/steadytone ./usr/bin/steadytone-check-tone \
    ./usr/lib/systemd/user/steadytone.service ./usr/share/man/man1/steadytone.1 | sort >"$work/expected"
check "the package holds the program, the script, the unit and the manual" \
    diff "$work/expected" "$work/files"

# Installing for real changes the machine: only as root, and never over a
# steadytone the machine already has.
if [ "$(id -u)" -eq 0 ] && ! dpkg -s steadytone >/dev/null 2>&1; then
    installed_here=yes
    check "dpkg installs the package" dpkg -i "$deb"
    check "the installed steadytone runs and logs its settings" first_line_of /usr/bin/steadytone
    if command -v systemd-analyze >/dev/null; then
        check "systemd-analyze verify accepts the installed unit" \
            silent env XDG_RUNTIME_DIR="$work/xdg" systemd-analyze verify --user --man=no \
            /usr/lib/systemd/user/steadytone.service
    fi
else
    echo "SKIP: installing the package (not root, or steadytone is already installed)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
