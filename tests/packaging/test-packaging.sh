#!/usr/bin/env bash
# Installation and the Debian package: the layout `cmake --install` gives,
# the user unit and what its sandbox lets the program do, then the package
# dpkg-buildpackage builds from debian/, checked by lintian, and, as root on a
# machine without steadytone, installed with apt, run and purged again.
#   test-packaging.sh BUILD_DIR VERSION
set -uo pipefail

build=$(cd "$1" && pwd)
version=$2
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
# Written before the package is installed and removed once it is purged: a
# run that was killed in between left it, and its package goes first.
marker=$build/packaging-installed-by-test
cleanup() {
    if [ -e "$marker" ]; then
        apt-get purge -y -q steadytone >/dev/null 2>&1 && rm -f "$marker"
    fi
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
        return 1
    fi
}
show() { # as check, and what the command printed is shown when it passes too
    check "$@" && sed 's/^/    /' "$work/out"
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
verify_unit() { # systemd-analyze verify, pointed at where ExecStart's program is
    sed "s|/usr/bin/steadytone|$2|" "$1" >"$work/steadytone.service"
    mkdir -p "$work/xdg" && chmod 700 "$work/xdg"
    silent env XDG_RUNTIME_DIR="$work/xdg" systemd-analyze verify --user --man=no \
        "$work/steadytone.service"
}
syscall_group() { # the system calls a filter group stands for, one a line
    systemd-analyze syscall-filter "$1" | awk 'NR > 1 && NF && $1 !~ /^#/ { print $1 }' |
        while read -r member; do
            case $member in @*) syscall_group "$member" ;; *) echo "$member" ;; esac
        done
}
pulse_server() { # a private PulseAudio server with the sinks alpha and beta, in $1
    XDG_RUNTIME_DIR=$1 HOME=$1 pulseaudio -n -F "$1/server.pa" --exit-idle-time=-1 \
        --daemonize=no --use-pid-file=no >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 50); do XDG_RUNTIME_DIR=$1 pactl info >/dev/null 2>&1 && return; sleep 0.1; done
    return 1
}
syscalls_allowed() { # every system call of a run with a device switch, a server restart and a
    local unit=$1 program=$2 runtime=$work/syscalls allowed tracer # restart in place
    mkdir -p "$runtime" && chmod 700 "$runtime"
    cat >"$runtime/server.pa" <<PA
load-module module-null-sink sink_name=alpha format=s16le rate=44100 channels=1
load-module module-null-sink sink_name=beta format=s16le rate=44100 channels=1
load-module module-native-protocol-unix auth-anonymous=1
set-default-sink alpha
PA
    pulse_server "$runtime" || return 1
    XDG_RUNTIME_DIR=$runtime HOME=$runtime strace -f -qq -c -o "$work/syscalls.txt" \
        "$program" 440 1 2>"$work/program.log" &
    tracer=$!
    sleep 3
    XDG_RUNTIME_DIR=$runtime pactl set-default-sink beta
    sleep 2
    kill "$server" && wait "$server"
    # Down for longer than Qt's one reconnect, 3 s after the loss: Qt's
    # backend has lost the server for good, and the program starts afresh.
    sleep 4
    pulse_server "$runtime" || return 1
    for _ in $(seq 100); do
        [ "$(grep -c '^1 440$' "$work/program.log")" -ge 2 ] && break
        sleep 0.1
    done
    sleep 2
    pkill -TERM -P "$tracer"
    wait "$tracer"
    kill "$server" && wait "$server"
    grep -q '"alpha"' "$work/program.log" && grep -q '"beta"' "$work/program.log" \
        && [ "$(grep -c '^1 440$' "$work/program.log")" -eq 2 ] || { cat "$work/program.log"; return 1; }
    awk 'NR > 2 && $1 !~ /^-/ && $NF != "total" { print $NF }' "$work/syscalls.txt" | sort -u \
        >"$work/used"
    allowed=$(sed -n 's/^SystemCallFilter=//p' "$unit")
    for group in $allowed; do syscall_group "$group"; done | sort -u >"$work/allowed"
    echo "$(wc -l <"$work/used") system calls: $(tr '\n' ' ' <"$work/used")"
    ! comm -23 "$work/used" "$work/allowed" | grep .
}
exposure() { # what systemd-analyze security makes of the unit, as a user would run it
    sed "s|/usr/bin/steadytone|$2|" "$1" >"$work/steadytone.service"
    systemd-analyze security --offline=true "$work/steadytone.service" >"$work/security" 2>&1
    grep 'Overall exposure level' "$work/security"
    awk '/Overall exposure level/ { exit !($(NF-2) + 0 < 7) }' "$work/security"
}
links_ship() { # README, the directory it is in in the package: its relative links are there
    local target missing=0
    for target in $(grep -oE '\]\([^)#]+' "$1" | sed 's/^](//' | grep -vE '^[a-z]+:'); do
        [ -e "$2/$target" ] || [ -e "$2/$target.gz" ] || { echo "not shipped: $target"; missing=1; }
    done
    return $missing
}
names_package() { # check-tone without sox names the package that brings it
    local tools=$work/tools
    mkdir -p "$tools"
    for tool in bash pactl parec od awk; do ln -sf "$(command -v "$tool")" "$tools/$tool"; done
    local output
    output=$(PATH=$tools "$1" 2>&1)
    [ $? -eq 2 ] && grep -q 'sudo apt-get install sox' <<<"$output" || { echo "$output"; return 1; }
}

# From source: cmake --install.
stage=$work/stage
check "cmake --install into a staging directory" \
    env DESTDIR="$stage" cmake --install "$build" --prefix /usr
for file in usr/bin/steadytone usr/bin/steadytone-check-tone; do
    check "$file is installed and executable" test -x "$stage/$file"
done
unit=$stage/usr/lib/systemd/user/steadytone.service
check "the user unit is installed" test -f "$unit"
check "the unit starts the installed program with the default tone" \
    grep -qx 'ExecStart=/usr/bin/steadytone 20 0.02' "$unit"
check "the unit notifies, has a watchdog, is restarted on failure, wanted by default.target, \
not by system users" \
    bash -c "grep -qx Type=notify '$unit' && grep -qx WatchdogSec=30 '$unit' \
             && grep -qx Restart=on-failure '$unit' && grep -qx WantedBy=default.target '$unit' \
             && grep -qx 'ConditionUser=!@system' '$unit'"
for page in steadytone steadytone-check-tone; do
    check "the manual page $page.1 renders with no warnings" \
        silent groff -man -ww -z "$stage/usr/share/man/man1/$page.1"
done
check "the manual page names the installed unit" \
    grep -q '/usr/lib/systemd/user/steadytone.service' "$stage/usr/share/man/man1/steadytone.1"
check "the staged program runs and logs its settings" first_line_of "$stage/usr/bin/steadytone"
check "systemd-analyze verify accepts the unit" verify_unit "$unit" "$stage/usr/bin/steadytone"
show "systemd-analyze security rates the unit's exposure below 7" \
    exposure "$unit" "$stage/usr/bin/steadytone"
show "the unit's system call filter allows every call the program makes" \
    syscalls_allowed "$unit" "$stage/usr/bin/steadytone"
check "the program's version is the project's" \
    test "$("$stage/usr/bin/steadytone" --version)" = "steadytone $version"
check "the Debian changelog's version is the project's" \
    test "$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)" = "$version"

# The Debian package, source and binary, built from a copy of the sources as a
# maintainer would, but without the tests it runs at build time: the suite
# runs them itself, and they would take minutes more here.
mkdir -p "$work/src/steadytone"
git -C "$source" ls-files -z --cached --others --exclude-standard \
    | (cd "$source" && tar --null -T - -cf -) | tar -xf - -C "$work/src/steadytone"
# Compiling and lintian take both cores for most of a minute, at the normal
# priority: on a machine kept busy by something else, a lower one would
# starve them.
check "dpkg-buildpackage builds the package" \
    bash -c "cd '$work/src/steadytone' && DEB_BUILD_OPTIONS=nocheck DEB_BUILD_PROFILES=nocheck \
             dpkg-buildpackage -us -uc"
deb=$(ls "$work"/src/steadytone_*.deb 2>/dev/null | head -n 1)
check "lintian finds nothing, pedantic tags included" \
    lintian --pedantic --fail-on error,warning,info,pedantic "$work"/src/steadytone_*.changes
check "the package is named steadytone" test "$(dpkg-deb -f "$deb" Package)" = steadytone
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt5multimedia5-plugins libqt5multimedia5 libqt5core5a libpulse0 libsystemd0 \
    libc6 libstdc++6; do
    check "the package depends on $package" \
        grep -qxF "$package" < <(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
done
check "the package recommends a sound server, and the tools of steadytone-check-tone" \
    test "$(dpkg-deb -f "$deb" Recommends)" = "pipewire-pulse | pulseaudio, pulseaudio-utils, sox"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
printf '%s\n' ./usr/bin/steadytone ./usr/bin/steadytone-check-tone \
    ./usr/lib/systemd/user/steadytone.service ./usr/share/doc/steadytone/changelog.gz \
    ./usr/share/doc/steadytone/copyright ./usr/share/doc/steadytone/README.md.gz \
    ./usr/share/doc/steadytone/README.Debian \
    ./usr/share/man/man1/steadytone.1.gz ./usr/share/man/man1/steadytone-check-tone.1.gz \
    ./usr/share/doc/steadytone/docs/benchmarks.md.gz ./usr/share/doc/steadytone/docs/check-tone.png \
    ./usr/share/doc/steadytone/docs/development.md.gz \
    | sort >"$work/expected"
check "the package holds the program, the script, the unit, the manuals, the docs and the copyright" \
    diff "$work/expected" "$work/files"
dpkg-deb -x "$deb" "$work/deb"
check "every file the README links to ships beside it" links_ship "$source/README.md" \
    "$work/deb/usr/share/doc/steadytone"
check "the packaged manual pages render with no warnings" \
    bash -c "for page in '$work'/deb/usr/share/man/man1/*.1.gz; do
                 out=\$(zcat \"\$page\" | groff -man -ww -z 2>&1) && [ -z \"\$out\" ] || exit 1
             done"
check "the copyright file names the MIT (Expat) licence" \
    grep -qx 'License: Expat' "$work/deb/usr/share/doc/steadytone/copyright"

# Installing for real changes the machine: only as root, and never over a
# steadytone the machine already has.
if [ "$(id -u)" -eq 0 ] && { [ -e "$marker" ] || ! dpkg -s steadytone >/dev/null 2>&1; }; then
    [ -e "$marker" ] && apt-get purge -y -q steadytone >/dev/null 2>&1
    touch "$marker"
    check "apt-get installs the package" \
        env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb"
    check "the installed steadytone runs and logs its settings" first_line_of /usr/bin/steadytone
    check "steadytone-check-tone names the package of a missing tool" \
        names_package /usr/bin/steadytone-check-tone
    check "systemd-analyze verify accepts the installed unit" \
        verify_unit /usr/lib/systemd/user/steadytone.service /usr/bin/steadytone
    check "the unit is not enabled for every user" \
        test ! -e /etc/systemd/user/default.target.wants/steadytone.service
    dpkg -L steadytone | sort -r >"$work/installed"
    check "apt-get purge removes it" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q steadytone
    rm -f "$marker"
    check "no file of the package is left" \
        bash -c "while read -r path; do
                     [ \"\$path\" = /. ] && continue
                     [ -d \"\$path\" ] && [ -n \"\$(dpkg -S \"\$path\" 2>/dev/null)\" ] && continue
                     [ -e \"\$path\" ] && { echo \"left: \$path\"; exit 1; }
                 done <'$work/installed'; exit 0"
else
    echo "SKIP: installing the package (not root, or steadytone is already installed)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
