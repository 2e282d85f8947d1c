#!/usr/bin/env bash
# Checks the Debian package as a user meets it: scripts/package makes exactly one .deb holding
# what it should; lintian reports no error; the desktop entry validates; it installs with apt,
# its unit verifies and is not enabled, the window finds its README; it is removed and purged
# without a trace. Installing needs root: elsewhere it stops after the checks of the file.
#   tests/package/check_package.sh BUILD_DIR
# BUILD_DIR: a build made with PACKAGE_FLAGS (scripts/check's), packaged as it stands; its
# end-to-end tools drive the installed window.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?a build directory made with PACKAGE_FLAGS}" && pwd)
tools=$build/tools

fail() { echo "package: $*" >&2; exit 1; }

bash scripts/package "$build" >/dev/null 2>&1 || { bash scripts/package "$build"; fail "scripts/package failed"; }
debs=("$build"/tessel-server_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected exactly one package, found ${#debs[@]}"
deb=${debs[0]}
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(tessel_server VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(basename "$deb")" = "tessel-server_${version}_${arch}.deb" ] || fail "named $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/tessel-server ./usr/bin/tessel-serverd \
            ./usr/share/applications/tessel-server.desktop \
            ./usr/share/icons/hicolor/48x48/apps/tessel-server.png \
            ./usr/share/man/man1/tessel-server.1.gz ./usr/share/man/man8/tessel-serverd.8.gz \
            ./usr/share/doc/tessel-server/README.md ./usr/share/doc/tessel-server/copyright \
            ./usr/share/doc/tessel-server/changelog.gz \
            ./usr/lib/systemd/system/tessel-serverd.service \
            ./etc/tessel-server/Tessel-server.ini.example; do
    grep -qxF "$path" <<<"$contents" || fail "no $path in the package"
done
! grep -qx './etc/tessel-server/Tessel-server.ini' <<<"$contents" || fail "an active configuration is shipped"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libgtk2.0-0' <<<"$depends" && grep -q 'libc6' <<<"$depends" ||
    fail "dependencies not from the shared-library scan: $depends"

lintian_out=$(lintian "$deb" 2>&1 || true)
if grep -q '^E:' <<<"$lintian_out"; then fail "lintian: $(grep '^E:' <<<"$lintian_out")"; fi
desktop-file-validate packaging/tessel-server.desktop
echo "package: $(basename "$deb"), lintian: $(grep -c '^[EW]:' <<<"$lintian_out" || true) errors or warnings"

if [ "$(id -u)" -ne 0 ]; then
    echo "package: not root, so not installed here"
    exit 0
fi
if dpkg-query -W -f='${Status}' tessel-server 2>/dev/null | grep -q 'installed'; then
    echo "package: tessel-server is installed on this machine already; not touched"
    exit 0
fi
trap 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tessel-server >/dev/null 2>&1 || true' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/dev/null 2>&1 || fail "apt install $deb failed"
[ "$(tessel-serverd --version)" = "tessel-serverd $version" ] || fail "the installed service does not run"
verify=$(systemd-analyze verify /usr/lib/systemd/system/tessel-serverd.service 2>&1)
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
[ "$(systemctl is-enabled tessel-serverd 2>/dev/null || true)" = disabled ] || fail "the unit is enabled"
# The window's "?" opens the README where the package put it.
opened=$(python3 tests/e2e/run_e2e.py --program /usr/bin/tessel-server --simulator "$tools/velbus-sim" \
             --screenshot "$tools/screenshot" --case help_opens_the_readme | sed -n 's/^opened //p')
[ "$opened" = /usr/share/doc/tessel-server/README.md ] || fail "the installed window opened '$opened'"
files=$(dpkg -L tessel-server | while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done)
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tessel-server >/dev/null 2>&1
trap - EXIT
for f in $files; do [ ! -e "$f" ] || fail "$f left behind"; done
[ ! -e /etc/tessel-server ] || fail "/etc/tessel-server left behind"
echo "package: installed, verified and purged cleanly"
