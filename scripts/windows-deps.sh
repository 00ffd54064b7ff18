#!/usr/bin/env bash
# Builds the static Windows (MinGW-w64) libraries the Windows build links:
# libjpeg-turbo, libpng, OpenCV (core, imgproc, flann, features2d, calib3d,
# imgcodecs), GoogleTest and Google Benchmark, all from Debian's own source
# packages (zlib comes built, as libz-mingw-w64-dev). They go into a cache
# outside the work tree, one directory per set of versions, so a machine
# builds them once. Prints that directory (the prefix) on standard output.
#   ORB_WIN_DEPS_CACHE  cache root (default ~/.cache/orb_sdk/windows-deps)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake
triplet=x86_64-w64-mingw32
sysroot=/usr/$triplet
log() { echo "windows-deps: $*" >&2; }

bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    libz-mingw-w64-dev nasm wine64 wine dpkg-dev googletest xz-utils >&2

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
# apt-get source needs deb-src entries: mirror the binary ones.
if [ -z "$(apt-cache showsrc --only-source opencv 2>/dev/null | grep '^Version:')" ]; then
  log "adding deb-src entries for apt-get source"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
fi

# The versions of a source package Debian offers, newest first. A mirror may
# list a version whose files it no longer has, so fetching tries them in turn.
src_versions() {
  local v i sorted=()
  for v in $(apt-cache showsrc --only-source "$1" | awk '/^Version:/ {print $2}' | sort -u); do
    i=0
    while [ $i -lt ${#sorted[@]} ] && dpkg --compare-versions "${sorted[$i]}" gt "$v"; do i=$((i + 1)); done
    sorted=("${sorted[@]:0:$i}" "$v" "${sorted[@]:$i}")
  done
  [ ${#sorted[@]} -gt 0 ] || { log "no source package $1"; exit 1; }
  echo "${sorted[*]}"
}
# Raised whenever the way of building below changes, so caches rebuild.
recipe=1
declare -A ver
for s in libjpeg-turbo libpng1.6 opencv benchmark; do ver[$s]=$(src_versions "$s"); done
versions=$(cat <<EOF
mingw $(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
zlib $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
googletest $(dpkg-query -W -f='${Version}' googletest)
libjpeg-turbo ${ver[libjpeg-turbo]}
libpng1.6 ${ver[libpng1.6]}
opencv ${ver[opencv]}
benchmark ${ver[benchmark]}
recipe $recipe
EOF
)
key=$(echo "$versions" | sha256sum | cut -c1-16)
cache=${ORB_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orb_sdk/windows-deps}
prefix=$cache/$key
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9  # one build per cache at a time
if [ -f "$prefix/VERSIONS" ]; then
  log "cached: $prefix"
  echo "$prefix"
  exit 0
fi

log "building into $prefix:"
echo "$versions" | sed 's/^/  /' >&2
start=$(date +%s)
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Installed in place (OpenCV's package records its static dependencies by
# absolute path), one library after the other; a marker per library lets an
# interrupted build go on where it stopped. VERSIONS, written last, marks a
# finished prefix.
mkdir -p "$prefix"
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake_win() {  # <source> <build> [options...]
  local src=$1 bld=$2; shift 2
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DORB_WIN_DEPS="$prefix" "${launcher[@]}" "$@" \
    >"$bld.log" 2>&1 || { tail -40 "$bld.log" >&2; exit 1; }
  { cmake --build "$bld" -j"$jobs" && cmake --install "$bld"; } >>"$bld.log" 2>&1 ||
    { tail -40 "$bld.log" >&2; exit 1; }
}
fetch() {  # <source package>: unpacks it (with Debian's patches) and prints the directory
  local v
  for v in ${ver[$1]}; do
    if (cd "$work" && apt-get source -qq --only-source "$1=$v" >"$work/$1.fetch.log" 2>&1); then
      echo "$1 $v" >"$prefix/.source-$1"
      find "$work" -maxdepth 1 -type d -name "$1-*" | head -1
      return
    fi
    log "$1 $v: not fetched, trying an older version"
  done
  cat "$work/$1.fetch.log" >&2
  exit 1
}
step() {  # <name> <function>: builds one library unless an earlier run did
  if [ -f "$prefix/.built-$1" ]; then
    log "$1: built before"
  else
    log "$1"
    "$2"
    touch "$prefix/.built-$1"
  fi
}

jpeg() {
  local src
  src=$(fetch libjpeg-turbo)
  # An absolute libdir: its own GNUInstallDirs takes a relative one from the working directory.
  cmake_win "$src" "$work/b-jpeg" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON \
    -DREQUIRE_SIMD=ON -DCMAKE_INSTALL_LIBDIR="$prefix/lib"
}
png() {
  local src
  src=$(fetch libpng1.6)
  cmake_win "$src" "$work/b-png" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
    -DZLIB_LIBRARY="$sysroot/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include"
}
# OpenCV: only the modules the library uses, every optional backend off, and
# the image libraries named by their static archives so no DLL import
# library is ever picked up.
opencv() {
  local src
  local off=(WITH_FFMPEG WITH_GSTREAMER WITH_DSHOW WITH_MSMF WITH_WIN32UI WITH_GTK WITH_QT WITH_OPENGL WITH_VTK
     WITH_OPENCL WITH_OPENCLAMDFFT WITH_OPENCLAMDBLAS WITH_DIRECTX WITH_VA WITH_VA_INTEL WITH_CUDA WITH_IPP
     WITH_ITT WITH_EIGEN WITH_LAPACK WITH_OPENMP WITH_TBB WITH_HPX WITH_TIFF WITH_WEBP WITH_OPENJPEG
     WITH_JASPER WITH_OPENEXR WITH_GDAL WITH_GDCM WITH_IMGCODEC_HDR WITH_IMGCODEC_SUNRASTER
     WITH_IMGCODEC_PXM WITH_IMGCODEC_PFM WITH_PROTOBUF WITH_ADE WITH_QUIRC WITH_1394 WITH_V4L WITH_OBSENSOR
     WITH_CAROTENE WITH_HALIDE WITH_VULKAN WITH_ONNX WITH_LIBREALSENSE WITH_OPENVX WITH_PLAIDML WITH_TIMVX
     WITH_CANN WITH_UEYE WITH_ARAVIS WITH_XIMEA WITH_PVAPI WITH_GPHOTO2 WITH_MFX WITH_INF_ENGINE WITH_NGRAPH
     BUILD_ZLIB BUILD_JPEG BUILD_PNG BUILD_TIFF BUILD_WEBP BUILD_OPENJPEG BUILD_JASPER BUILD_OPENEXR
     BUILD_PROTOBUF BUILD_ITT BUILD_IPP_IW BUILD_TESTS BUILD_PERF_TESTS BUILD_EXAMPLES BUILD_DOCS
     BUILD_opencv_apps BUILD_JAVA BUILD_opencv_python2 BUILD_opencv_python3 BUILD_opencv_world
     OPENCV_GENERATE_PKGCONFIG INSTALL_CREATE_DISTRIB)
  src=$(fetch opencv)
  cmake_win "$src" "$work/b-opencv" $(printf -- '-D%s=OFF ' "${off[@]}") \
    -DBUILD_LIST=core,imgproc,flann,features2d,calib3d,imgcodecs -DWITH_JPEG=ON -DWITH_PNG=ON \
    -DZLIB_LIBRARY="$sysroot/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include" \
    -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include" \
    -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
    -DOPENCV_BIN_INSTALL_PATH=bin -DOPENCV_LIB_INSTALL_PATH=lib -DOPENCV_3P_LIB_INSTALL_PATH=lib \
    -DOPENCV_CONFIG_INSTALL_PATH=lib/cmake/opencv4 -DOPENCV_INCLUDE_INSTALL_PATH=include/opencv4 \
    -DOPENCV_OTHER_INSTALL_PATH=share/opencv4 -DOPENCV_LICENSES_INSTALL_PATH=share/licenses/opencv4
}
gtest() {
  echo "googletest $(dpkg-query -W -f='${Version}' googletest) (/usr/src/googletest)" >"$prefix/.source-googletest"
  cmake_win /usr/src/googletest "$work/b-gtest" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}
bench() {
  local src v
  src=$(fetch benchmark)
  v=$(cut -d' ' -f2 "$prefix/.source-benchmark")
  v=${v#*:}
  # Without git the version comes from here, as in Debian's own build.
  cmake_win "$src" "$work/b-bench" -DGIT_VERSION="${v%-*}" -DBENCHMARK_ENABLE_TESTING=OFF \
    -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_ENABLE_INSTALL=ON \
    -DBENCHMARK_INSTALL_DOCS=OFF
}

step libjpeg-turbo jpeg
step libpng png
step opencv opencv
step googletest gtest
step benchmark bench

{ echo "$versions"; echo "# built from:"; cat "$prefix"/.source-*; } >"$prefix/VERSIONS"
log "built in $(( $(date +%s) - start )) s: $prefix"
echo "$prefix"
