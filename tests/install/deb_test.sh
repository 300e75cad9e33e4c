#!/usr/bin/env bash
# Builds the Debian package from the built tree with cpack and inspects it: its files are the
# installed layout under /usr, its dependencies are exactly the packages that provide the
# libraries its programs and libraries link, and, unpacked into a throwaway root, a host
# built from the unpacked pkg-config file loads the module from there and receives frames.
#
#   deb_test.sh BUILD_DIR TINY_HOST_SOURCE CXX_COMPILER
set -euo pipefail
build=$1
tiny_source=$2
cxx=$3
here=$(dirname "$0")
work=$(mktemp -d /tmp/jvc-deb-test.XXXXXX)
# shellcheck source=common.sh
source "$here/common.sh"
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
debs=("$work"/pkg/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
[[ $(basename "$deb") =~ ^jvc-ipcapture_[0-9.]+_amd64\.deb$ ]] || fail "package file $deb"

# Files: exactly the installed layout.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/files"
sort >"$work/expected" <<'LIST'
usr/bin/camhost
usr/bin/camsim
usr/include/jvc_ipcapture/capability.h
usr/include/jvc_ipcapture/capture_io.h
usr/include/jvc_ipcapture/debug_message.h
usr/include/jvc_ipcapture/device_config.h
usr/include/jvc_ipcapture/export.h
usr/include/jvc_ipcapture/exports.h
usr/include/jvc_ipcapture/host_frame.h
usr/include/jvc_ipcapture/ip_capture_driver.h
usr/include/jvc_ipcapture/ptz.h
usr/include/jvc_ipcapture/video_capture.h
usr/lib/cmake/jvc_ipcapture/jvc_ipcaptureConfig.cmake
usr/lib/cmake/jvc_ipcapture/jvc_ipcaptureConfigVersion.cmake
usr/lib/cmake/jvc_ipcapture/jvc_ipcaptureTargets.cmake
usr/lib/jvc_ipcapture/libDivxDecompression.so
usr/lib/jvc_ipcapture/libjvc_ipcapture.so
usr/lib/pkgconfig/jvc_ipcapture.pc
usr/share/jvc_ipcapture/camsim/camsim_320x240.m4v
usr/share/jvc_ipcapture/camsim/camsim_640x480.m4v
usr/share/jvc_ipcapture/camsim/camsim_704x576.m4v
LIST
diff -u "$work/expected" "$work/files" >&2 || fail "the package's files differ (above)"

# Control fields.
info=$(dpkg-deb -I "$deb")
grep -q '^ Package: jvc-ipcapture$' <<<"$info" || fail "package name: $info"
grep -q '^ Architecture: amd64$' <<<"$info" || fail "architecture: $info"

# Dependencies: the Debian packages that own the libraries the packed objects link, no more
# and no fewer, each with a version.
root=$work/root
dpkg -x "$deb" "$root"
owner() {
    local path=$1 candidate alternative out
    for candidate in "$path" "$(readlink -f "$path")"; do
        for alternative in "$candidate" "${candidate#/usr}" "/usr$candidate"; do
            if out=$(dpkg -S "$alternative" 2>/dev/null); then
                echo "${out%%:*}"
                return 0
            fi
        done
    done
    fail "no package owns $path"
}
for object in "$root"/usr/lib/jvc_ipcapture/*.so "$root"/usr/bin/*; do
    for soname in $(readelf -d "$object" | awk '/NEEDED/ {gsub(/[][]/, "", $5); print $5}'); do
        path=$(ldd "$object" | awk -v so="$soname" '$1 == so && $3 ~ /^\// {print $3} $1 ~ "/" so "$" {print $1}' | head -1)
        [[ -n $path ]] || fail "$soname of $object is not found"
        owner "$path"
    done
done | sort -u >"$work/expected-depends"
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
tr ',' '\n' <<<"$depends" | sed 's/^ *//' >"$work/depends"
grep -v -E '^[a-z0-9.+-]+ \(>= [^)]+\)$' "$work/depends" && fail "a dependency without a version"
sed 's/ .*//' "$work/depends" | sort -u >"$work/depends-names"
diff -u "$work/expected-depends" "$work/depends-names" >&2 ||
    fail "Depends differs from the packages of the linked libraries (above)"
echo "Depends: $depends"
# The README names the same packages. Its list is written for Debian 12: library packages
# carry their sonames in their names, so another release has other names.
if [[ $(cut -d. -f1 /etc/debian_version 2>/dev/null) == 12 ]]; then
    sed -n '/^\*\*The Debian package\*\*/,/links nothing/p' "$here/../../README.md" |
        grep -o '`lib[a-z0-9.+-]*`' | tr -d '`' | sort -u >"$work/readme-depends"
    diff -u "$work/readme-depends" "$work/depends-names" >&2 ||
        fail "the README's list of the package's dependencies differs from its Depends (above)"
fi

# The unpacked package works from where it lies.
plugins=$root/usr/lib/jvc_ipcapture
start_camsim "$root/usr/bin/camsim"
[[ $(realpath "$sim_data_dir") == "$(realpath "$root/usr/share/jvc_ipcapture/camsim")" ]] ||
    fail "the unpacked camsim reads its streams from $sim_data_dir"
module=$(build_pkgconfig_host "$root/usr/lib/pkgconfig" "$work/pc-host")
[[ $(realpath "$module") == "$(realpath "$plugins/libjvc_ipcapture.so")" ]] ||
    fail "the unpacked pkg-config file names the module $module"
out=$(LD_DEBUG=files "$work/pc-host" "$sim_port" mpeg4 "$plugins/libjvc_ipcapture.so" \
    2>"$work/pc-host.run")
expect_frame "$out" DIVX
expect_loaded_from "$work/pc-host.run" libjvc_ipcapture.so "$plugins"
expect_loaded_from "$work/pc-host.run" libDivxDecompression.so "$plugins"
echo "unpacked package: $out"
echo "package test passed"
