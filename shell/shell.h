// zvkfm's command shell: the command loop and the handlers of the
// listing, transfer and initialization commands.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "entry.h"
#include "fs.h"

// Numbers typed in commands and answers convert like atoi: anything but a
// number is 0.
inline int command_number(const char* s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }

// Run zvkfm with its command line on the console streams; the process exit
// status (0, 255, or 128 + the signal that ended the session).
int zvkfm_main(int argc, char** argv);

// Let SIGINT, SIGTERM and SIGHUP end the session at its next safe point
// (waiting for input, or after the running command), and ignore SIGPIPE.
void zvkfm_install_signals();

// Ask question and read one character; true only for 'y'. The rest of the
// answer's line is read and dropped.
bool confirm(const char* question);

// Name of row i of the command table (aliases are rows of their own);
// nullptr past the last row.
const char* command_name(int i);

// What Tab completes for each argument of the named command, one letter per
// argument word: 'n' an entry number of the working directory, 'h' a host
// file name, '-' nothing; nullptr for an unknown name.
const char* command_arg_kinds(const char* name);

// Listings and checks of the volume.
void cmd_ls(Fs& fs);
void cmd_types();
void cmd_fatlist(Fs& fs, std::uint32_t n);
void cmd_label(Fs& fs);
void cmd_df(Fs& fs, bool correct);

// Transfer between host and volume.
void import_host_file(Fs& fs, const char* host_path, const char* volume_name, std::uint8_t type, bool os);
// New files whose content fill writes before their entry is stored (none
// when fill is empty): the entry number, -13 when fill failed, or negative.
int create_typed_file(Fs& fs, const char* name, std::uint8_t type, std::uint64_t blocks, const ChainFill& fill = {});
int create_os_file(Fs& fs, const char* name, std::uint64_t blocks, const ChainFill& fill = {});
int dir_find_free_from(const Fs& fs, std::uint32_t n);
void cmd_cp(Fs& fs, int n, const char* name);
void cmd_get(Fs& fs, int n, const char* host_path);

// Initialization.
void cmd_chlabel(Fs& fs, const char* label);
void cmd_newfs(Fs& fs);
int label_write(Fs& fs);
int fs_create(Fs& fs);
