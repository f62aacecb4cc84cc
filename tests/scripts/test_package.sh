#!/bin/bash
# test_package.sh BUILD-DIR (packed with cpack first) | PACKAGE.deb: the package installed, upgraded
# and purged for real (needs root); purging takes away all it and its one-time setup put there.
set -uo pipefail
fatal() { echo "FAIL: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 && $# -eq 1 ]] || fatal "usage, as root: test_package.sh BUILD-DIR | PACKAGE.deb"
dpkg-query -W -f='${Status}' corvanta 2>/dev/null | grep -q 'ok installed' &&
    fatal "a corvanta package is installed already; the test would remove it"
[ ! -e /run/corvanta/corvanta-app.pid ] || fatal "a tunnel is up: removing the package would take it down"

setup=/usr/local/libexec/corvanta
work=$(mktemp -d)
had_libexec=false
[ -d /usr/local/libexec ] && had_libexec=true
# What an earlier one-time setup left here (sudo ./run demo does one) is put back afterwards.
saved=()
for path in "$setup" /run/corvanta /etc/sudoers.d/corvanta-*; do [ -e "$path" ] && saved+=("${path#/}"); done
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

deb=$1
if [[ $1 != *.deb ]]; then
    cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work/pkg" >"$work/log" 2>&1 || { cat "$work/log" >&2; fatal "cpack failed"; }
    deb=$(echo "$work"/pkg/corvanta_*.deb)
fi
listing=$(dpkg-deb -c "$deb") || fatal "$deb is no Debian package"
grep -q ' \./usr/bin/corvanta$' <<<"$listing" ||
    fatal "the package does not put the client in /usr/bin: configure the build with -DCMAKE_INSTALL_PREFIX=/usr (./run build does for a new build folder)"
# Every file of the package (not folders), to see them come and go.
mapfile -t files < <(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing")

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() { if "${@:2}"; then ok; else bad "$1"; fi; } # description, then a command that must succeed
logged() { if "${@:2}" >"$work/log" 2>&1; then ok; else bad "$1"; cat "$work/log"; fi; } # ... its output shown if not
apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -qq --no-install-recommends "$@"; }
handler() { HOME=$work XDG_DATA_DIRS=/usr/share XDG_CONFIG_DIRS=/etc/xdg xdg-mime query default x-scheme-handler/corvanta; }
client() { env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work" XDG_RUNTIME_DIR="$work" CORVANTA_API= \
    QT_QPA_PLATFORM=offscreen timeout 30 /usr/bin/corvanta "$@" 2>&1; }

depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6quick6 wireguard-tools pkexec; do expect "the package depends on $dep" grep -q "$dep" <<<"$depends"; done
expect "the substitute service is left out" test -z "$(printf '%s\n' "${files[@]}" | grep devservice)"

logged "apt-get installs the package" apt install "$(readlink -f "$deb")"
libexec=/usr/libexec/corvanta-setup
for path in /usr/bin/corvanta "$libexec"/{install-helper.sh,cv-connect.sh,corvanta-agent}; do expect "$path is a program" test -x "$path" -a -f "$path"; done
for path in /usr/share/{applications/corvanta.desktop,icons/hicolor/scalable/apps/corvanta.svg,icons/hicolor/symbolic/apps/corvanta-connected-symbolic.svg} \
    /usr/share/{metainfo/com.corvanta.Corvanta.metainfo.xml,man/man1/corvanta.1.gz,doc/corvanta/copyright}; do expect "$path is installed" test -s "$path"; done
logged "the desktop file is valid" desktop-file-validate /usr/share/applications/corvanta.desktop
logged "the metainfo is valid" appstreamcli validate --no-net --pedantic /usr/share/metainfo/com.corvanta.Corvanta.metainfo.xml
expect "the desktop opens corvanta: addresses with the client (got '$(handler)')" test "$(handler)" = corvanta.desktop
expect "the administrator prompt names the installed installer" grep -q "\"org.freedesktop.policykit.exec.path\">$libexec/install-helper.sh<" \
    /usr/share/polkit-1/actions/com.corvanta.Corvanta.policy
# The installed client shows its first frame: its QML modules and plugins are all there.
said=$(client --quit-after-first-frame)
expect "the installed client starts (said: $(head -c 300 <<<"$said"))" grep -q '^first frame' <<<"$said"
expect "corvanta --version names the package's version" grep -qF "corvanta $(dpkg-deb -f "$deb" Version)" <<<"$(client --version)"

# The one-time setup as the client runs it; an upgrade keeps its rule and updates its copy.
expect "the installed installer sets up a user" env -u PKEXEC_UID SUDO_USER=nobody "$libexec/install-helper.sh" >/dev/null
expect "that user may run the connect script" runuser -u nobody -- sudo -n -l "$setup/cv-connect.sh" >/dev/null
# An administrator's own file with our prefix is never ours to remove.
printf '# kept by the administrator\n' >/etc/sudoers.d/corvanta-admin && chmod 0440 /etc/sudoers.d/corvanta-admin
echo "# stale" >>"$setup/cv-connect.sh"
logged "the package installs again over itself" dpkg -i "$deb"
expect "an upgrade keeps the user's rule" test -f /etc/sudoers.d/corvanta-nobody
expect "and brings the setup's copy up to date" cmp -s "$setup/cv-connect.sh" "$libexec/cv-connect.sh"

# Purged, with a tunnel up (a stand-in, as the connect script starts it): nothing is left.
mkdir -m 0755 /run/corvanta
( (exec -a "$setup/corvanta-agent" sleep 60) & echo $! >/run/corvanta/corvanta-app.pid && chmod 0644 /run/corvanta/corvanta-app.pid )
tunnel=$(cat /run/corvanta/corvanta-app.pid)
logged "apt-get purges the package" apt purge corvanta
left=()
for path in "${files[@]}" /etc/sudoers.d/corvanta-nobody "$setup" /run/corvanta "/proc/$tunnel"; do
    [ ! -e "$path" ] || left+=("$path")
done
expect "nothing is left, the tunnel is down (left: ${left[*]})" test ${#left[@]} -eq 0
expect "the administrator's file stays" test -f /etc/sudoers.d/corvanta-admin
expect "corvanta: addresses have no handler any more (got '$(handler)')" test -z "$(handler)"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
