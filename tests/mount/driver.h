// What host tools ask of a mount (cp, cat, ls, rm -r, an append, an
// overwrite), made straight on its operations in the order the kernel
// makes them through libfuse, without libfuse.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "mount.h"

namespace zvktest {

// Writes of at most this size, as the kernel hands them over.
inline constexpr std::size_t kToolWrite = 128 * 1024;

// Write data at off through the open handle fh, in pieces: 0 or -errno.
inline int tool_write(Mount& m, std::uint64_t fh, const std::vector<std::uint8_t>& data, off_t off = 0) {
  for (std::size_t done = 0; done < data.size();) {
    const std::size_t k = std::min(kToolWrite, data.size() - done);
    const int r = op_write(m, fh, reinterpret_cast<const char*>(data.data() + done), k, off + static_cast<off_t>(done));
    if (r < 0) return r;
    done += k;
  }
  return 0;
}

// Flush and release fh, the first failure kept: 0 or -errno.
inline int tool_close(Mount& m, std::uint64_t fh, int r = 0) {
  const int f = op_flush(m, fh);
  const int c = op_release(m, fh);
  return r != 0 ? r : f != 0 ? f : c;
}

// cp of a new file: create, write, close.
inline int tool_put(Mount& m, const std::string& path, const std::vector<std::uint8_t>& data) {
  std::uint64_t fh = 0;
  if (int r = op_create(m, path.c_str(), &fh)) return r;
  return tool_close(m, fh, tool_write(m, fh, data));
}

// cp over an existing file: opened with O_TRUNC, written from its start.
inline int tool_overwrite(Mount& m, const std::string& path, const std::vector<std::uint8_t>& data) {
  std::uint64_t fh = 0;
  if (int r = op_open(m, path.c_str(), O_WRONLY | O_TRUNC, &fh)) return r;
  return tool_close(m, fh, tool_write(m, fh, data));
}

// >> : written at the end the file has.
inline int tool_append(Mount& m, const std::string& path, const std::vector<std::uint8_t>& data) {
  struct stat st;
  if (int r = op_getattr(m, path.c_str(), &st)) return r;
  std::uint64_t fh = 0;
  if (int r = op_open(m, path.c_str(), O_WRONLY | O_APPEND, &fh)) return r;
  return tool_close(m, fh, tool_write(m, fh, data, st.st_size));
}

// cat: the whole file, or an empty vector on failure.
inline std::vector<std::uint8_t> tool_read(Mount& m, const std::string& path) {
  std::uint64_t fh = 0;
  if (op_open(m, path.c_str(), O_RDONLY, &fh) != 0) return {};
  std::vector<std::uint8_t> out;
  std::vector<char> buf(kToolWrite);
  for (int k; (k = op_read(m, fh, buf.data(), buf.size(), static_cast<off_t>(out.size()))) > 0;)
    out.insert(out.end(), buf.begin(), buf.begin() + k);
  op_release(m, fh);
  return out;
}

// ls: the names of a folder with their attributes, or the failure.
inline int tool_ls(Mount& m, const std::string& path, std::vector<std::pair<std::string, struct stat>>* out) {
  std::uint64_t fh = 0;
  if (int r = op_opendir(m, path.c_str(), &fh)) return r;
  const int r = op_readdir_names(m, fh, out);
  op_releasedir(m, fh);
  return r;
}

// rm -r: files and folders below path, then path itself.
inline int tool_rm_r(Mount& m, const std::string& path) {
  std::vector<std::pair<std::string, struct stat>> names;
  if (int r = tool_ls(m, path, &names)) return r;
  for (const auto& [name, st] : names) {
    const std::string p = path + "/" + name;
    if (int r = S_ISDIR(st.st_mode) ? tool_rm_r(m, p) : op_unlink(m, p.c_str())) return r;
  }
  return op_rmdir(m, path.c_str());
}

}  // namespace zvktest
