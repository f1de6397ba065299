# Sourced by the guests' build and run scripts: where kernels are cached,
# how apt reaches the release a kernel comes from, and the fetch of a
# kernel from Debian's packages, whatever way the release packs it.
#
# A kernel comes from the machine's own package lists (FROM "-") or from a
# Debian release named by its suite (sid, bookworm-backports), read with
# apt's lists kept in a folder of the cache: the machine's sources are not
# touched, and signatures are checked against the machine's keyring as
# apt checks its own.

if [ -n "${VESKLO_GUEST_CACHE:-}" ]; then cache=$VESKLO_GUEST_CACHE
elif [ "$(id -u)" = 0 ]; then cache=/var/cache/vesklo-guest
else cache=$HOME/.cache/vesklo-guest; fi
mkdir -p "$cache"

# The kernels file: ./kernels, or the one VESKLO_GUEST_KERNELS names.
kernels_file=${VESKLO_GUEST_KERNELS:-$(dirname "$0")/kernels}

# kernel_entries ARCH: the entries of that architecture, "PACKAGE FROM ROWS"
# a line.
kernel_entries() {
    awk -v arch="$1" '!/^#/ && $1 == arch {print $2, ($3 ? $3 : "-"), ($4 ? $4 : "all")}' "$kernels_file"
}

# apt_from FROM: sets apt_opts to the options that read the package lists
# of FROM, bringing its lists up to date at most once in ten minutes (one
# run of the suites updates them once however many scripts ask). Status 1
# when FROM's lists cannot be had.
apt_from() {
    apt_opts=""
    [ "$1" = - ] && return 0
    state=$cache/apt-$1
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb [arch=amd64,arm64] http://deb.debian.org/debian $1 main" > "$state/sources.list"
    # The cache apt builds from the lists is kept (where the machine's
    # apt.conf keeps none), or each query reads 45 MB of lists again.
    apt_opts="-o Dir::Etc::sourcelist=$state/sources.list -o Dir::Etc::sourceparts=- \
        -o Dir::State::Lists=$state/lists -o Dir::Cache=$state/cache \
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=srcpkgcache.bin \
        -o APT::Architectures::=amd64 -o APT::Architectures::=arm64"
    (
        flock 9
        [ -n "$(find "$state/updated" -mmin -10 2>/dev/null)" ] && exit 0
        # apt-get update keeps the old lists and warns, exiting 0, when a
        # signature does not check or a list cannot be fetched: that is a
        # failure here (a download run as root, unsandboxed, is not).
        log=$(apt-get $apt_opts -o Acquire::Retries=1 -o Acquire::http::Timeout=30 update 2>&1 |
            grep '^[WE]:' | grep -v 'unsandboxed') || true
        [ -z "$log" ] || { printf '%s\n' "$log" >&2; exit 1; }
        touch "$state/updated"
    ) 9> "$state/lock"
}

# of_arch PACKAGE ARCH: PACKAGE as apt names it for ARCH (NAME:ARCH, a
# version after it kept, for an architecture not the machine's).
of_arch() {
    if [ "$2" = "$(dpkg --print-architecture)" ]; then echo "$1"
    else echo "${1%%=*}:$2${1#"${1%%=*}"}"; fi
}

# image_of PACKAGE ARCH: the linux-image package that PACKAGE is or names
# (a metapackage depends on one), with apt_opts set for its release.
image_of() {
    found=$(apt-cache $apt_opts depends "$(of_arch "$1" "$2")" 2>/dev/null |
        awk '/Depends: linux-image-/ {sub(/:.*$/, "", $2); print $2; exit}')
    echo "${found:-${1%%[/=]*}}"
}

# kernel_of PACKAGE FROM ARCH: sets apt_opts for FROM and kdir to the cache
# folder of the kernel PACKAGE names. A kernel in the cache is booted
# without its release's lists.
kernel_of() {
    apt_from "$2" || echo "the package lists of $2 could not be brought up to date" >&2
    kdir=$cache/$(image_of "$1" "$3")
}

# kernel_fetch ARCH DIR WANT MODULE...: fills the cache folder DIR, named
# for the linux-image package, once (apt_opts set for its release) with the
# kernel (vmlinuz), the modules named and those they need
# as plain .ko files with their load order (load-order), leaving out what
# the kernel has built in, and the files the shell patterns in WANT (a
# space-separated list, matched against paths inside the packages) name,
# each under its base name. The kernel may be one package or, as newer
# releases ship it, an image package that depends on a binary, a modules
# and a base package; its image under /boot or under usr/lib/modules, its
# modules plain or compressed. A folder is complete or absent: it is filled
# under another name and renamed, and filled again when it was filled for
# other modules.
# Status 2 when a package could not be downloaded, 1 when what was
# downloaded does not make a kernel.
kernel_fetch() {
    arch=$1 dir=$2 want=$3
    shift 3
    [ "$(cat "$dir/wanted" 2>/dev/null)" = "$want $*" ] && return 0
    image=$(basename "$dir")
    parts=$(apt-cache $apt_opts show "$(of_arch "$image" "$arch")" 2>/dev/null | awk -F': ' '/^Depends:/ {print $2; exit}' |
        tr ',' '\n' | sed -n 's/^ *\(linux-\(binary\|modules\|base\)-[^ ]*\).*/\1/p')
    tmp=$dir.tmp.$$
    rm -rf "$tmp" && mkdir -p "$tmp/x"
    for p in "$image" $parts; do
        p=$(of_arch "$p" "$arch")
        (cd "$tmp" && apt-get $apt_opts -o APT::Sandbox::User=root download "$p" >/dev/null 2>&1) ||
            { rm -rf "$tmp"; echo "cannot download $p" >&2; return 2; }
    done
    for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$tmp/x"; done
    rm -f "$tmp"/*.deb
    vmlinuz=$(ls "$tmp"/x/boot/vmlinuz-* "$tmp"/x/usr/lib/modules/*/vmlinuz 2>/dev/null | head -n 1)
    [ -n "$vmlinuz" ] || { rm -rf "$tmp"; echo "no kernel image in $image" >&2; return 1; }
    mv "$vmlinuz" "$tmp/vmlinuz"
    for path in $want; do
        found=$(find "$tmp/x" -path "$tmp/x/$path" -type f | head -n 1)
        [ -n "$found" ] || { rm -rf "$tmp"; echo "no $path in $image" >&2; return 1; }
        cp "$found" "$tmp/"
    done
    python3 "$(dirname "$0")/module_order.py" "$tmp/x" "$tmp" "$@" > "$tmp/load-order" ||
        { rm -rf "$tmp"; return 1; }
    rm -rf "$tmp/x"
    echo "$want $*" > "$tmp/wanted"
    rm -rf "$dir" && mv "$tmp" "$dir"
}

# newer_kernels: one line naming the kernels that a release named in the
# kernels file now has in place of the ones the file names (sid moves on;
# the file is moved by a commit). Nothing when they are the same or the
# release's lists cannot be had.
newer_kernels() {
    newer=$(for arch in amd64 arm64; do kernel_entries $arch | while read -r package from _; do
        [ "$from" != - ] && apt_from "$from" 2>/dev/null || continue
        now=$(image_of "linux-image-$arch" "$arch")
        [ "$now" = "linux-image-$arch" ] || [ "$now" = "$(image_of "$package" "$arch")" ] ||
            echo "$now ($from, in place of $package)"
    done; done | paste -sd';' | sed 's/;/; /g')
    [ -z "$newer" ] || echo "guest kernels: newer than tests/guest/kernels names: $newer; a commit that names them moves the suites to them"
}

# guest_images ARCH SUITES BUILD_SCRIPT ARG...: builds an image for each
# kernel of ARCH in the kernels file with BUILD_SCRIPT ARG... PACKAGE FROM,
# keeping the kernels file's choice of rows in
# each; sets images to their folders. A kernel whose download failed is
# skipped, said and added to $skipped under SUITES (what is skipped); any
# other failure ends the script.
guest_images() {
    arch=$1 suites=$2 script=$3
    shift 3
    images=""
    kernel_entries "$arch" > "$cache/.entries.$$"
    while read -r package from rows; do
        status=0
        image=$(sh "$script" "$@" "$package" "$from" < /dev/null) || status=$?
        case $status in
        0) echo "$rows" > "$image/rows"; images="$images $image" ;;
        2) echo "$suites on $package: skipped (its download failed)"
           echo "$suites on $package (its download failed; a later run fetches it)" >> "$skipped" ;;
        *) echo "$suites: the image on $package could not be built"; rm -f "$cache/.entries.$$"; exit 1 ;;
        esac
    done < "$cache/.entries.$$"
    rm -f "$cache/.entries.$$"
}

# initramfs_pack ROOT OUT: finishes the guest's root folder ROOT (the
# modules of kdir in their load order, the test data, init), packs it into
# OUT/initrd.gz beside a link to the kernel, and prints OUT.
initramfs_pack() {
    cp "$kdir/load-order" "$1/lib/modules/"
    while read -r m; do cp "$kdir/$m" "$1/lib/modules/"; done < "$kdir/load-order"
    python3 "$(dirname "$0")/guest_data.py" "$1/data"
    cp "$(dirname "$0")/init" "$1/init"
    chmod +x "$1/init"
    (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) > "$2/initrd.gz"
    ln -sf "$kdir/vmlinuz" "$2/vmlinuz"
    echo "$2"
}
