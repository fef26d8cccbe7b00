#!/usr/bin/env bash
# Installs what building and testing need when it is missing (Debian and
# Ubuntu, as root); elsewhere it only says what is missing.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# zvkmount: libfuse 3 (found through pkg-config), fusermount3; its tests
# use rsync and setfattr/getfattr.
command -v pkg-config >/dev/null || need+=(pkg-config)
pkg-config --exists fuse3 2>/dev/null || need+=(libfuse3-dev)
command -v fusermount3 >/dev/null || need+=(fuse3)
command -v rsync >/dev/null || need+=(rsync)
command -v setfattr >/dev/null || need+=(attr)
# Archives (tar, gzip, zstd, zip) for export and import: libarchive; the
# zstd command for checking archives by hand and in tests.
pkg-config --exists libarchive 2>/dev/null || need+=(libarchive-dev)
command -v zstd >/dev/null || need+=(zstd)
# Sound files of every format converted to instruments (zvk_audio; the
# build goes on without it).
pkg-config --exists sndfile 2>/dev/null || need+=(libsndfile1-dev)
# zvk serve: an HTTP server and JSON (the build goes on without them).
[ -e /usr/include/httplib.h ] || need+=(libcpp-httplib-dev)
[ -e /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# Line editing in zvkfm at a terminal (the build goes on without it).
[ -e /usr/include/histedit.h ] || need+=(libedit-dev)
if [ "${ZVK_DEPS_EXTRA:-}" = 1 ]; then
    # Extra tools for CI: clang with libFuzzer, man page lint, benchmark baselines.
    command -v clang++ >/dev/null || need+=(clang)
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        need+=(libclang-rt-dev)
    command -v mandoc >/dev/null || need+=(mandoc)
    command -v python3 >/dev/null || need+=(python3)
    # The Debian package (dpkg-shlibdeps needs file) and the sox recipe test.
    command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
    command -v file >/dev/null || need+=(file)
    command -v sox >/dev/null || need+=(sox)
    # The browser tests of zvk serve (label browser): headless Chromium
    # driven from Debian's Python through Selenium.
    [ -x /usr/bin/chromium ] || need+=(chromium)
    [ -x /usr/bin/chromedriver ] || need+=(chromium-driver)
    /usr/bin/python3 -c 'import selenium' 2>/dev/null || need+=(python3-selenium)
fi
# The read-only device test attaches a read-only loop device (it is skipped
# without losetup).
command -v losetup >/dev/null || [ "$(id -u)" != 0 ] || need+=(mount)

[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${need[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq "${need[@]}" >/dev/null
else
    echo "missing: ${need[*]} (install them, then run this again)" >&2
    exit 1
fi
