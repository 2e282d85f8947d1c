#!/usr/bin/env bash
# Checks the two Debian packages as a user meets them: scripts/package makes tessel-server (the
# window) and tessel-serverd (the service), each holding what it should; the service depends on
# no toolkit library; lintian reports no error; the desktop entry validates. As root, each is
# installed alone and then both together: the service's unit verifies and is not enabled, the
# window finds its README; the service is enabled, configured as README says, and purged: no
# link of its unit and nothing of ours is left, keys placed beside the configuration stay.
# Installing needs root: elsewhere it stops after the checks of the files.
#   tests/package/check_package.sh BUILD_DIR
# BUILD_DIR: a build made with PACKAGE_FLAGS (scripts/check's), packaged as it stands; its
# end-to-end tools drive the installed window.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?a build directory made with PACKAGE_FLAGS}" && pwd)
tools=$build/tools

fail() { echo "package: $*" >&2; exit 1; }

bash scripts/package "$build" >/dev/null 2>&1 || { bash scripts/package "$build"; fail "scripts/package failed"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(tessel_server VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debs=("$build"/*.deb)
window=$build/tessel-server_${version}_${arch}.deb
service=$build/tessel-serverd_${version}_${arch}.deb
[ ${#debs[@]} -eq 2 ] && [ -f "$window" ] && [ -f "$service" ] ||
    fail "expected $(basename "$window") and $(basename "$service"), found: ${debs[*]##*/}"

has_all() {  # package, then the paths it must hold
    local deb=$1 contents path
    shift
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for path in "$@"; do
        grep -qxF "$path" <<<"$contents" || fail "no $path in $(basename "$deb")"
    done
}
has_all "$window" ./usr/bin/tessel-server ./usr/share/applications/tessel-server.desktop \
        ./usr/share/icons/hicolor/48x48/apps/tessel-server.png ./usr/share/man/man1/tessel-server.1.gz \
        ./usr/share/doc/tessel-server/README.md ./usr/share/doc/tessel-server/copyright \
        ./usr/share/doc/tessel-server/changelog.gz
has_all "$service" ./usr/bin/tessel-serverd ./usr/share/man/man8/tessel-serverd.8.gz \
        ./usr/lib/systemd/system/tessel-serverd.service ./usr/lib/systemd/system/tessel-serverd@.service \
        ./etc/tessel-server/Tessel-server.ini.example \
        ./usr/share/doc/tessel-serverd/README.md ./usr/share/doc/tessel-serverd/copyright \
        ./usr/share/doc/tessel-serverd/changelog.gz
! dpkg-deb -c "$window" | grep -q 'tessel-serverd' || fail "the window's package holds the service"
! dpkg-deb -c "$service" | grep -qE 'bin/tessel-server$|\.desktop$' || fail "the service's package holds the window"
! dpkg-deb -c "$service" | grep -q 'etc/tessel-server/Tessel-server.ini$' || fail "an active configuration is shipped"
for script in postinst prerm postrm; do
    dpkg-deb -I "$service" "$script" | grep -q "deb-systemd" || fail "the service has no $script of Debian's"
done

depends=$(dpkg-deb -f "$window" Depends)
grep -q 'libgtk2.0-0' <<<"$depends" && grep -q 'libc6' <<<"$depends" ||
    fail "the window's dependencies not from the shared-library scan: $depends"
depends=$(dpkg-deb -f "$service" Depends)
grep -q 'libc6' <<<"$depends" && grep -q 'libmicrohttpd' <<<"$depends" ||
    fail "the service's dependencies not from the shared-library scan: $depends"
! grep -qiE 'gtk|gdk|pango|cairo|glib|libx11|atk|harfbuzz|fontconfig' <<<"$depends" ||
    fail "the service depends on the toolkit: $depends"

for deb in "$window" "$service"; do
    lintian_out=$(lintian "$deb" 2>&1 || true)
    if grep -q '^E:' <<<"$lintian_out"; then fail "lintian: $(grep '^E:' <<<"$lintian_out")"; fi
    echo "package: $(basename "$deb"), lintian: $(grep -c '^[EW]:' <<<"$lintian_out" || true) errors or warnings"
done
desktop-file-validate packaging/tessel-server.desktop

if [ "$(id -u)" -ne 0 ]; then
    echo "package: not root, so not installed here"
    exit 0
fi
for p in tessel-server tessel-serverd; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
        echo "package: $p is installed on this machine already; not touched"
        exit 0
    fi
done
purge_all() { DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tessel-server tessel-serverd >/dev/null 2>&1 || true; }
trap purge_all EXIT
apt_install() {  # the packages given, by apt, as a user installs them
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null 2>&1 || fail "apt install $* failed"
}
purged_cleanly() {  # package: it is purged and none of its files is left
    local files f
    files=$(dpkg -L "$1" | while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done)
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "$1" >/dev/null 2>&1 || fail "apt purge $1 failed"
    for f in $files; do [ ! -e "$f" ] || fail "$f left behind by $1"; done
}

# The service alone, as on a headless machine: enabled, configured as README says, purged.
apt_install "$service"
! dpkg-query -W -f='${Status}' tessel-server 2>/dev/null | grep -q 'installed' || fail "the service pulled in the window"
[ "$(tessel-serverd --version)" = "tessel-serverd $version" ] || fail "the installed service does not run"
verify=$(systemd-analyze verify /usr/lib/systemd/system/tessel-serverd.service 2>&1)
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# The template, as an instance of it: its configuration, its options and its state directory by
# the instance's name.
units=$(mktemp -d)
ln -s /usr/lib/systemd/system/tessel-serverd@.service "$units/tessel-serverd@garage.service"
verify=$(systemd-analyze verify "$units/tessel-serverd@garage.service" 2>&1)
rm -rf "$units"
[ -z "$verify" ] || fail "systemd-analyze verify of an instance: $verify"

[ "$(systemctl is-enabled tessel-serverd 2>/dev/null || true)" = disabled ] || fail "the unit is enabled"
cp /etc/tessel-server/Tessel-server.ini.example /etc/tessel-server/Tessel-server.ini
(umask 077; echo "a-key-of-the-user" > /etc/tessel-server/auth-key)
systemctl enable tessel-serverd >/dev/null 2>&1 || fail "systemctl enable failed"
link=/etc/systemd/system/multi-user.target.wants/tessel-serverd.service
[ -L "$link" ] || fail "enabling made no $link"
purged_cleanly tessel-serverd
[ ! -L "$link" ] || fail "$link left behind"
[ ! -e /etc/tessel-server/Tessel-server.ini ] || fail "the configuration left behind"
[ -f /etc/tessel-server/auth-key ] || fail "the user's key was removed"
rm -rf /etc/tessel-server
[ ! -e /etc/systemd/system/tessel-serverd.service ] || fail "the unit left masked"

# The window alone: its "?" opens the README where its package put it.
apt_install "$window"
! dpkg-query -W -f='${Status}' tessel-serverd 2>/dev/null | grep -q 'installed' || fail "the window pulled in the service"
opened=$(python3 tests/e2e/run_e2e.py --program /usr/bin/tessel-server --simulator "$tools/velbus-sim" \
             --screenshot "$tools/screenshot" --case help_opens_the_readme | sed -n 's/^opened //p')
[ "$opened" = /usr/share/doc/tessel-server/README.md ] || fail "the installed window opened '$opened'"
purged_cleanly tessel-server

# Both together.
apt_install "$window" "$service"
[ "$(tessel-serverd --version)" = "tessel-serverd $version" ] && [ -x /usr/bin/tessel-server ] ||
    fail "both together do not install"
purged_cleanly tessel-server
purged_cleanly tessel-serverd
[ ! -e /etc/tessel-server ] || fail "/etc/tessel-server left behind"
trap - EXIT
echo "package: each installed alone and both together, verified, enabled and purged cleanly"
