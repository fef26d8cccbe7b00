// The commands that change directory entries without touching file data.
// Entry numbers arrive unsigned: a negative number typed by the user is a
// value above 38 here.
#pragma once

#include <cstdint>

#include "fs.h"

int cmd_rm(Fs& fs, std::uint32_t n);
int cmd_rmdir(Fs& fs, std::uint32_t n);
int cmd_mkdir(Fs& fs, const char* name);
int cmd_chname(Fs& fs, const char* name, std::uint32_t n);
int cmd_chtype(Fs& fs, std::uint8_t type, std::uint32_t n);
int cmd_ln(Fs& fs, std::uint32_t n);
int cmd_mv(Fs& fs, std::uint32_t s, std::uint32_t d);
