#!/usr/bin/env bash
# Installs the built tree into a temporary prefix and uses it as a host builder would: builds
# a tiny host out of tree with find_package and one with pkg-config, runs them against the
# installed camsim (MPEG-4 needs the header routine library found beside the module), and
# runs the installed camhost, which must find the installed module on its own.
#
#   install_test.sh BUILD_DIR TINY_HOST_SOURCE CXX_COMPILER
set -euo pipefail
build=$1
tiny_source=$2
cxx=$3
here=$(dirname "$0")
work=$(mktemp -d /tmp/jvc-install-test.XXXXXX)
# shellcheck source=common.sh
source "$here/common.sh"
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install: $(cat "$work/install.log")"
plugins=$prefix/lib/jvc_ipcapture
for file in lib/jvc_ipcapture/libjvc_ipcapture.so lib/jvc_ipcapture/libDivxDecompression.so \
    bin/camhost bin/camsim include/jvc_ipcapture/exports.h \
    lib/cmake/jvc_ipcapture/jvc_ipcaptureConfig.cmake lib/pkgconfig/jvc_ipcapture.pc \
    share/jvc_ipcapture/camsim/camsim_320x240.m4v share/jvc_ipcapture/camsim/camsim_640x480.m4v \
    share/jvc_ipcapture/camsim/camsim_704x576.m4v; do
    [[ -f $prefix/$file ]] || fail "$file is not installed"
done
# Nothing installed still points into the build tree.
for object in "$plugins"/*.so "$prefix"/bin/*; do
    ! readelf -d "$object" | grep -E "RPATH|RUNPATH" | grep -q "$build" ||
        fail "$object keeps a run path into the build tree"
done

start_camsim "$prefix/bin/camsim"
[[ $(realpath "$sim_data_dir") == "$(realpath "$prefix/share/jvc_ipcapture/camsim")" ]] ||
    fail "the installed camsim reads its streams from $sim_data_dir"

# A host built with find_package: the module's path comes from the package config.
cmake -S "$tiny_source" -B "$work/cmake-host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake-host.log" 2>&1 ||
    fail "find_package host configure: $(cat "$work/cmake-host.log")"
cmake --build "$work/cmake-host" >>"$work/cmake-host.log" 2>&1 ||
    fail "find_package host build: $(cat "$work/cmake-host.log")"
grep -q "jvc_ipcapture module: $plugins/libjvc_ipcapture.so" "$work/cmake-host.log" ||
    fail "the package config named another module: $(grep 'module:' "$work/cmake-host.log")"
out=$(LD_DEBUG=files "$work/cmake-host/tiny_host" "$sim_port" mpeg4 2>"$work/cmake-host.run")
expect_frame "$out" DIVX
expect_loaded_from "$work/cmake-host.run" libjvc_ipcapture.so "$plugins"
expect_loaded_from "$work/cmake-host.run" libDivxDecompression.so "$plugins"
echo "find_package host: $out"

# A host built with pkg-config.
module=$(build_pkgconfig_host "$prefix/lib/pkgconfig" "$work/pc-host")
[[ $(realpath "$module") == "$plugins/libjvc_ipcapture.so" ]] ||
    fail "pkg-config names the module $module"
out=$("$work/pc-host" "$sim_port" mjpeg 2>"$work/pc-host.run")
expect_frame "$out" JPEG
echo "pkg-config host: $out"

# The installed camhost loads the installed module without being told where it is.
LD_DEBUG=files "$prefix/bin/camhost" capture --address 127.0.0.1 --port "$sim_port" \
    --model VN-X235 --stream mpeg4 --seconds 1 --out "$work/camhost-out" \
    >"$work/camhost.out" 2>"$work/camhost.run" ||
    fail "installed camhost: $(tail -5 "$work/camhost.out")"
expect_loaded_from "$work/camhost.run" libjvc_ipcapture.so "$plugins"
expect_loaded_from "$work/camhost.run" libDivxDecompression.so "$plugins"
[[ -s $work/camhost-out/ch0/stream.m4v ]] || fail "installed camhost wrote no stream"
echo "installed camhost: $(grep -E '^ch0 ' "$work/camhost.out")"
echo "install test passed"
