#include "replay.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#ifndef ZVKFM_FAULTS_PATH
#error "ZVKFM_FAULTS_PATH must name the fault build of zvkfm"
#endif

namespace zvktest {
namespace {

void set_env(const char* name, unsigned long v) {
  if (v == 0) {
    unsetenv(name);
  } else {
    setenv(name, std::to_string(v).c_str(), 1);
  }
}

std::uint64_t le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void write_at(std::vector<std::uint8_t>& img, std::uint64_t off, const std::uint8_t* p, std::size_t n) {
  if (img.size() < off + n) img.resize(off + n);
  std::copy(p, p + n, img.begin() + static_cast<std::ptrdiff_t>(off));
}

}  // namespace

RunResult run_faulty(const std::string& image, const std::string& script, const Faults& f,
                     const std::string& cwd) {
  return run_with_faults({ZVKFM_FAULTS_PATH, image}, script, f, cwd);
}

RunResult run_with_faults(const std::vector<std::string>& argv, const std::string& input, const Faults& f,
                          const std::string& cwd) {
  set_env("ZVK_FAULT_KILL", f.kill);
  set_env("ZVK_FAULT_SHORT", f.short_write);
  if (f.fail) {
    setenv("ZVK_FAULT_FAIL", (std::to_string(f.fail) + ":" + std::to_string(f.fail_count)).c_str(), 1);
  } else {
    unsetenv("ZVK_FAULT_FAIL");
  }
  if (f.log.empty()) {
    unsetenv("ZVK_FAULT_LOG");
  } else {
    setenv("ZVK_FAULT_LOG", f.log.c_str(), 1);
  }
  RunOptions opt;
  opt.cwd = cwd;
  RunResult r = run(argv, input, opt);
  for (const char* n : {"ZVK_FAULT_KILL", "ZVK_FAULT_SHORT", "ZVK_FAULT_FAIL", "ZVK_FAULT_LOG"}) unsetenv(n);
  return r;
}

std::vector<LogRecord> read_log(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> b(std::istreambuf_iterator<char>(in), {});
  std::vector<LogRecord> log;
  std::size_t i = 0;
  while (i + 17 <= b.size()) {
    LogRecord r;
    r.barrier = b[i] == 'B';
    r.offset = le64(&b[i + 1]);
    const std::uint64_t len = le64(&b[i + 9]);
    i += 17;
    if (len > b.size() - i) break;
    r.data.assign(b.begin() + static_cast<std::ptrdiff_t>(i), b.begin() + static_cast<std::ptrdiff_t>(i + len));
    i += len;
    log.push_back(std::move(r));
  }
  return log;
}

unsigned long first_write_to(const std::vector<LogRecord>& log, std::uint64_t block, unsigned long after) {
  unsigned long n = 0;
  for (const LogRecord& r : log) {
    if (r.barrier) continue;
    ++n;
    const std::uint64_t first = r.offset / kBlockSize;
    const std::uint64_t last = (r.offset + r.data.size() - 1) / kBlockSize;
    if (n > after && block >= first && block <= last) return n;
  }
  return 0;
}

std::vector<std::uint8_t> power_cut(std::vector<std::uint8_t> base, const std::vector<LogRecord>& log,
                                    std::mt19937& rng) {
  std::vector<std::size_t> barriers{0};
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i].barrier) barriers.push_back(i + 1);
  const std::size_t from = barriers[std::uniform_int_distribution<std::size_t>(0, barriers.size() - 1)(rng)];
  for (std::size_t i = 0; i < from; ++i)
    if (!log[i].barrier) write_at(base, log[i].offset, log[i].data.data(), log[i].data.size());
  std::bernoulli_distribution lands(0.5);
  for (std::size_t i = from; i < log.size() && !log[i].barrier; ++i) {
    const LogRecord& r = log[i];
    for (std::size_t s = 0; s < r.data.size(); s += kBlockSize) {
      if (lands(rng)) write_at(base, r.offset + s, r.data.data() + s, std::min<std::size_t>(kBlockSize, r.data.size() - s));
    }
  }
  return base;
}

std::vector<std::uint8_t> replay_all(std::vector<std::uint8_t> base, const std::vector<LogRecord>& log) {
  for (const LogRecord& r : log)
    if (!r.barrier) write_at(base, r.offset, r.data.data(), r.data.size());
  return base;
}

namespace {

void data_walk(const Image& img, const Dir& d, const std::string& path, int depth,
               const std::set<std::vector<std::uint8_t>>& contents, std::set<std::uint32_t>& seen,
               std::vector<std::string>& problems) {
  if (depth > 16 || !seen.insert(d.b0).second) return;
  for (int i = 0; i < kDirEntries; ++i) {
    Entry e = img.entry(d, i);
    if (e.type == 0 || e.type == kTypeParent) continue;
    if (e.type == kTypeSubdir) {
      data_walk(img, img.subdir(d, i), path + std::to_string(i) + "/", depth + 1, contents, seen, problems);
      continue;
    }
    std::vector<std::uint32_t> chain = img.follow(e.first, e.size);
    if (!contents.contains(img.chain_data(chain))) problems.push_back(path + std::to_string(i) + ": data never written for it");
  }
}

}  // namespace

std::vector<std::string> check_file_data(const Image& img, const std::set<std::vector<std::uint8_t>>& contents) {
  std::vector<std::string> problems;
  std::set<std::uint32_t> seen;
  data_walk(img, img.root(), "/", 0, contents, seen, problems);
  return problems;
}

}  // namespace zvktest
