#include "zvk_fixture.h"

#include <sys/stat.h>

namespace zvktest {

RunResult ZvkCmd::zvk(const std::vector<std::string>& args, RunOptions opt) const {
  std::vector<std::string> argv{ZVK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  if (opt.cwd.empty()) opt.cwd = tmp.path();
  return run(argv, "", opt);
}

void ZvkCmd::make_volume(std::uint32_t total, const std::string& path) const {
  Image::formatted(total, {10, 2, 80}, "TEST").save(path.empty() ? img : path);
}

std::string ZvkCmd::host_file(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::string p = tmp.path();
  for (std::size_t i = 0; (i = name.find('/', i)) != std::string::npos; ++i)
    mkdir((tmp.path() + "/" + name.substr(0, i)).c_str(), 0755);
  write_file(tmp.file(name), bytes);
  return tmp.file(name);
}

void ZvkCmd::expect_clean(const std::string& path) const {
  EXPECT_EQ(join_lines(check_volume_file(path.empty() ? img : path)), "");
}

void ZvkCmd::expect_unchanged(const std::vector<std::uint8_t>& before, const std::string& path) const {
  EXPECT_TRUE(read_file(path.empty() ? img : path) == before) << "the image changed";
}

std::vector<std::uint8_t> whole_blocks(std::vector<std::uint8_t> data) {
  data.resize((data.size() + kBlockSize - 1) / kBlockSize * kBlockSize);
  return data;
}

}  // namespace zvktest
