#!/usr/bin/env bash
# The package names that differ between Debian 12 and 13 follow the release in /etc/os-release,
# for each form of it a machine may have; a release that is neither says so and takes 13's.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/etc"
failed=0
while IFS='|' read -r os_release release clang qemu; do
    printf '%b\n' "$os_release" >"$root/etc/os-release"
    got=$(TESSEL_OS_ROOT=$root bash -c '. scripts/common.sh 2>/dev/null
        echo "$RELEASE ${TEST_PACKAGES[*]} $(cross_packages armhf | head -n 1)"')
    want="$release "
    for p in "$clang" "$qemu"; do
        if [[ " $got " != *" $p "* ]]; then
            echo "FAIL: for '$os_release' no $p in: $got"
            failed=1
        fi
    done
    [[ $got == "$want"* ]] || { echo "FAIL: for '$os_release' the release is ${got%% *}, not $release"; failed=1; }
done <<'TABLE'
ID=debian\nVERSION_ID="12"\nVERSION_CODENAME=bookworm|12|libclang-rt-14-dev|qemu-user-static
ID=debian\nVERSION_ID="13"\nVERSION_CODENAME=trixie|13|libclang-rt-19-dev|qemu-user
ID=debian\nVERSION_ID="13.8"|13|libclang-rt-19-dev|qemu-user
ID=raspbian\nVERSION_CODENAME=trixie|13|libclang-rt-19-dev|qemu-user
ID=debian\nVERSION_CODENAME=bookworm|12|libclang-rt-14-dev|qemu-user-static
ID=debian\nVERSION_CODENAME=forky|13|libclang-rt-19-dev|qemu-user
TABLE
said=$(printf 'ID=debian\nVERSION_CODENAME=forky\n' >"$root/etc/os-release"; TESSEL_OS_ROOT=$root bash -c '. scripts/common.sh' 2>&1)
[[ $said == *"neither Debian 12 nor 13"* ]] || { echo "FAIL: an unknown release passed without a word: '$said'"; failed=1; }
[ "$failed" -eq 0 ] && echo "release names: every form read"
exit "$failed"
