# Sourced by scripts/package, scripts/image and the check: a Debian root of its own, made with
# Debian's mmdebstrap from the archive this machine already uses and with its apt options, kept
# as a tarball in the cache for the rest of the day, and entered with chroot.
#   root_tarball CODENAME VARIANT ARCHS PACKAGES...  prints the tarball's path, made if missing
#   root_open TARBALL DIR     unpacks it and mounts /proc, /sys, /dev and this checkout at /src
#   root_run DIR COMMAND...   runs a shell command in it, in /src
#   root_close DIR            unmounts everything and removes DIR
ROOT_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tessel-server

# The archive this machine's apt reads (deb.debian.org where it names none).
root_mirror() {
    local uri
    uri=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* \
              2>/dev/null | grep -oE 'https?://[^ ]+' | head -n 1)
    echo "${uri:-http://deb.debian.org/debian}"
}

# Every file of this machine's apt configuration that says how to reach the archive (a proxy,
# a validity window), for the root's apt to read as well.
root_apt_options() {
    local f
    for f in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
        [ -f "$f" ] && grep -q 'Acquire' "$f" && echo "--aptopt=$f"
    done
    true
}

root_tarball() {
    local codename=$1 variant=$2 archs=$3
    shift 3
    local mirror key tarball options
    mirror=$(root_mirror)
    key=$(printf '%s\n' "$codename" "$variant" "$archs" "$mirror" "$@" | sha256sum | cut -c1-12)
    tarball=$ROOT_CACHE/$codename-$(date +%F)-$key.tar
    if [ ! -s "$tarball" ]; then
        mkdir -p "$ROOT_CACHE"
        find "$ROOT_CACHE" -maxdepth 1 -name "$codename-*.tar" ! -name "$codename-$(date +%F)-*" -delete
        mapfile -t options < <(root_apt_options)
        local include
        include=$(IFS=,; echo "$*")
        # The security and update suites too, as a fresh installation has them.
        mmdebstrap --quiet --format=tar --variant="$variant" --architectures="$archs" "${options[@]}" \
            ${include:+--include="$include"} \
            --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
            --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
            "$codename" "$tarball.part" \
            "deb $mirror $codename main" "deb $mirror $codename-updates main" \
            "deb ${mirror%/debian*}/debian-security $codename-security main" >&2
        mv "$tarball.part" "$tarball"
    fi
    echo "$tarball"
}

root_open() {
    local tarball=$1 dir=$2
    mkdir -p "$dir"
    # A mount point of its own, so that inside "/" is one, as on a machine: what makes a mount
    # namespace (unshare -m) needs it.
    mount --bind "$dir" "$dir" && mount --make-private "$dir"
    tar -C "$dir" -xf "$tarball"
    cp /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$dir/proc"
    mount --rbind /sys "$dir/sys" && mount --make-rslave "$dir/sys"
    mount --rbind /dev "$dir/dev" && mount --make-rslave "$dir/dev"
    mkdir -p "$dir/src"
    mount --bind "$PWD" "$dir/src"
}

root_run() {
    local dir=$1
    shift
    chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        ${CI:+CI=$CI} /bin/bash -c "cd /src && $*"
}

root_close() {
    local dir=$1
    [ -d "$dir" ] || return 0
    umount -R "$dir" 2>/dev/null || true
    # Nothing of this machine is removed through a mount left behind.
    if findmnt -rn -o TARGET | grep -q "^$dir\(/\|$\)"; then
        echo "$dir still has mounts; left in place" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
}
