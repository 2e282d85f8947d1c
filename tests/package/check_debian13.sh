#!/usr/bin/env bash
# Proves Debian 13 from a Debian 12 machine: in a minimal Debian 13 root of its own (mmdebstrap,
# cached for the day) it builds the service as the check does (-Werror, Debian 13's compiler and
# libraries), runs its unit tests and its end-to-end cases, and makes its Debian package, which
# lintian passes without an error or a warning; then installs that package with apt in a fresh
# Debian 13 root and runs the service from it on a simulated bus. Each step says what it cost.
# The package is left in build/debian13 for scripts/image. Needs root (mounts, chroot).
#   tests/package/check_debian13.sh BUILD_DIR
# BUILD_DIR: this machine's own build, whose simulator drives the installed service.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/common.sh
. scripts/debian-root.sh

simulator=$(cd "${1:?the build directory of this machine}" && pwd)/tools/velbus-sim
fail() { echo "debian 13: $*" >&2; exit 1; }
step_started=$SECONDS
cost() { echo "debian 13: $1 ($((SECONDS - step_started)) s)"; step_started=$SECONDS; }

if [ "$RELEASE" = 13 ]; then
    echo "debian 13: skipped: this machine runs Debian 13, where the check's own steps prove it natively"
    exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "debian 13: skipped: a root of its own needs root (mounts, chroot)"; exit 0; }
install_missing mmdebstrap

build=/src/build/debian13
work=$(mktemp -d /var/tmp/tessel-debian13-XXXXXX)
trap 'root_close "$work/build" || true; root_close "$work/fresh" || true; rm -rf "$work"' EXIT

# The service's build and test packages as Debian 13 names them; no toolkit, as on a server.
packages=()
for p in "${BUILD_PACKAGES[@]}"; do [ "$p" = libgtk2.0-dev ] || packages+=("$p"); done
tarball=$(root_tarball trixie apt amd64 "${packages[@]}" libgtest-dev python3 python3-prometheus-client \
              python3-yaml util-linux mount dpkg-dev file lintian)
root_open "$tarball" "$work/build"
cost "root made or taken from the cache"
root_run "$work/build" ". scripts/common.sh && build_into $build ${PACKAGE_FLAGS[*]@Q} -DTESSEL_WINDOW=OFF \
    -DTESSEL_WERROR=ON >/dev/null" || fail "the build failed"
cost "built with $(root_run "$work/build" "g++ --version | head -n 1")"
# Every test the service has but the browser's (Chromium is not in this root), the soak, and
# the four cases driven by whole scans of the simulated house (3 of their 4 minutes are the
# scans' own pacing): their code is the module table's, which the unit tests here run, and this
# machine's own check runs them.
long_scans='e2e_service_simulated_house_scan|e2e_service_learns_the_house_from_a_client_scan'
long_scans+='|e2e_service_hands_the_house_to_the_server|e2e_service_scan_fills_the_table'
if ! root_run "$work/build" "ctest --test-dir $build --output-on-failure --timeout 900 -j$(nproc) -LE soak \
        -E 'web_page_in_chromium|$long_scans'" >"$work/ctest.log" 2>&1; then
    grep -v -e '^ *Start ' -e ' Passed ' "$work/ctest.log" | tail -n 150
    fail "tests failed"
fi
cost "$(grep -o '[0-9]*% tests passed.*' "$work/ctest.log"): unit tests and end-to-end cases"
root_run "$work/build" "rm -f $build/*.deb && cd $build && cpack -G DEB >/dev/null" || fail "cpack failed"
debs=(build/debian13/tessel-serverd_*_amd64.deb)
[ -f "${debs[0]}" ] || fail "no package made"
lint=$(root_run "$work/build" "cd $build && lintian ${debs[0]##*/} 2>&1 || true")
if grep -qE '^[EW]:' <<<"$lint"; then fail "lintian: $(grep -E '^[EW]:' <<<"$lint")"; fi
depends=$(dpkg-deb -f "${debs[0]}" Depends)
grep -q 'libssl3t64' <<<"$depends" || fail "not built against Debian 13's libraries: $depends"
cost "${debs[0]##*/} made, lintian: no error, no warning; depends on $depends"
root_close "$work/build"

# A fresh Debian 13 as a user has it (the same minimal root the container image starts from):
# the package installed by apt, its libraries with it.
tarball=$(root_tarball trixie minbase amd64)
root_open "$tarball" "$work/fresh"
cp "${debs[0]}" "$work/fresh/tmp/"
root_run "$work/fresh" "apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends /tmp/${debs[0]##*/} >/dev/null" || fail "apt install failed"
# Run there on a simulated bus (no systemd): the chroot is the service's only way in.
printf '#!/bin/sh\nexec chroot %q "$@"\n' "$work/fresh" >"$work/in-root"
chmod +x "$work/in-root"
python3 tests/e2e/run_e2e.py --service /usr/bin/tessel-serverd --emulator "$work/in-root" \
    --simulator "$simulator" --front service --case service_bridges_and_answers_healthz ||
    fail "the installed service did not bridge"
cost "installed by apt in a fresh root, and bridged a simulated bus from there"
