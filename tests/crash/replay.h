// Support of the crash and fault tests: runs of the fault build of zvkfm
// with a fault plan, its write log, power-cut states built from the log, and
// a check that every file on a volume holds data that was written for it.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "image.h"
#include "runner.h"

namespace zvktest {

// The fault plan of one run (0: not used); see volume/platform.h.
struct Faults {
  unsigned long kill = 0;
  unsigned long fail = 0;
  unsigned long fail_count = 1;
  unsigned long short_write = 0;
  std::string log;  // path of the write log, empty for none
};

// Runs the fault build of zvkfm on image with script and the plan.
RunResult run_faulty(const std::string& image, const std::string& script, const Faults& f,
                     const std::string& cwd);
// Runs argv (a fault build of any program) with input and the plan.
RunResult run_with_faults(const std::vector<std::string>& argv, const std::string& input, const Faults& f,
                          const std::string& cwd = "");

// One record of the log: a write (offset, bytes) or a barrier.
struct LogRecord {
  bool barrier = false;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> data;
};
std::vector<LogRecord> read_log(const std::string& path);

// Number of the first write (from 1) that touches block, or 0.
unsigned long first_write_to(const std::vector<LogRecord>& log, std::uint64_t block,
                             unsigned long after = 0);

// A power cut: every write before a randomly chosen barrier has landed, of
// the writes after it (up to the next barrier) any subset of 512-byte
// sectors, applied in order.
std::vector<std::uint8_t> power_cut(std::vector<std::uint8_t> base,
                                    const std::vector<LogRecord>& log, std::mt19937& rng);
// All writes of the log applied.
std::vector<std::uint8_t> replay_all(std::vector<std::uint8_t> base, const std::vector<LogRecord>& log);

// Problems of files whose data is none of the contents written (padded to
// whole blocks), walking every directory reachable from the root.
std::vector<std::string> check_file_data(const Image& img,
                                         const std::set<std::vector<std::uint8_t>>& contents);

}  // namespace zvktest
