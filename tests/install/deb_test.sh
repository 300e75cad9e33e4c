#!/usr/bin/env bash
# Builds the Debian packages from the built tree with cpack and inspects them: three packages
# (the module, -dev, -tools), each holding exactly its part of the installed layout under
# /usr with a copyright file and a Debian changelog, none with a maintainer script or a
# trigger. The module package depends on exactly the packages that provide the libraries the
# module links, and on none of the tools' libraries; -dev on the module package of the same
# version only; -tools on the module package and what the tools link. Unpacked into a
# throwaway root, a host built from the unpacked pkg-config file loads the module from there
# and receives frames.
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

module_pkg=jvc-ipcapture
dev_pkg=jvc-ipcapture-dev
tools_pkg=jvc-ipcapture-tools
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no project version in $build/CPackConfig.cmake"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
(cd "$work/pkg" && ls -- *.deb) | sort >"$work/debs"
printf '%s\n' "${module_pkg}_${version}_amd64.deb" "${dev_pkg}_${version}_amd64.deb" \
    "${tools_pkg}_${version}_amd64.deb" | sort >"$work/expected-debs"
diff -u "$work/expected-debs" "$work/debs" >&2 || fail "cpack made other package files (above)"
deb_of() { echo "$work/pkg/${1}_${version}_amd64.deb"; }

# Files: each package holds exactly its part of the installed layout, and its documents.
expect_files() {
    local pkg=$1 deb
    deb=$(deb_of "$pkg")
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/$pkg.files"
    { cat; printf '%s\n' "usr/share/doc/$pkg/changelog.Debian.gz" "usr/share/doc/$pkg/copyright"; } |
        sort >"$work/$pkg.expected"
    diff -u "$work/$pkg.expected" "$work/$pkg.files" >&2 || fail "$pkg: its files differ (above)"
}
expect_files "$module_pkg" <<'LIST'
usr/lib/jvc_ipcapture/libDivxDecompression.so
usr/lib/jvc_ipcapture/libjvc_ipcapture.so
LIST
expect_files "$dev_pkg" <<'LIST'
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
usr/lib/pkgconfig/jvc_ipcapture.pc
LIST
expect_files "$tools_pkg" <<'LIST'
usr/bin/camhost
usr/bin/camsim
usr/share/jvc_ipcapture/camsim/camsim_320x240.m4v
usr/share/jvc_ipcapture/camsim/camsim_640x480.m4v
usr/share/jvc_ipcapture/camsim/camsim_704x576.m4v
LIST

# Control fields, and the control archive: only the control file and the checksums. The
# module lies outside the loader's search path, so no script or trigger runs ldconfig.
root=$work/root
for pkg in "$module_pkg" "$dev_pkg" "$tools_pkg"; do
    deb=$(deb_of "$pkg")
    dpkg-deb -f "$deb" >"$work/$pkg.control"
    for field in "Package: $pkg" "Version: $version" "Architecture: amd64" \
        "Source: $module_pkg"; do
        grep -qx "$field" "$work/$pkg.control" || fail "$pkg: no '$field' in $(cat "$work/$pkg.control")"
    done
    dpkg-deb -e "$deb" "$work/$pkg.ctl"
    ctl=$(find "$work/$pkg.ctl" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')
    [[ $ctl == "control md5sums " ]] || fail "$pkg: its control archive holds $ctl"
    ! grep -rq ldconfig "$work/$pkg.ctl" || fail "$pkg: its control archive calls ldconfig"
    dpkg -x "$deb" "$root"
done

# Copyright (machine-readable format) and changelog (Debian format, compressed without a
# name or time stamp, its newest entry for this version), the same in each package.
for pkg in "$module_pkg" "$dev_pkg" "$tools_pkg"; do
    doc=$root/usr/share/doc/$pkg
    copyright=$doc/copyright
    head -1 "$copyright" |
        grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "$pkg: the copyright file is not in the machine-readable format"
    for field in 'Upstream-Name: jvc_ipcapture' 'Files: \*' \
        'Copyright: [0-9]{4}(-[0-9]{4})? jvc_ipcapture developers' 'License: .+' \
        ' All rights reserved\.'; do
        grep -qxE "$field" "$copyright" || fail "$pkg: no '$field' in the copyright file"
    done
    changelog=$doc/changelog.Debian.gz
    gzip -t "$changelog" || fail "$pkg: the changelog is not gzip"
    # Header: flags (byte 3) without a file name, modification time (bytes 4-7) zero, and the
    # extra flags (byte 8) of the best compression.
    header=$(od -An -tx1 -j3 -N6 "$changelog" | tr -d ' \n')
    [[ $header == 000000000002 ]] || fail "$pkg: the changelog was not compressed with -9n ($header)"
    zcat "$changelog" >"$work/$pkg.changelog"
    # dpkg-parsechangelog reads a malformed entry with a warning only.
    parsed=$(dpkg-parsechangelog -l "$work/$pkg.changelog" 2>"$work/$pkg.changelog-warnings") ||
        fail "$pkg: dpkg-parsechangelog: $(cat "$work/$pkg.changelog-warnings")"
    [[ ! -s $work/$pkg.changelog-warnings ]] ||
        fail "$pkg: changelog: $(cat "$work/$pkg.changelog-warnings")"
    grep -qx "Source: $module_pkg" <<<"$parsed" || fail "$pkg: changelog: $parsed"
    grep -qx "Version: $version" <<<"$parsed" || fail "$pkg: changelog: $parsed"
done

# Dependencies: the Debian packages that own the libraries the packed objects link, no more
# and no fewer, each with a version, besides the module package of the same version.
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
linked_packages() {
    local object soname path
    for object in "$@"; do
        for soname in $(readelf -d "$object" | awk '/NEEDED/ {gsub(/[][]/, "", $5); print $5}'); do
            path=$(ldd "$object" | awk -v so="$soname" '$1 == so && $3 ~ /^\// {print $3} $1 ~ "/" so "$" {print $1}' | head -1)
            [[ -n $path ]] || fail "$soname of $object is not found"
            owner "$path"
        done
    done | sort -u
}
# depends_of PACKAGE: its Depends, one a line, each checked to carry a version.
depends_of() {
    local pkg=$1
    sed -n 's/^Depends: //p' "$work/$pkg.control" | tr ',' '\n' | sed 's/^ *//' |
        sed '/^$/d' >"$work/$pkg.depends"
    ! grep -v -E '^[a-z0-9.+-]+ \((>=|=) [^)]+\)$' "$work/$pkg.depends" ||
        fail "$pkg: a dependency without a version"
    cat "$work/$pkg.depends"
}
expect_depends() {
    local pkg=$1 expected=$2
    depends_of "$pkg" | sed 's/ .*//' | sort -u >"$work/$pkg.depends-names"
    [[ -n $expected ]] || return 0
    diff -u "$expected" "$work/$pkg.depends-names" >&2 ||
        fail "$pkg: Depends differs from what it needs (above)"
    echo "$pkg Depends: $(sed -n 's/^Depends: //p' "$work/$pkg.control")"
}

linked_packages "$root"/usr/lib/jvc_ipcapture/*.so >"$work/module.expected-depends"
expect_depends "$module_pkg" "$work/module.expected-depends"
# A recording server that takes the module takes none of the tools' libraries.
! grep -E '^(libav|libcpp-httplib|libjpeg|libssl)' "$work/$module_pkg.depends-names" ||
    fail "$module_pkg depends on a library of the tools"

expect_depends "$dev_pkg" ""
[[ $(cat "$work/$dev_pkg.depends") == "$module_pkg (= $version)" ]] ||
    fail "$dev_pkg: Depends: $(cat "$work/$dev_pkg.depends")"
echo "$dev_pkg Depends: $(cat "$work/$dev_pkg.depends")"

{ linked_packages "$root"/usr/bin/*; echo "$module_pkg"; } | sort -u >"$work/tools.expected-depends"
expect_depends "$tools_pkg" "$work/tools.expected-depends"
grep -qx "$module_pkg (= $version)" "$work/$tools_pkg.depends" ||
    fail "$tools_pkg does not depend on $module_pkg $version exactly"

# The README names the same packages. Its list is written for Debian 12: library packages
# carry their sonames in their names, so another release has other names.
if [[ $(cut -d. -f1 /etc/debian_version 2>/dev/null) == 12 ]]; then
    for pkg in "$module_pkg" "$dev_pkg" "$tools_pkg"; do
        grep "^| \`$pkg\` |" "$here/../../README.md" | awk -F'|' '{print $5}' |
            grep -o '`[a-z0-9.+-]*`' | tr -d '`' | sort -u >"$work/$pkg.readme-depends"
        diff -u "$work/$pkg.readme-depends" "$work/$pkg.depends-names" >&2 ||
            fail "the README's dependencies of $pkg differ from its Depends (above)"
    done
fi

# The unpacked packages work from where they lie.
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
echo "unpacked packages: $out"
stop_camsim

# As root: the unpacked camhost run by an unprivileged user, as a user of the installed tools
# runs it, against the unpacked camsim. Moving the head works, and a preset added goes into
# the user's state folder ($XDG_STATE_HOME/camhost/), since the program's own folder belongs to
# root. Nothing is installed system-wide.
unprivileged_ptz() {
    local as_user home state log
    if [[ $(id -u) -ne 0 ]]; then
        echo "unprivileged camhost: skipped (not root)"
        return 0
    fi
    if command -v setpriv >/dev/null; then
        as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    elif command -v runuser >/dev/null; then
        as_user=(runuser -u nobody -g nogroup --)
    else
        echo "unprivileged camhost: skipped (neither setpriv nor runuser)"
        return 0
    fi
    # The user reaches the unpacked root through the test's folder, and owns its home.
    chmod 755 "$work"
    home=$work/nobody-home
    state=$home/state
    mkdir -p "$state"
    chown -R nobody:nogroup "$home"
    start_camsim "$root/usr/bin/camsim" VN-V686
    run_as_user() {
        log=$work/nobody-camhost.log
        timeout 60 "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$home" XDG_STATE_HOME="$state" \
            "$root/usr/bin/camhost" ptz --address 127.0.0.1 --port "$sim_port" --model VN-V686 \
            "$@" >"$log" 2>&1 || fail "camhost ptz $* as nobody: $(cat "$log")"
    }
    run_as_user move left --speed 8 --for 0.2
    run_as_user preset add Gate
    grep -lq Gate "$state"/camhost/* 2>/dev/null ||
        fail "the preset went elsewhere than $state/camhost/: $(cat "$log")"
    [[ $(stat -c %U "$(grep -l Gate "$state"/camhost/* | head -1)") == nobody ]] ||
        fail "the preset file is not the user's"
    stop_camsim
    echo "unprivileged camhost: move left and preset add in $state/camhost/"
}
unprivileged_ptz

echo "package test passed"
