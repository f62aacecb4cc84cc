#!/bin/bash
# The Debian package, installed and purged for real (needs root): its files land
# where they belong, the desktop hands it corvanta: addresses, the client and the
# one-time setup run from it, and purging takes away everything the package and
# that setup put on the machine, sudoers rules included.
# Usage: test_package.sh BUILD-DIR   (packs that build with cpack first)
#        test_package.sh PACKAGE.deb
set -uo pipefail
fatal() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fatal "the package test needs root: it installs and purges the package"
[ $# -eq 1 ] || fatal "usage: test_package.sh BUILD-DIR | PACKAGE.deb"
for tool in apt-get dpkg-deb dpkg-shlibdeps file cpack visudo appstreamcli desktop-file-validate xdg-mime; do
    command -v "$tool" >/dev/null || fatal "$tool is missing: run ./run setup"
done
dpkg-query -W -f='${Status}' corvanta 2>/dev/null | grep -q 'ok installed' &&
    fatal "a corvanta package is installed already; the test would remove it"
[ ! -e /run/corvanta/corvanta-app.pid ] || fatal "a tunnel is up: removing the package would take it down"

setup=/usr/local/libexec/corvanta
work=$(mktemp -d)
had_libexec=false
[ -d /usr/local/libexec ] && had_libexec=true
# What an earlier one-time setup left here (sudo ./run demo does one) is put back afterwards.
saved=()
for path in "$setup" /run/corvanta; do [ -e "$path" ] && saved+=("${path#/}"); done
for rule in /etc/sudoers.d/corvanta-*; do [ -e "$rule" ] && saved+=("${rule#/}"); done
if [ ${#saved[@]} -gt 0 ]; then
    tar -C / -cpf "$work/saved.tar" "${saved[@]}" || fatal "cannot keep ${saved[*]} aside"
    rm -rf "$setup" /run/corvanta /etc/sudoers.d/corvanta-*
fi
tunnel=
cleanup() {
    set +e
    dpkg-query -W -f='${Status}' corvanta 2>/dev/null | grep -q installed && dpkg --purge corvanta >/dev/null 2>&1
    [ -z "$tunnel" ] || kill "$tunnel" 2>/dev/null
    rm -rf "$setup" /run/corvanta /etc/sudoers.d/corvanta-*
    [ ! -f "$work/saved.tar" ] || tar -C / -xpf "$work/saved.tar"
    $had_libexec || rmdir /usr/local/libexec 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [[ $1 == *.deb ]]; then
    deb=$1
else
    cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log" >&2; fatal "cpack failed"; }
    deb=$(echo "$work"/pkg/corvanta_*.deb)
fi
[ -f "$deb" ] || fatal "no package at $deb"
listing=$(dpkg-deb -c "$deb") || fatal "$deb is no Debian package"
grep -q ' \./usr/bin/corvanta$' <<<"$listing" ||
    fatal "the package does not put the client in /usr/bin: configure the build with -DCMAKE_INSTALL_PREFIX=/usr (./run build does for a new build folder)"
version=$(dpkg-deb -f "$deb" Version)
# Every file of the package (not folders), to see them come and go.
mapfile -t files < <(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing")

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() { # description, then a command that must succeed
    local what=$1; shift
    if "$@"; then ok; else bad "$what"; fi
}
logged() { # description, then a command that must succeed; its output is shown when it fails
    local what=$1; shift
    if "$@" >"$work/log" 2>&1; then ok; else bad "$what"; cat "$work/log"; fi
}
apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -qq --no-install-recommends "$@"; }

# --- what the package says about itself --------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
expect "shared libraries are found (Qt)" grep -q 'libqt6quick6' <<<"$depends"
expect "the run-time tools are named" grep -q 'wireguard-tools.*pkexec\|pkexec.*wireguard-tools' <<<"$depends"
expect "the substitute service is left out" test -z "$(printf '%s\n' "${files[@]}" | grep devservice)"

# --- installed ---------------------------------------------------------------------
logged "apt-get installs the package" apt install "$(readlink -f "$deb")"
libexec=/usr/libexec/corvanta-setup
for path in /usr/bin/corvanta "$libexec/install-helper.sh" "$libexec/cv-connect.sh" "$libexec/corvanta-agent"; do
    expect "$path is an installed program" test -x "$path" -a -f "$path"
done
for path in /usr/share/applications/corvanta.desktop /usr/share/icons/hicolor/scalable/apps/corvanta.svg \
    /usr/share/icons/hicolor/symbolic/apps/corvanta-connected-symbolic.svg \
    /usr/share/metainfo/com.corvanta.Corvanta.metainfo.xml /usr/share/man/man1/corvanta.1.gz \
    /usr/share/doc/corvanta/copyright; do
    expect "$path is installed" test -s "$path"
done
logged "the desktop file is valid" desktop-file-validate /usr/share/applications/corvanta.desktop
logged "the metainfo is valid" appstreamcli validate --no-net --pedantic /usr/share/metainfo/com.corvanta.Corvanta.metainfo.xml
home=$work/home && mkdir -m 0700 "$home"
handler=$(HOME=$home XDG_DATA_DIRS=/usr/share XDG_CONFIG_DIRS=/etc/xdg xdg-mime query default x-scheme-handler/corvanta)
expect "the desktop opens corvanta: addresses with the client (got '$handler')" test "$handler" = corvanta.desktop
exec_path=$(sed -n 's|.*"org.freedesktop.policykit.exec.path">\(.*\)</annotate>.*|\1|p' \
    /usr/share/polkit-1/actions/com.corvanta.Corvanta.policy)
expect "the administrator prompt names the installed installer" test "$exec_path" = "$libexec/install-helper.sh"
mkdir -m 0700 "$work/runtime"
# The installed client shows its first frame: its QML modules and plugins are all there.
said=$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_RUNTIME_DIR="$work/runtime" CORVANTA_API= \
    QT_QPA_PLATFORM=offscreen timeout 30 /usr/bin/corvanta --quit-after-first-frame 2>&1)
expect "the installed client starts (said: $(head -c 300 <<<"$said"))" grep -q '^first frame' <<<"$said"
said=$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_RUNTIME_DIR="$work/runtime" timeout 20 /usr/bin/corvanta --version 2>&1)
expect "corvanta --version names $version (said: $(head -c 200 <<<"$said"))" grep -qF "$version" <<<"$said"

# --- the one-time setup, as the client runs it ----------------------------------------
expect "the installed installer sets up a user" env -u PKEXEC_UID SUDO_USER=nobody "$libexec/install-helper.sh" >/dev/null
expect "that user may run the connect script" runuser -u nobody -- sudo -n -l "$setup/cv-connect.sh" >/dev/null
# An administrator's own file with our prefix is never ours to remove.
printf '# kept by the administrator\n' >/etc/sudoers.d/corvanta-admin && chmod 0440 /etc/sudoers.d/corvanta-admin
echo "# stale" >>"$setup/cv-connect.sh"
logged "the package installs again over itself" dpkg -i "$deb"
expect "an upgrade keeps the user's rule" test -f /etc/sudoers.d/corvanta-nobody
expect "and brings the setup's copy up to date" cmp -s "$setup/cv-connect.sh" "$libexec/cv-connect.sh"

# --- purged: nothing is left ----------------------------------------------------------
# A tunnel that is up (a stand-in, as the connect script would have started it) goes down with the package.
mkdir -m 0755 /run/corvanta
( (exec -a "$setup/corvanta-agent" sleep 60) & echo $! >/run/corvanta/corvanta-app.pid )
chmod 0644 /run/corvanta/corvanta-app.pid
tunnel=$(cat /run/corvanta/corvanta-app.pid)
logged "apt-get purges the package" apt purge corvanta
left=()
for path in "${files[@]}" /etc/sudoers.d/corvanta-nobody "$setup" /run/corvanta; do
    [ ! -e "$path" ] || left+=("$path")
done
expect "nothing is left (left: ${left[*]})" test ${#left[@]} -eq 0
expect "the tunnel that was up is down" test ! -e "/proc/$tunnel"
expect "the administrator's file stays" test -f /etc/sudoers.d/corvanta-admin
handler=$(HOME=$home XDG_DATA_DIRS=/usr/share XDG_CONFIG_DIRS=/etc/xdg xdg-mime query default x-scheme-handler/corvanta)
expect "corvanta: addresses have no handler any more (got '$handler')" test -z "$handler"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
