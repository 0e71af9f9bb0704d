#!/usr/bin/env bash
# Builds jsoncpp and GoogleTest with the pre-C++11 std::string ABI (_GLIBCXX_USE_CXX11_ABI=0), for
# the old-ABI builds of the plug-in, the stand-in runtime and the unit tests (presets `oldabi` and
# `mipsel-oldabi`). Debian's own libjsoncpp and libgtest use the C++11 ABI: their std::string
# signatures do not link with code built for the old one.
#
# - jsoncpp: Debian's source package of the version this machine has installed, fetched with
#   `apt-get source` from Debian's archive. apt works on a private source list, package lists and
#   cache kept beside the result, so the machine's apt setup stays as it is.
# - GoogleTest: the sources Debian's googletest package installs under /usr/src/googletest.
#
# Both are installed under FOLDER/usr: shared libjsoncpp.so.25 (the soname the host's jsoncpp has),
# static GoogleTest, with their CMake package files. Run again with the same sources, compiler and
# flags, it does nothing.
#
# Usage: scripts/deps-oldabi.sh native|mipsel [FOLDER [CMAKE-ARG ...]]
#   FOLDER defaults to build/oldabi/deps (native) or build/mipsel-oldabi/deps (mipsel); the
#   CMAKE-ARGs go to both configures (for mipsel, e.g. -DRXP_MIPSEL_TOOLCHAIN_PREFIX=...).
# Needs: apt-get, dpkg-source (dpkg-dev), cmake, ninja, the compiler; the googletest and
# libjsoncpp-dev packages; network access to the Debian archive the first time.
set -euo pipefail

root_dir="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?usage: $0 native|mipsel [FOLDER [CMAKE-ARG ...]]}"
case "$target" in
native) default_folder="$root_dir/build/oldabi/deps" ;;
mipsel) default_folder="$root_dir/build/mipsel-oldabi/deps" ;;
*)
    echo "deps-oldabi: unknown target '$target' (native or mipsel)" >&2
    exit 2
    ;;
esac
folder="${2:-$default_folder}"
shift $(($# < 2 ? $# : 2))
extra_args=("$@")
mkdir -p "$folder"
folder="$(cd "$folder" && pwd)"
work="$folder.build"  # apt state, unpacked sources and build trees, beside the result
abi_flags="-D_GLIBCXX_USE_CXX11_ABI=0"
jobs=2

gtest_src=/usr/src/googletest
jsoncpp_package="$(dpkg-query -W -f='${source:Package}' libjsoncpp-dev)"
jsoncpp_version="$(dpkg-query -W -f='${source:Version}' libjsoncpp-dev)"
gtest_version="$(dpkg-query -W -f='${Version}' googletest)"

cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
    "-DCMAKE_CXX_FLAGS=$abi_flags")
if [[ "$target" == mipsel ]]; then
    # The cross toolchain, with no package folder: these two need nothing but the C++ runtime.
    cmake_args+=("-DCMAKE_TOOLCHAIN_FILE=$root_dir/cmake/toolchains/mipsel-linux-gnu.cmake"
        -DRXP_MIPSEL_PACKAGE_ROOT=)
fi
cmake_args+=(${extra_args[@]+"${extra_args[@]}"})

# What the result was built from; the same request leaves it alone.
compiler="g++"
for arg in ${extra_args[@]+"${extra_args[@]}"}; do
    [[ "$arg" == -DRXP_MIPSEL_TOOLCHAIN_PREFIX=* ]] && compiler="${arg#*=}g++"
done
[[ "$target" == mipsel && "$compiler" == g++ ]] && compiler=mipsel-linux-gnu-g++
request="$(printf '%s\n' "target $target" "jsoncpp $jsoncpp_package $jsoncpp_version" \
    "googletest $gtest_version" "compiler $("$compiler" --version | head -n1)" \
    "flags $abi_flags" "args ${extra_args[*]:-}")"
if [[ -f "$folder/.request" && "$(cat "$folder/.request")" == "$request" ]]; then
    echo "deps-oldabi: $folder is up to date"
    exit 0
fi

# jsoncpp's Debian source package, through a private deb-src list of Debian's archive.
apt_dir="$work/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.d"
touch "$apt_dir/status"
cat >"$apt_dir/sources.d/debian.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_opts=(
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::State::status=$apt_dir/status"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Dir::Cache::pkgcache=pkgcache.bin"
    -o "Dir::Cache::srcpkgcache=srcpkgcache.bin"
    -o "APT::Sandbox::User=root"
)
src_dir="$work/src"
jsoncpp_src="$src_dir/$jsoncpp_package-${jsoncpp_version%%-*}"
if [[ ! -f "$src_dir/.jsoncpp-$jsoncpp_version" ]]; then
    echo "deps-oldabi: fetching Debian's source of jsoncpp $jsoncpp_version"
    apt-get "${apt_opts[@]}" -qq update
    rm -rf "$src_dir"
    mkdir -p "$src_dir"
    (cd "$src_dir" && apt-get "${apt_opts[@]}" -qq source "$jsoncpp_package=$jsoncpp_version" >/dev/null)
    [[ -f "$jsoncpp_src/CMakeLists.txt" ]] || {
        echo "deps-oldabi: no jsoncpp sources in $jsoncpp_src" >&2
        exit 1
    }
    touch "$src_dir/.jsoncpp-$jsoncpp_version"
fi

# Install into a fresh tree, then swap it in: an interrupted run never leaves a tree that looks
# complete.
fresh="$folder.new"
rm -rf "$fresh" "$work/jsoncpp" "$work/googletest"
mkdir -p "$fresh"

echo "deps-oldabi: building jsoncpp ($target, $abi_flags)"
cmake -S "$jsoncpp_src" -B "$work/jsoncpp" "${cmake_args[@]}" -Wno-dev \
    -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_EXAMPLE=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON \
    -DJSONCPP_WITH_CMAKE_PACKAGE=ON >/dev/null
cmake --build "$work/jsoncpp" -j "$jobs" >/dev/null
DESTDIR="$fresh" cmake --install "$work/jsoncpp" >/dev/null

echo "deps-oldabi: building GoogleTest ($target, $abi_flags)"
cmake -S "$gtest_src" -B "$work/googletest" "${cmake_args[@]}" -Wno-dev \
    -DBUILD_GMOCK=OFF -DBUILD_SHARED_LIBS=OFF >/dev/null
cmake --build "$work/googletest" -j "$jobs" >/dev/null
DESTDIR="$fresh" cmake --install "$work/googletest" >/dev/null

printf '%s\n' "$request" >"$fresh/.request"
rm -rf "$folder" "$work/jsoncpp" "$work/googletest"
mv "$fresh" "$folder"
echo "deps-oldabi: installed into $folder"
