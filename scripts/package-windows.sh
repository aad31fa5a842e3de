#!/usr/bin/env bash
# package-windows.sh [build-dir]: cross-builds for 64-bit Windows, on Debian, with MinGW-w64:
# Quorbel.exe, flasher.exe, QuorbelStation.exe, the esptool stand-in and every test that runs on Windows, warning-free
# (-Werror), against the Qt for MinGW named by QUORBEL_QT_MINGW (a folder laid out like the
# unpacked qt5-mingw-w64/). Then makes the portable zip, Quorbel-<version>-win64.zip, in the build
# folder (build-win/ by default). Installs the Debian packages it needs when they are missing.
# The last line it prints is the zip's path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
dir="$(realpath -m "${1:-build-win}")"

qt="${QUORBEL_QT_MINGW:-}"
if [ -z "$qt" ] || [ ! -f "$qt/lib/cmake/Qt5/Qt5Config.cmake" ] || [ ! -f "$qt/bin/Qt5Core.dll" ]; then
  echo "package-windows: QUORBEL_QT_MINGW must name a Qt for MinGW (a folder laid out like the" \
       "unpacked qt5-mingw-w64/); it is '${qt}'" >&2
  exit 1
fi
qt="$(realpath "$qt")"

# wine and xvfb run the tests of this build; unzip the test of the zip.
scripts/setup.sh g++-mingw-w64-x86-64-posix wine zip unzip xvfb

# A cache made against another Qt folder would keep pointing there.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$qt" "$dir/CMakeCache.txt"; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release -DQUORBEL_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt"

triplet=x86_64-w64-mingw32
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")"
name="Quorbel-$version-win64"
stage="$dir/zip/$name"
zip="$dir/$name.zip"
rm -rf "$dir/zip" "$zip"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/imageformats"

cp "$dir/bin/Quorbel.exe" "$dir/bin/flasher.exe" "$dir/bin/QuorbelStation.exe" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# Quorbel's window icon is an .ico resource; without its reader the icon loads nothing. The
# other image formats nothing here reads stay out.
cp "$qt/plugins/imageformats/qico.dll" "$stage/imageformats/"

# Every DLL the programs and plugins load, found among Qt's and the compiler's; what is found
# nowhere there is the system's own.
runtime_dirs=("$qt/bin")
for dll in libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
  runtime_dirs+=("$(dirname "$(realpath "$("$triplet-g++-posix" -print-file-name="$dll")")")")
done
pending=("$stage"/*.exe "$stage"/*/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
  file="${pending[0]}"
  pending=("${pending[@]:1}")
  for dll in $("$triplet-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
    [ -e "$stage/$dll" ] && continue
    for d in "${runtime_dirs[@]}"; do
      if [ -f "$d/$dll" ]; then
        cp "$d/$dll" "$stage/"
        pending+=("$stage/$dll")
        break
      fi
    done
  done
done

# Qt's DLLs come stripped; the programs and the compiler's runtime carry symbols.
"$triplet-strip" --strip-unneeded "$stage"/*.exe "$stage"/lib*.dll
# With a byte-order mark, so that every Notepad reads the Chinese as UTF-8.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' packaging/windows/README.txt; } >"$stage/README.txt"

(cd "$dir/zip" && zip -q -9 -r -X "$zip" "$name")
echo "package-windows: $(unzip -Z1 "$zip" | grep -vc '/$') files, $(du -k "$zip" | cut -f1) KiB" >&2
echo "$zip"
