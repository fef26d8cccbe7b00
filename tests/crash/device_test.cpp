// A device the kernel reports read-only (a write-protected card; here a
// read-only loop device) opens for writing but refuses every write: zvkfm
// asks the kernel and uses it read-only from the start.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "checker.h"
#include "image.h"
#include "runner.h"

namespace zvktest {
namespace {

// Output of a shell command, or empty when it failed.
std::string shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  if (pclose(p) != 0) return "";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(Device, WriteProtectedDeviceOpensReadOnly) {
  TempDir tmp;
  const std::string path = tmp.file("vol.img");
  Image img = Image::formatted(1600, {10, 2, 80}, "ro");
  img.add_file(img.root(), 1, "F1", 3, 2, 1);
  img.save(path);
  const std::string dev = shell("losetup -r -f --show " + path);
  if (dev.empty()) GTEST_SKIP() << "losetup is missing or cannot attach a read-only loop device here";
  RunResult r = run({ZVKFM_PATH, dev}, "mkdir X\nrm 1\nexit\n");
  shell("losetup -d " + dev);
  EXPECT_TRUE(r.exited(0)) << describe(r);
  const std::string banner =
      "\n*************************************\n*                                   *\n"
      "*  Zorvek File Manager              *\n*  Rev. 1.0                         *\n"
      "*                                   *\n*************************************\n\n"
      "try \"help\" for infos\n\n";
  EXPECT_EQ(r.err, banner + "open file `" + dev + "' readonly.\n" +
                       "zvk > error: device readonly.\nerror: can't create directory.\n"
                       "zvk > error: device readonly.\n"
                       "zvk > error: can't write FAT, device readonly.\n");
  EXPECT_TRUE(read_file(path) == img.bytes());
}

}  // namespace
}  // namespace zvktest
