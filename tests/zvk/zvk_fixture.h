// The fixture of the zvk tests: a temporary folder, volume images made by
// the test support (not by the program), the zvk program run with
// arguments, and the volume checker after every change.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checker.h"
#include "image.h"
#include "runner.h"

namespace zvktest {

class ZvkCmd : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string img = tmp.file("vol.img");

  // zvk with these arguments, in the temporary folder.
  RunResult zvk(const std::vector<std::string>& args, RunOptions opt = {}) const;
  // A fresh volume of total blocks at path (default: img).
  void make_volume(std::uint32_t total = 1600, const std::string& path = "") const;
  // A host file of bytes under the temporary folder (folders made).
  std::string host_file(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
  // The checker finds nothing on the image.
  void expect_clean(const std::string& path = "") const;
  // The image is byte for byte as before.
  void expect_unchanged(const std::vector<std::uint8_t>& before, const std::string& path = "") const;
};

// Whole blocks: data padded with zeros to a multiple of 512.
std::vector<std::uint8_t> whole_blocks(std::vector<std::uint8_t> data);

#define EXPECT_STATUS(r, code) EXPECT_TRUE((r).exited(code)) << describe(r)

}  // namespace zvktest
