#!/usr/bin/env bash
# package-deb.sh [build-dir]: builds the Release programs, warning-free (-Werror) and with the
# flags Debian builds its own packages with, into build-deb/ by default, and makes the Debian
# package quorbel_<version>_amd64.deb there with CPack (packaging/linux/CMakeLists.txt says what
# it holds). Installs the Debian packages it needs when they are missing.
# The last line it prints is the package's path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
dir="$(realpath -m "${1:-build-deb}")"

# dpkg-shlibdeps (dpkg-dev) finds Depends; CPack reads binaries with file.
scripts/setup.sh dpkg-dev file

# Debian's hardening (PIE, stack protector, fortified functions, read-only relocations bound at
# start), as dpkg-buildflags gives it on this machine. CMake takes these on its first run.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
# The build talks on stderr: standard output carries only the path.
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release -DQUORBEL_WERROR=ON -DQUORBEL_TESTS=OFF >&2

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")-1"
# The changelog describes a version; a package of another one would carry a stale history.
if ! head -n1 packaging/linux/changelog | grep -qF "quorbel ($version) "; then
  echo "package-deb: packaging/linux/changelog has no entry for $version on top" >&2
  exit 1
fi

deb="$dir/quorbel_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$dir" && cpack -G DEB) >"$dir/cpack.log" 2>&1 || { cat "$dir/cpack.log" >&2; exit 1; }
if [ ! -f "$deb" ]; then
  cat "$dir/cpack.log" >&2
  echo "package-deb: CPack made no $deb" >&2
  exit 1
fi
echo "package-deb: $(dpkg-deb -c "$deb" | grep -vc '/$') files, $(du -k "$deb" | cut -f1) KiB;" \
     "Depends: $(dpkg-deb -f "$deb" Depends)" >&2
echo "$deb"
