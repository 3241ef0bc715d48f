# Fresh Debian 12 roots for the fresh-machine check and the live service test.
# Sourced, not run. Needs root.

fresh_suite=bookworm
fresh_cache="${QLFWD_FRESH_CACHE:-/var/cache/qlfwd-fresh}"

# The Debian mirror that this machine's apt sources already name for the suite.
fresh_mirror() {
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            awk -v suite="$fresh_suite" '/^$/ { u = "" } /^URIs:/ { u = $2 }
                 /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && u != "") print u }' "$f"
        done
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            sed -E 's/\[[^]]*\]//' | awk -v suite="$fresh_suite" '$1 == "deb" && $3 == suite { print $2 }'
    } | head -n 1
}

# Installs a host tool from Debian's packages when it is missing.
fresh_host_tool() {  # fresh_host_tool COMMAND PACKAGE
    command -v "$1" >/dev/null && return 0
    echo "   installing $2 on this machine" >&2
    local log=/var/tmp/qlfwd-fresh-apt.log
    if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$2"; } \
            >"$log" 2>&1; then
        tail -20 "$log" >&2
        return 1
    fi
}

# Prints the path of a pristine root (debootstrap --variant=VARIANT, with the
# packages INCLUDE, comma-separated), made once and then taken from the cache.
root_pristine() {  # root_pristine VARIANT INCLUDE
    local variant="$1" include="$2"
    local name="$fresh_suite-$variant${include:+-$(echo "$include" | md5sum | cut -c1-8)}"
    local dir="$fresh_cache/$name"
    if [ ! -e "$dir/.complete" ]; then
        fresh_host_tool debootstrap debootstrap || return 1
        local mirror
        mirror=$(fresh_mirror)
        [ -n "$mirror" ] || { echo "no Debian mirror for $fresh_suite in the apt sources" >&2; return 1; }
        echo "   debootstrap --variant=$variant ${include:+--include=$include }$fresh_suite from $mirror" >&2
        mkdir -p "$fresh_cache"
        rm -rf "$dir.tmp"
        if ! debootstrap --variant="$variant" ${include:+--include="$include"} "$fresh_suite" "$dir.tmp" "$mirror" \
                >"$fresh_cache/$name.log" 2>&1; then
            tail -20 "$fresh_cache/$name.log" >&2
            return 1
        fi
        apt-get -o Dir="$dir.tmp" clean 2>/dev/null || true
        rm -rf "$dir"
        mv "$dir.tmp" "$dir"
        touch "$dir/.complete"
    else
        echo "   pristine root from the cache: $dir" >&2
    fi
    echo "$dir"
}

root_copy() {  # root_copy PRISTINE ROOT
    cp -a "$1" "$2"
    rm -f "$2/.complete"
}

# /proc, /sys and /dev for a chroot, and name resolution for apt.
root_enter() {  # root_enter ROOT
    # A mount point of its own, so that tests inside can make a private mount namespace.
    mount --bind "$1" "$1"
    mount -t proc proc "$1/proc"
    mount -t sysfs sysfs "$1/sys"
    mount --rbind /dev "$1/dev"
    mount --make-rslave "$1/dev"
    cp -L /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
}

# Ends what still runs inside the root and unmounts everything below it.
root_release() {  # root_release ROOT
    local root="$1" p
    [ -d "$root" ] || return 0
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
    done
    local m
    for m in $(awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
    return 0
}

# A clean environment, as a fresh root login has it.
clean_environment() {
    echo HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb LANG=C.UTF-8
}

in_root() {  # in_root ROOT DIR COMMAND
    # shellcheck disable=SC2046
    chroot "$1" /usr/bin/env -i $(clean_environment) /bin/bash -c "cd $2 && $3"
}
