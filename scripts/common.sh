# Shared by scripts/check and scripts/demo: install what is missing, build.
PACKAGES=(cmake g++ make pkg-config libgtk2.0-dev libpng-dev zlib1g-dev libgtest-dev
          xvfb xauth xdotool python3 clang libclang-rt-14-dev)

install_missing() {
    local missing=() p
    for p in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
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
start_xvfb() {
    local n
    for n in $(seq 91 140); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
        Xvfb :$n -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        local i
        for i in $(seq 1 50); do
            # The socket appears a moment before the server accepts on it.
            [ -e /tmp/.X11-unix/X$n ] && DISPLAY=:$n xdotool getdisplaygeometry >/dev/null 2>&1 &&
                { export DISPLAY=:$n; return 0; }
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
    done
    echo "could not start Xvfb" >&2
    return 1
}
