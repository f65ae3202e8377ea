# Sourced by the scripts that cross-build a library for Windows from
# Debian's own source (Qt, libtelnet) into a cache outside the work tree.
#
#   cache_take PREFIX LOCK   prints PREFIX and ends the script when a complete
#                            build is there; else holds LOCK (one build at a
#                            time: a second caller waits, then reuses it)
#   cache_keep PARTIAL PREFIX
#                            marks the build in PARTIAL complete and moves it
#                            to PREFIX, so that an interrupted build is never used
#   debian_source PACKAGE VERSION ROOT   prints ROOT/PACKAGE-VERSION
#
# debian_source fetches the source package through apt, so that its hashes
# are checked against the signed index, and unpacks it with Debian's patches
# applied. An unpacked tree is kept (marked .korvane-unpacked) and reused;
# any other version of the same package under ROOT is removed. Without a
# deb-src entry and as root, one is added for the mirror and suites of the
# machine's own Debian entry. Messages go to standard error; on failure it
# returns 1.

cache_take() {
    local prefix=$1 lock=$2
    if [ ! -f "$prefix/.korvane-complete" ]; then
        mkdir -p "$(dirname "$lock")"
        exec 9>"$lock"
        flock 9
    fi
    if [ -f "$prefix/.korvane-complete" ]; then
        echo "$prefix"
        exit 0
    fi
}

cache_keep() {
    local partial=$1 prefix=$2
    touch "$partial/.korvane-complete"
    rm -rf "$prefix"
    mv "$partial" "$prefix"
}

debian_source() {
    local package=$1 version=$2 root=$3
    local dir=$root/$package-$version
    local log=$root/apt-source-$package.log
    local say="${0##*/}:"
    if [ -f "$dir/.korvane-unpacked" ]; then
        echo "$dir"
        return 0
    fi
    if ! command -v dpkg-source >/dev/null; then
        echo "$say dpkg-source is missing: install dpkg-dev" >&2
        return 1
    fi
    mkdir -p "$root"
    rm -rf "$root/$package"-*/ "$root/.fetch-$package"
    local fetch=$root/.fetch-$package
    debian_source_fetch() {
        rm -rf "$fetch" && mkdir -p "$fetch" \
            && (cd "$fetch" && apt-get source -qq --only-source "$package=$version" >"$log" 2>&1)
    }
    if ! debian_source_fetch; then
        local scripts_sources=/etc/apt/sources.list.d/korvane-deb-src.sources
        if [ ! -e "$scripts_sources" ] && [ "$(id -u)" -eq 0 ]; then
            local main_sources=/etc/apt/sources.list.d/debian.sources
            if [ -f "$main_sources" ]; then
                awk 'BEGIN{RS=""; ORS="\n\n"} /URIs:[^\n]*debian\/?(\n|$)/ || /URIs:[^\n]*debian[^-]/ { sub(/Types: deb/, "Types: deb-src"); print; exit }' \
                    "$main_sources" > "$scripts_sources"
            elif grep -qE '^deb ' /etc/apt/sources.list 2>/dev/null; then
                grep -E '^deb ' /etc/apt/sources.list | grep -v security | head -n 1 \
                    | sed 's/^deb /deb-src /' > "${scripts_sources%.sources}.list"
                rm -f "$scripts_sources"
            fi
            apt-get update -qq >/dev/null 2>&1 || true
        fi
        if ! debian_source_fetch; then
            rm -rf "$fetch"
            echo "$say Debian's source of $package $version cannot be fetched (see $log): it needs a deb-src entry for a Debian mirror that serves it" >&2
            return 1
        fi
    fi
    local unpacked
    unpacked=$(find "$fetch" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    if [ -z "$unpacked" ]; then
        rm -rf "$fetch"
        echo "$say the $package source did not unpack: see $log" >&2
        return 1
    fi
    mv "$unpacked" "$dir"
    rm -rf "$fetch"
    touch "$dir/.korvane-unpacked"
    echo "$dir"
}
