#!/usr/bin/env bash
# The server's package upgrade from the previous release, and the previous
# release's server beside this one's on one PostgreSQL database.
#   upgrade_check.sh SOURCE BUILD TEST_PROGRAM
# Builds the directory server's package of the commit named in
# tests/packaging/previous_release (from this repository's history, through
# the compiler cache) and this build's, then runs TEST_PROGRAM on them.
# Exits 77 when the repository does not hold that commit (a shallow clone, a
# source archive).
set -euo pipefail
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
program=$3
release=$(tr -d '[:space:]' <"$source/tests/packaging/previous_release")
work="$build/tests/packaging/upgrade"
scratch=
cleanup() {
    if [[ -n "$scratch" ]]; then
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
# A time-out of the test stops the script with SIGTERM: the folder goes too.
trap 'exit 143' TERM INT

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

if ! git -C "$source" cat-file -e "$release^{commit}" 2>/dev/null; then
    echo "SKIPPED: the previous release $release is not in the history of $source" \
        "(a shallow clone or a source archive); fetch it to run this check"
    exit 77
fi

# Only the server's package: the database is the server's. A package made
# once for this commit is used again.
old="$work/old"
if [[ "$(cat "$old/commit" 2>/dev/null)" != "$release" ]] || ! compgen -G "$old/*.deb" >/dev/null; then
    rm -rf "$old" "$work"/previous-*
    mkdir -p "$work"
    scratch=$(mktemp -d "$work/previous-XXXXXX")
    # The tree and its build folder stand as ours do (the build folder
    # inside the tree), so that the cache's relative paths are the same and
    # every unit the two releases share is found there.
    git -C "$source" archive --format=tar "$release" | tar -x -C "$scratch"
    type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
    started=$(date +%s)
    timeout 300 cmake -S "$scratch" -B "$scratch/build" -G Ninja \
        "-DCMAKE_BUILD_TYPE=${type:-RelWithDebInfo}" >"$scratch/configure.log" 2>&1 ||
        { tail -n 40 "$scratch/configure.log"; fail "configuring the previous release"; }
    timeout 1500 nice cmake --build "$scratch/build" -j "$(nproc)" \
        --target kestrona-server kestrona_install_files >"$scratch/build.log" 2>&1 ||
        { tail -n 40 "$scratch/build.log"; fail "building the previous release"; }
    built=$(date +%s)
    timeout 300 cpack --config "$scratch/build/CPackConfig.cmake" -G DEB -B "$scratch/packages" \
        -D CPACK_COMPONENTS_ALL=server >"$scratch/cpack.log" 2>&1 ||
        { cat "$scratch/cpack.log"; fail "packaging the previous release"; }
    mkdir -p "$old"
    mv "$scratch"/packages/*.deb "$old/"
    echo "$release" >"$old/commit"
    echo "previous release $release: configured and built in $((built - started)) s" \
        "($(grep -c '^\[' "$scratch/build.log" || true) build steps)"
fi

new="$work/new"
rm -rf "$new"
mkdir -p "$new"
timeout 300 cpack --config "$build/CPackConfig.cmake" -G DEB -B "$new/packages" \
    -D CPACK_COMPONENTS_ALL=server >"$new/cpack.log" 2>&1 ||
    { cat "$new/cpack.log"; fail "packaging this build"; }
mv "$new"/packages/*.deb "$new/"
rm -rf "$new/packages"
for deb in "$old"/*.deb "$new"/*.deb; do
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)"
done
[[ $(ls "$old"/*.deb | wc -l) -eq 1 && $(ls "$new"/*.deb | wc -l) -eq 1 ]] ||
    fail "expected one server package of each release"

KESTRONA_PREVIOUS_DEB=$(ls "$old"/*.deb) KESTRONA_NEW_DEB=$(ls "$new"/*.deb) "$program"
