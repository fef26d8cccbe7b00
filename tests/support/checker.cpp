#include "checker.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>

namespace zvktest {
namespace {

constexpr int kMaxDepth = 64;

std::string fmt(const char* f, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, f, args...);
  return buf;
}

// State of one walk over a volume.
class Walker {
 public:
  Walker(const Image& img, const CheckOptions& opt)
      : img_(img), opt_(opt), total_(img.total()), ds_(img.data_start()) {}

  std::vector<std::string> run() {
    if (total_ <= 5) {
      problems_.push_back(fmt("TOTAL_BLK_NR %u leaves no room for a file system", total_));
      return problems_;
    }
    if (img_.block_count() < total_) {
      problems_.push_back(fmt("image holds %zu blocks but TOTAL_BLK_NR is %u",
                              img_.block_count(), total_));
    }
    check_fat_signatures();
    walk_dir(img_.root(), "/", 0);
    if (opt_.lost_blocks && !loop_found_) report_lost_blocks();
    std::uint32_t counted = img_.count_free();
    if (counted != img_.free_counter() && !opt_.stale_counter_ok) {
      problems_.push_back(fmt("free-block counter is %u but the FAT has %u free blocks",
                              img_.free_counter(), counted));
    }
    return problems_;
  }

 private:
  void check_fat_signatures() {
    if (!opt_.fat_signatures) return;
    std::uint64_t f = fat_block_count(total_);
    for (std::uint64_t k = 0; k < f; ++k) {
      std::uint32_t b = static_cast<std::uint32_t>(k + kFatFirstBlock);
      std::vector<std::uint8_t> blk = img_.block_copy(b);
      if (blk[510] != 'F' || blk[511] != 'B') {
        problems_.push_back(fmt("FAT block %u lacks the \"FB\" signature", b));
      }
    }
  }

  // Follows a chain from `first`, claiming its blocks for `who`.
  std::vector<std::uint32_t> walk_chain(std::uint32_t first, const std::string& who) {
    std::vector<std::uint32_t> chain;
    std::set<std::uint32_t> mine;
    std::uint32_t b = first;
    for (;;) {
      if (b < ds_ || b >= total_) {
        if (chain.empty()) {
          problems_.push_back(fmt("%s: first block %u is outside the data area", who.c_str(), b));
        } else {
          problems_.push_back(fmt("%s: chain leaves the data area after block %u (next %u)",
                                  who.c_str(), chain.back(), b));
        }
        break;
      }
      if (!mine.insert(b).second) {
        problems_.push_back(fmt("%s: chain loops back to block %u", who.c_str(), b));
        loop_found_ = true;
        break;
      }
      auto [it, fresh] = owner_.emplace(b, who);
      if (!fresh) {
        problems_.push_back(
            fmt("%s: block %u is also in the chain of %s", who.c_str(), b, it->second.c_str()));
        break;
      }
      chain.push_back(b);
      std::uint32_t next = img_.fat(b);
      if (next == kFatEof) break;
      if (next == kFatFree) {
        problems_.push_back(fmt("%s: block %u is in the chain but free in the FAT", who.c_str(), b));
        break;
      }
      if (next == kFatBad) {
        problems_.push_back(fmt("%s: block %u is in the chain but marked bad", who.c_str(), b));
        break;
      }
      b = next;
    }
    return chain;
  }

  void check_file(const Entry& e, const std::string& who) {
    if (e.first == 0) {
      problems_.push_back(who + ": first block is 0");
      return;
    }
    std::size_t length;
    auto seen = files_.find(e.first);
    if (seen != files_.end()) {
      if (!opt_.links_allowed) {
        problems_.push_back(who + ": shares its chain with " + seen->second.who);
      }
      length = seen->second.length;
    } else {
      std::vector<std::uint32_t> chain = walk_chain(e.first, who);
      length = chain.size();
      files_[e.first] = {who, length};
      std::size_t run = 0;
      while (run < chain.size() && chain[run] == e.first + run) ++run;
      if (e.cont == 0) {
        problems_.push_back(who + ": contiguous count is 0");
      } else if (e.cont > chain.size() || e.cont > run) {
        problems_.push_back(fmt("%s: contiguous count %u but the chain starts with %zu adjacent "
                                "blocks",
                                who.c_str(), e.cont, run));
      }
    }
    if (length != e.size) {
      problems_.push_back(
          fmt("%s: size field %u but the chain has %zu blocks", who.c_str(), e.size, length));
    }
  }

  void check_subdir(const Dir& d, int i, const Entry& e, const std::string& who, int depth) {
    Dir s = img_.subdir(d, i);
    Entry link = img_.entry(s, 0);
    // A directory entry made by ln: another entry of d, the one its parent
    // link names, holds the same directory.
    if (link.type == kTypeParent && link.cont != i && link.cont < kDirEntries) {
      Entry primary = img_.entry(d, link.cont);
      if (primary.type == kTypeSubdir && primary.first == e.first) {
        if (!opt_.links_allowed) problems_.push_back(who + ": links a directory");
        return;
      }
    }
    if (!dirs_.insert(e.first).second) {
      if (!opt_.moved_twice_ok || ++moved_twice_ > 1 || !link_names_copy(link, e)) {
        problems_.push_back(fmt("%s: directory at block %u is reached twice", who.c_str(), e.first));
      }
      return;
    }
    std::vector<std::uint32_t> chain = walk_chain(e.first, who);
    if (chain.size() != 2) {
      problems_.push_back(fmt("%s: directory chain has %zu blocks, not 2", who.c_str(), chain.size()));
      return;
    }
    if (chain[1] != chain[0] + 1) {
      problems_.push_back(fmt("%s: directory blocks %u and %u are not adjacent", who.c_str(),
                              chain[0], chain[1]));
    }
    if (e.cont != 2) {
      problems_.push_back(fmt("%s: directory contiguous count is %u, not 2", who.c_str(), e.cont));
    }
    s.b1 = chain[1];
    if (link.type != kTypeParent) {
      problems_.push_back(fmt("%s: entry 0 has type %u, not a parent link", who.c_str(), link.type));
    } else if (opt_.moved_twice_ok && (link.cont != i || link.first != d.b0) &&
               link_names_copy(link, e)) {
      // The other place of a move cut short; it is walked from there.
    } else {
      if (link.cont != i) {
        problems_.push_back(
            fmt("%s: parent link names entry %u, not %d", who.c_str(), link.cont, i));
      }
      if (link.first != d.b0) {
        problems_.push_back(
            fmt("%s: parent link names block %u, not %u", who.c_str(), link.first, d.b0));
      }
    }
    int used = 0;
    for (int k = 1; k < kDirEntries; ++k) used += img_.entry(s, k).type != 0;
    if (used != e.size && !(opt_.count_too_high_ok && e.size > used)) {
      problems_.push_back(
          fmt("%s: count is %u but the directory holds %d entries", who.c_str(), e.size, used));
    }
    if (depth + 1 >= kMaxDepth) {
      problems_.push_back(who + ": directory tree too deep");
      return;
    }
    walk_dir(s, who + "/", depth + 1);
  }

  // True when the parent link of the directory of entry e names a place
  // that holds an entry for that same directory.
  bool link_names_copy(const Entry& link, const Entry& e) const {
    if (link.type != kTypeParent || link.cont >= kDirEntries) return false;
    if (link.first < kRootBlock || link.first >= total_) return false;
    Dir p;
    p.b0 = link.first;
    p.b1 = link.first == kRootBlock ? kRootBlock + 1 : img_.fat(link.first);
    if (p.b1 < kRootBlock || p.b1 >= total_) return false;
    p.parent_b0 = link.first == kRootBlock ? 0 : 1;
    Entry other = img_.entry(p, link.cont);
    return other.type == kTypeSubdir && other.first == e.first;
  }

  void walk_dir(const Dir& d, const std::string& path, int depth) {
    std::vector<std::uint8_t> bytes = img_.dir_bytes(d);
    if (opt_.dir_signatures && (bytes[1022] != 'D' || bytes[1023] != 'R')) {
      problems_.push_back("directory " + path + " lacks the \"DR\" signature");
    }
    for (int i = 0; i < kDirEntries; ++i) {
      Entry e = img_.entry(d, i);
      if (e.type == 0) continue;
      std::string who = path + std::to_string(i);
      if (e.type == kTypeParent) {
        if (d.is_root() || i != 0) problems_.push_back(who + ": parent link out of place");
        continue;
      }
      if (i == 0 && !d.is_root()) {
        problems_.push_back(fmt("%s: type %u in the place of the parent link", who.c_str(), e.type));
      }
      if (e.type == kTypeSubdir) {
        check_subdir(d, i, e, who, depth);
      } else {
        check_file(e, who);
      }
    }
  }

  void report_lost_blocks() {
    std::uint64_t run_start = 0, run_len = 0;
    auto flush = [&] {
      if (run_len == 1) {
        problems_.push_back(fmt("block %llu is in use but belongs to no entry",
                                static_cast<unsigned long long>(run_start)));
      } else if (run_len > 1) {
        problems_.push_back(fmt("blocks %llu-%llu are in use but belong to no entry",
                                static_cast<unsigned long long>(run_start),
                                static_cast<unsigned long long>(run_start + run_len - 1)));
      }
      run_len = 0;
    };
    for (std::uint64_t b = ds_; b < total_; ++b) {
      std::uint32_t v = img_.fat(b);
      bool lost = v != kFatFree && v != kFatBad && !owner_.contains(static_cast<std::uint32_t>(b));
      if (lost && run_len > 0 && run_start + run_len == b) {
        ++run_len;
      } else if (lost) {
        flush();
        run_start = b;
        run_len = 1;
      }
    }
    flush();
  }

  struct Seen {
    std::string who;
    std::size_t length;
  };

  const Image& img_;
  CheckOptions opt_;
  std::uint32_t total_;
  std::uint64_t ds_;
  std::vector<std::string> problems_;
  std::map<std::uint32_t, std::string> owner_;
  std::map<std::uint32_t, Seen> files_;
  std::set<std::uint32_t> dirs_;
  bool loop_found_ = false;
  int moved_twice_ = 0;
};

}  // namespace

std::vector<std::string> check_volume(const Image& img, const CheckOptions& opt) {
  return Walker(img, opt).run();
}

std::vector<std::string> check_volume_file(const std::string& path, const CheckOptions& opt) {
  return check_volume(Image(read_file(path)), opt);
}

CheckOptions crash_residue() {
  CheckOptions o;
  o.lost_blocks = false;
  o.stale_counter_ok = true;
  o.count_too_high_ok = true;
  o.moved_twice_ok = true;
  return o;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

std::vector<std::string> diff_bytes(const std::vector<std::uint8_t>& expected,
                                    const std::vector<std::uint8_t>& actual, std::size_t limit) {
  std::vector<std::string> out;
  if (expected.size() != actual.size()) {
    out.push_back(fmt("length %zu, expected %zu", actual.size(), expected.size()));
  }
  std::size_t n = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < n && out.size() < limit; ++i) {
    if (expected[i] != actual[i]) {
      out.push_back(fmt("block %zu offset %zu: 0x%02x, expected 0x%02x", i / kBlockSize,
                        i % kBlockSize, actual[i], expected[i]));
    }
  }
  return out;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("can't write " + path);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace zvktest
