// Whole-volume consistency checker: walks the root and every subdirectory
// tree (bounded and loop-safe) and reports each broken invariant as one
// readable line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image.h"

namespace zvktest {

struct CheckOptions {
  bool fat_signatures = true;  // "FB" at the end of every FAT block
  bool dir_signatures = true;  // "DR" at the end of every directory
  bool links_allowed = true;   // several entries may name one chain (ln)
  bool lost_blocks = true;     // used FAT entries that belong to no entry
  // What an interrupted session may leave, accepted when set: a free-block
  // counter that differs from the FAT, a subdirectory count above the
  // entries it holds, and one directory reached from two directories with
  // its parent link naming one of them (a move cut short).
  bool stale_counter_ok = false;
  bool count_too_high_ok = false;
  bool moved_twice_ok = false;
};

// The options that accept exactly what a crash may leave: the three above
// and blocks in use that no entry reaches.
CheckOptions crash_residue();

// Every problem found; empty for a consistent volume.
std::vector<std::string> check_volume(const Image& img, const CheckOptions& opt = {});
std::vector<std::string> check_volume_file(const std::string& path, const CheckOptions& opt = {});

// One line per problem, for test failure messages.
std::string join_lines(const std::vector<std::string>& lines);

// The first differences between two images, block and offset named
// (at most `limit` lines); empty when they are equal.
std::vector<std::string> diff_bytes(const std::vector<std::uint8_t>& expected,
                                    const std::vector<std::uint8_t>& actual,
                                    std::size_t limit = 8);

// Reads a whole file (empty vector when it cannot be read).
std::vector<std::uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
void write_file(const std::string& path, const std::string& text);

}  // namespace zvktest
