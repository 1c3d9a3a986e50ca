#!/usr/bin/env bash
# Builds and packages the source twice as the README says, in two directories, at two times,
# under other umasks, time zones and locales, without SOURCE_DATE_EPOCH, and fails unless the
# two packages are the same bytes dated by the changelog; and a package made with
# SOURCE_DATE_EPOCH must carry that date.
set -euo pipefail
source_dir=$1
skip() { echo "SKIP: $*"; exit 77; }
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Before 3.19, cpack runs no script of the project's around the build, and the package's
# modes follow the umask: then both builds share one.
cmake_version=$(cmake --version | sed -n '1s/^cmake version //p')
other_umask=077
[ "$(printf '3.19\n%s\n' "$cmake_version" | sort -V | head -n 1)" = 3.19 ] || other_umask=022

build() { # directory, umask, environment: prints the package's path
    mkdir -p "$1"
    tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$1" -xf -
    (cd "$1" && umask "$2" && env -u SOURCE_DATE_EPOCH "${@:3}" sh -c \
        'cmake -B build -DBUILD_TESTING=OFF && cmake --build build -j2 && cd build && cpack -G DEB' \
        >"$1.log" 2>&1) || { cat "$1.log"; exit 1; }
    ls "$1"/build/pulse-autospawn-off_*.deb
}
# Each date in the package, as "YYYY-MM-DD HH:MM:SS" in UTC, once.
dates() {
    for member in control.tar.gz data.tar.gz; do
        ar p "$1" "$member" | TZ=UTC tar -tvz --full-time | awk '{print $4, $5}'
    done | sort -u
}

first=$(build "$scratch/one" 022 TZ=UTC LC_ALL=C)
second=$(build "$scratch/two/a/longer/path" "$other_umask" TZ=Asia/Kathmandu LC_ALL=C.UTF-8)
if ! cmp "$first" "$second"; then
    for deb in "$first" "$second"; do ar tv "$deb"; dpkg-deb -c "$deb"; done
    exit 1
fi
echo "package: the same $(sha256sum <"$first" | cut -c1-64) from both builds"
changelog_date=$(sed -n 's/^ -- .*  //p' "$source_dir/packaging/changelog.in" | head -n 1)
[ "$(dates "$first")" = "$(date -u -d "$changelog_date" '+%F %T')" ] || {
    echo "dated otherwise than by the changelog's $changelog_date:"; dates "$first"; exit 1; }
(cd "$scratch/one/build" && SOURCE_DATE_EPOCH=1234567890 cpack -G DEB >/dev/null)
[ "$(dates "$first")" = "2009-02-13 23:31:30" ] || {
    echo "SOURCE_DATE_EPOCH not honoured:"; dates "$first"; exit 1; }
[ "$other_umask" != 022 ] || skip "CMake $cmake_version: the package's modes follow the umask, so both builds shared one"
