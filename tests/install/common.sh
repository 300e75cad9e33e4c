# Helpers shared by the installation tests (sourced).

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# start_camsim PROGRAM [PROFILE]: starts the camera simulator program (as PROFILE, default
# VN-X235) on a free loopback port and reads its first two lines; sets sim_pid, sim_port and
# sim_data_dir. stop_camsim ends it.
start_camsim() {
    local program=$1 profile=${2:-VN-X235} line
    mkfifo "$work/camsim.out"
    # No authentication: these tests are about the installed files, and the tiny host gives
    # no credentials.
    env -u CAMSIM_DATA_DIR "$program" --port 0 --profile "$profile" --auth none \
        >"$work/camsim.out" 2>&1 &
    sim_pid=$!
    exec 3<"$work/camsim.out"
    read -r -t 20 -u 3 line || fail "camsim did not start"
    [[ $line =~ listening\ on\ http://127\.0\.0\.1:([0-9]+) ]] || fail "camsim said: $line"
    sim_port=${BASH_REMATCH[1]}
    read -r -t 20 -u 3 line || fail "camsim did not name its MPEG-4 folder"
    [[ $line =~ MPEG-4\ streams\ from\ (.*)$ ]] || fail "camsim said: $line"
    sim_data_dir=${BASH_REMATCH[1]}
}

stop_camsim() {
    if [[ -n ${sim_pid:-} ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
        exec 3<&-
        rm -f "$work/camsim.out"
    fi
}

cleanup() {
    stop_camsim
    rm -rf "$work"
}

# expect_loaded_from LOG FILE_NAME FOLDER: the loader's LD_DEBUG=files log shows FILE_NAME
# loaded from FOLDER.
expect_loaded_from() {
    local log=$1 name=$2 folder=$3
    grep -q "file=$folder/$name \[0\];  dynamically loaded" "$log" ||
        fail "$name was not loaded from $folder: $(grep "file=.*$name" "$log" | head -3)"
}

# expect_frame OUTPUT FOURCC: tiny_host printed a frame of that kind with a picture size.
expect_frame() {
    [[ $1 =~ ^frame\ $2\ [1-9][0-9]*x[1-9][0-9]*\ [1-9][0-9]*$ ]] || fail "tiny_host printed: $1"
}

# build_pkgconfig_host PC_FOLDER OUTPUT: builds the tiny host with only what pkg-config says.
build_pkgconfig_host() {
    local pc_dir=$1 output=$2 cflags libs module
    cflags=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags jvc_ipcapture)
    libs=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --libs jvc_ipcapture)
    module=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --variable=module jvc_ipcapture)
    # shellcheck disable=SC2086
    "$cxx" -std=c++17 -O1 $cflags -DTINY_HOST_MODULE="\"$module\"" "$tiny_source/tiny_host.cpp" \
        -o "$output" $libs -pthread || fail "the pkg-config host did not build"
    echo "$module"
}
