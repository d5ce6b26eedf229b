#!/usr/bin/env bash
# Cross-builds the updater for Windows with MinGW-w64 into build-windows/ (the configure
# preset "windows"; UPDATER_WINDOWS_PRESET=windows-tests builds the tests into
# build-windows-tests/). Arguments go to CMake, for instance
#   scripts/windows.sh -DUPDATE_SERVER=https://update.example.com -DUPDATE_PUBLIC_KEY=...
# 32-bit by default, as the product is: a 32-bit program runs on 32-bit and 64-bit Windows
# alike. UPDATER_WINDOWS_ARCH=x86_64 builds a 64-bit one.
# With UPDATER_SIGN_PFX (a PKCS#12 file) and UPDATER_SIGN_PASSWORD set, the programs are
# signed (scripts/sign-windows.sh).
# The executable links a static Qt and a static OpenSSL, built from Debian's own source
# packages the first time and kept in a cache folder outside the checkout (UPDATER_CACHE,
# by default ~/.cache/updater-windows) whose name carries the versions and the options.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
preset=${UPDATER_WINDOWS_PRESET:-windows}
build=build-$preset
arch=${UPDATER_WINDOWS_ARCH:-i686}
case "$arch" in
    # Windows needs no position-independent code, and 32-bit x86 assembly written so uses
    # relocations that Windows objects cannot hold.
    i686) openssl_target=(mingw no-pic) openssl_libdir=lib ;;
    x86_64) openssl_target=(mingw64) openssl_libdir=lib64 ;;
    *) echo "UPDATER_WINDOWS_ARCH must be i686 or x86_64, not $arch" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
package_arch=${arch//_/-}

scripts/deps.sh --only cmake make ninja-build perl python3 g++ dpkg-dev xz-utils patch \
    "g++-mingw-w64-$package_arch-posix" "gcc-mingw-w64-$package_arch-posix" mingw-w64-tools "binutils-mingw-w64-$package_arch"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Qt's win32-g++ make rules call $triple-g++, which may be the win32 thread model;
# Qt needs std::thread, so every tool name points at the posix compilers.
tools=$(mktemp -d)
trap 'rm -rf "$tools"' EXIT
for tool in gcc g++; do
    ln -s "$(command -v "$triple-$tool-posix")" "$tools/$triple-$tool"
done
export PATH="$tools:$PATH"

openssl_options=("${openssl_target[@]}" no-shared no-tests "--cross-compile-prefix=$triple-")
qt_options=(-xplatform win32-g++ -device-option "CROSS_COMPILE=$triple-"
    -static -static-runtime -release -optimize-size -opensource -confirm-license
    -nomake examples -nomake tests -openssl-linked
    -no-opengl -no-dbus -no-feature-sql -no-feature-tabletevent -no-direct2d -no-feature-printer
    -no-libjpeg -qt-zlib -qt-libpng -qt-pcre -qt-freetype -qt-harfbuzz)

# Our fixes to Qt, applied to Debian's source; a changed patch makes a new build.
qt_patches=("$root"/scripts/qt-patches/*.patch)
options_hash=$( (printf '%s\n' "${openssl_options[@]}" "${qt_options[@]}"; cat "${qt_patches[@]}") | sha256sum | cut -c1-12)
cache=${UPDATER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/updater-windows}
# Debian's version marks make awkward path names; the versions stay readable without them.
prefix_name() {
    printf '%s_qtbase-%s_openssl-%s_%s' "$arch" "$1" "$2" "$options_hash" | tr '+~:' '---'
}

# Source packages need a deb-src entry; add one beside the first deb entry when none exists.
add_deb_src() {
    if grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
        return
    fi
    echo "Adding a deb-src entry for Debian's source packages"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | $sudo tee /etc/apt/sources.list.d/updater-deb-src.sources >/dev/null
    else
        sed -En 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list \
            | $sudo tee /etc/apt/sources.list.d/updater-deb-src.list >/dev/null
    fi
    scripts/deps.sh --update
}

# Fetches the newest source of a package that the mirror really has (a security update's
# source can be missing while its binaries are there) and prints its version.
fetch_source() {
    local version
    for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u | sort -r -V); do
        if apt-get source "$1=$version" >&2; then
            echo "$version"
            return
        fi
        rm -rf "${1}_"* "$1"-*/
    done
    echo "No source of $1 could be fetched" >&2
    return 1
}

build_prefix() {
    local work="$cache/work" qt_version openssl_version
    rm -rf "$work"
    mkdir -p "$work"
    add_deb_src
    qt_version=$(cd "$work" && fetch_source qtbase-opensource-src)
    openssl_version=$(cd "$work" && fetch_source openssl)
    prefix="$cache/$(prefix_name "$qt_version" "$openssl_version")"
    rm -rf "$prefix"

    echo "Building OpenSSL $openssl_version for MinGW"
    # Debian's own patch makes 32-bit x86 assembly position-independent the ELF way, which
    # Windows objects cannot hold.
    (cd "$work"/openssl-*/ \
        && patch -R -p1 <debian/patches/pic.patch \
        && ./Configure "${openssl_options[@]}" --prefix="$prefix/openssl" \
        && make -j"$(nproc)" build_libs >/dev/null && make install_dev >/dev/null)

    echo "Building Qt $qt_version (qtbase) for MinGW"
    for patch in "${qt_patches[@]}"; do
        patch -d "$(ls -d "$work"/qtbase-opensource-src-*/)" -p1 <"$patch"
    done
    mkdir "$work/qt-build"
    (cd "$work/qt-build" \
        && "$(ls -d "$work"/qtbase-opensource-src-*/)configure" "${qt_options[@]}" -prefix "$prefix/qt" \
            OPENSSL_INCDIR="$prefix/openssl/include" OPENSSL_LIBDIR="$prefix/openssl/$openssl_libdir" \
            OPENSSL_LIBS='-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32' \
        && make -j"$(nproc)" >/dev/null && make install >/dev/null)

    rm -rf "$work"
    touch "$prefix/complete"
}

# The newest complete build of these options; the install is not relocatable, so it stays
# where it was built.
prefix=$(ls -d "$cache"/$(prefix_name '*' '*')/complete 2>/dev/null | sort -V | tail -n1 | xargs -r dirname || true)
if [ -z "$prefix" ]; then
    start=$SECONDS
    build_prefix
    echo "Static Qt and OpenSSL built in $((SECONDS - start)) s into $prefix"
fi

# A build folder configured against another Qt or OpenSSL keeps their paths in its cache
# and would link the old libraries; it starts afresh.
prefixes="$prefix/qt;$prefix/openssl"
if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "WINDOWS_PREFIXES:UNINITIALIZED=$prefixes" "$build/CMakeCache.txt"; then
    rm -f "$build/CMakeCache.txt"
fi
cmake --preset "$preset" -DWINDOWS_ARCH="$arch" -DWINDOWS_PREFIXES="$prefixes" -DOPENSSL_ROOT_DIR="$prefix/openssl" "$@"
cmake --build --preset "$preset" -j"$(nproc)"
if [ -n "${UPDATER_SIGN_PFX:-}" ]; then
    scripts/sign-windows.sh "$build/UpdateQuorilexVideo.exe" "$build/signrelease.exe"
fi
echo "Built $build/UpdateQuorilexVideo.exe ($(stat -c %s "$build/UpdateQuorilexVideo.exe") bytes)"
