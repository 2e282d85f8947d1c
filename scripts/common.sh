# Shared by scripts/check, scripts/demo and scripts/package: install what is missing, build.
# What building both programs needs; README's "From the source" lists the same packages (a test
# compares the two), and without the window (-DTESSEL_WINDOW=OFF) all but libgtk2.0-dev.
BUILD_PACKAGES=(cmake g++ make pkg-config libgtk2.0-dev libpng-dev zlib1g-dev libssl-dev libmicrohttpd-dev
                libsystemd-dev)
# What the demo needs besides: Python for its client, and an X server of its own where there is
# no display.
DEMO_PACKAGES=(python3)
DISPLAY_PACKAGES=(xvfb xauth xdotool)
# The Debian release this machine runs, from /etc/os-release (ROOT/etc/os-release for a root of
# its own): 12 or 13. Package names that differ between the two are chosen by it, never by trying.
debian_release() {
    local file=${1:-}/etc/os-release id codename
    id=$(. "$file" && echo "${VERSION_ID:-}")
    codename=$(. "$file" && echo "${VERSION_CODENAME:-}")
    case ${id%%.*}:$codename in
        12:*|:bookworm) echo 12 ;;
        13:*|:trixie) echo 13 ;;
        *) echo "this is neither Debian 12 nor 13 ($id $codename); taking Debian 13's package names" >&2
           echo 13 ;;
    esac
}
# Only tests move the root of the lookup, to a tree of their own.
RELEASE=$(debian_release "${TESSEL_OS_ROOT:-}")
# Named for each release's own compiler: clang 14's sanitizer runtime on 12, clang 19's on 13; on
# 13 qemu's user-mode emulators are static in qemu-user itself (qemu-user-static is only a
# transitional package there).
case $RELEASE in
    12) CLANG_RUNTIME=libclang-rt-14-dev QEMU_USER=qemu-user-static ;;
    *) CLANG_RUNTIME=libclang-rt-19-dev QEMU_USER=qemu-user ;;
esac
# What the tests need besides: the test framework, the sanitizers' and fuzzers' compiler, mount
# for the tests' own mount namespaces (not always there on Debian 13), YAML for the add-on's
# configuration, and for the web monitor the Prometheus client's parser for /metrics and Debian's Chromium driven
# through Selenium.
TEST_PACKAGES=(libgtest-dev clang "$CLANG_RUNTIME" util-linux mount python3-prometheus-client python3-selenium
               python3-yaml chromium chromium-driver)
# What scripts/package and the packages' checks need besides.
PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils systemd)
# What building for another Debian architecture needs (ARCH: armhf or arm64): the cross
# compiler, the libraries for that architecture, and qemu's user-mode emulator for its tests;
# the window's toolkit only when the window is built too.
cross_packages() {
    local arch=$1 with_window=${2:-}
    echo crossbuild-essential-"$arch" "$QEMU_USER"
    local p
    for p in libpng-dev zlib1g-dev libssl-dev libmicrohttpd-dev libsystemd-dev libgtest-dev \
             ${with_window:+libgtk2.0-dev}; do
        echo "$p:$arch"
    done
}
# Lets dpkg take packages of ARCH; install_missing then updates the package lists.
enable_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture "$1"
}
# The folder of .pc files PKG_CONFIG_LIBDIR points at to build as on a headless machine: every
# package's in the given folders but the toolkit's. The caller removes it.
pkg_config_without_toolkit() {
    local hidden dir pc
    hidden=$(mktemp -d)
    for dir in $1; do
        [ -d "$dir" ] || continue
        for pc in "$dir"/*.pc; do
            [ -e "$pc" ] || continue
            case ${pc##*/} in gtk*|gdk-2.0*|gdk-x11*|gail*) ;; *) ln -sf "$pc" "$hidden/" ;; esac
        done
    done
    echo "$hidden"
}

# A build that can be packaged: installed under /usr, with Debian's usual hardening.
PACKAGE_FLAGS=(-DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong"
               "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro,-z,now")

install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    if ! "${sudo[@]}" apt-get update -q; then
        # A mirror caught between two syncs can serve indexes older than the lists an earlier
        # update kept ("Mirror sync in progress?"); fetched afresh, lists and indexes agree.
        echo "apt-get update failed; once more with fresh package lists" >&2
        "${sudo[@]}" find /var/lib/apt/lists -maxdepth 1 -type f ! -name lock -delete
        "${sudo[@]}" apt-get update -q
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
}

build_into() {
    local dir=$1; shift
    local werror=OFF
    [ "${CI:-}" = true ] && werror=ON
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_WERROR=$werror "$@"
    cmake --build "$dir" -j"$(nproc)"
}

# Starts a private Xvfb and exports DISPLAY; XVFB_PID is set for the caller to stop.
# Xvfb picks a free display itself and writes its number once it accepts connections
# (-displayfd); -noreset keeps it from resetting whenever its last client leaves, which would
# refuse a program that connects at that moment.
start_xvfb() {
    local out i n=
    out=$(mktemp)
    Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$out" >/dev/null 2>&1 &
    XVFB_PID=$!
    for i in $(seq 1 200); do
        # The number is written with its line end in one write.
        [ "$(wc -l <"$out")" -ge 1 ] && { n=$(head -n 1 "$out"); break; }
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$out"
    if [ -z "$n" ]; then
        echo "could not start Xvfb" >&2
        kill "$XVFB_PID" 2>/dev/null
        XVFB_PID=
        return 1
    fi
    export DISPLAY=:$n
}
