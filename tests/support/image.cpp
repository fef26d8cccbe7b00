#include "image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace zvktest {

std::uint64_t fat_block_count(std::uint32_t total) {
  return (std::uint64_t{total} - 1) / kFatEntriesPerBlock + 1;
}

std::uint64_t data_start(std::uint32_t total) {
  return (std::uint64_t{total} - 1) / kFatEntriesPerBlock + 6;
}

std::uint32_t get_be(const std::uint8_t* p, int width) {
  std::uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

void put_be(std::uint8_t* p, int width, std::uint32_t value) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<std::uint8_t>(value & 0xFF);
    value >>= 8;
  }
}

std::string padded_name(std::string_view text, std::size_t width, bool upper) {
  std::string s(text.substr(0, std::min(text.size(), width)));
  if (upper) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
  }
  s.resize(width, ' ');
  return s;
}

std::string describe(const Entry& e) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "{b0=%u type=%u name='%s' size=%u cont=%u first=%u b22=%u b23=%u b24=%u}",
                e.byte0, e.type, e.name.c_str(), e.size, e.cont, e.first, e.byte22, e.byte23,
                e.byte24);
  return buf;
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> v(length);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

Image Image::blank(std::uint32_t total, std::uint32_t image_blocks) {
  if (image_blocks == UINT32_MAX) image_blocks = std::max<std::uint32_t>(total, 3);
  Image img(std::vector<std::uint8_t>(std::size_t{image_blocks} * kBlockSize, 0));
  img.block(2);
  img.set_total(total);
  return img;
}

Image Image::formatted(std::uint32_t total, Geometry g, std::string_view label) {
  Image img = blank(total);
  img.set_geometry(g);
  img.set_bytes_per_block(512);
  img.set_label(label);
  img.set_signatures();
  std::uint64_t ds = zvktest::data_start(total);
  img.set_free_counter(total > ds ? static_cast<std::uint32_t>(total - ds) : 0);
  img.fat_signatures();
  img.dir_signature(img.root());
  return img;
}

Image Image::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("can't read image " + path);
  return Image(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

void Image::save(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()),
            static_cast<std::streamsize>(bytes_.size()));
  if (!out) throw std::runtime_error("can't write image " + path);
}

std::uint8_t* Image::block(std::uint32_t n) {
  std::size_t end = (std::size_t{n} + 1) * kBlockSize;
  if (bytes_.size() < end) bytes_.resize(end, 0);
  return bytes_.data() + std::size_t{n} * kBlockSize;
}

const std::uint8_t* Image::block(std::uint32_t n) const {
  if (!has_block(n)) return nullptr;
  return bytes_.data() + std::size_t{n} * kBlockSize;
}

std::vector<std::uint8_t> Image::block_copy(std::uint32_t n) const {
  std::vector<std::uint8_t> v(kBlockSize, 0);
  if (const std::uint8_t* p = block(n)) std::copy(p, p + kBlockSize, v.begin());
  return v;
}

std::uint32_t Image::get(std::size_t offset, int width) const {
  if (offset + static_cast<std::size_t>(width) > bytes_.size()) return 0;
  return get_be(bytes_.data() + offset, width);
}

Image& Image::put(std::size_t offset, int width, std::uint32_t value) {
  if (offset + static_cast<std::size_t>(width) > bytes_.size()) {
    bytes_.resize(offset + static_cast<std::size_t>(width), 0);
  }
  put_be(bytes_.data() + offset, width, value);
  return *this;
}

Image& Image::put_text(std::size_t offset, std::string_view text) {
  if (offset + text.size() > bytes_.size()) bytes_.resize(offset + text.size(), 0);
  std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return *this;
}

std::string Image::text(std::size_t offset, std::size_t length) const {
  std::string s;
  for (std::size_t i = 0; i < length && offset + i < bytes_.size(); ++i) {
    s.push_back(static_cast<char>(bytes_[offset + i]));
  }
  return s;
}

Image& Image::truncate_bytes(std::size_t length) {
  bytes_.resize(length);
  return *this;
}

Image& Image::set_total(std::uint32_t total) { return put(kBlockSize + devid::kTotal, 4, total); }

Image& Image::set_geometry(Geometry g) {
  put(kBlockSize + devid::kSectors, 2, g.sectors);
  put(kBlockSize + devid::kHeads, 2, g.heads);
  return put(kBlockSize + devid::kCylinders, 2, g.cylinders);
}

Image& Image::set_bytes_per_block(std::uint32_t n) {
  return put(kBlockSize + devid::kBytesPerBlock, 4, n);
}

Image& Image::set_device(std::uint8_t peripheral, std::uint8_t removable, std::uint8_t version,
                         std::uint8_t scsi) {
  put(kBlockSize + devid::kPeripheral, 1, peripheral);
  put(kBlockSize + devid::kRemovable, 1, removable);
  put(kBlockSize + devid::kVersion, 1, version);
  return put(kBlockSize + devid::kScsi, 1, scsi);
}

Image& Image::set_medium(std::uint8_t type, std::uint8_t density) {
  put(kBlockSize + devid::kMedium, 1, type);
  return put(kBlockSize + devid::kDensity, 1, density);
}

Image& Image::set_label(std::string_view label) {
  return put_text(kBlockSize + devid::kLabel, padded_name(label, devid::kLabelLen));
}

Image& Image::set_signatures() {
  put_text(kBlockSize + devid::kSignature, "OS");
  return put_text(2 * kBlockSize + osblk::kSignature, "ID");
}

Image& Image::set_free_counter(std::uint32_t n) { return put(2 * kBlockSize + osblk::kFree, 4, n); }

Image& Image::set_versions(std::uint8_t os_major, std::uint8_t os_minor, std::uint8_t rom_major,
                           std::uint8_t rom_minor) {
  put(2 * kBlockSize + osblk::kOsMajor, 1, os_major);
  put(2 * kBlockSize + osblk::kOsMinor, 1, os_minor);
  put(2 * kBlockSize + osblk::kRomMajor, 1, rom_major);
  return put(2 * kBlockSize + osblk::kRomMinor, 1, rom_minor);
}

std::uint32_t Image::count_free() const {
  std::uint32_t n = 0;
  for (std::uint64_t b = data_start(); b < total(); ++b) {
    std::uint64_t off = (b / kFatEntriesPerBlock + kFatFirstBlock) * kBlockSize +
                        (b % kFatEntriesPerBlock) * 3;
    if (off + 3 <= bytes_.size() && get_be(bytes_.data() + off, 3) == kFatFree) ++n;
  }
  return n;
}

std::uint32_t Image::fat(std::uint64_t block) const {
  std::uint64_t off = (block / kFatEntriesPerBlock + kFatFirstBlock) * kBlockSize +
                      (block % kFatEntriesPerBlock) * 3;
  if (off + 3 > bytes_.size()) return kFatBad;
  return get_be(bytes_.data() + off, 3);
}

Image& Image::set_fat(std::uint32_t block, std::uint32_t value) {
  std::uint64_t off = (std::uint64_t{block} / kFatEntriesPerBlock + kFatFirstBlock) * kBlockSize +
                      (block % kFatEntriesPerBlock) * 3;
  return put(static_cast<std::size_t>(off), 3, value);
}

Image& Image::fat_signatures() {
  std::uint64_t f = fat_block_count(total());
  for (std::uint64_t k = 0; k < f; ++k) {
    put_text(static_cast<std::size_t>((k + kFatFirstBlock) * kBlockSize + 510), "FB");
  }
  return *this;
}

Image& Image::link_chain(const std::vector<std::uint32_t>& chain) {
  std::uint32_t newly_used = 0;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (chain[i] >= data_start() && chain[i] < total() && fat(chain[i]) == kFatFree) ++newly_used;
    set_fat(chain[i], i + 1 < chain.size() ? chain[i + 1] : kFatEof);
  }
  return set_free_counter(free_counter() - newly_used);
}

std::vector<std::uint32_t> Image::free_blocks(std::uint32_t count, bool adjacent) const {
  std::vector<std::uint32_t> out;
  for (std::uint64_t b = data_start(); b < total() && out.size() < count; ++b) {
    if (fat(b) != kFatFree) {
      if (adjacent) out.clear();
      continue;
    }
    out.push_back(static_cast<std::uint32_t>(b));
  }
  if (out.size() < count) throw std::runtime_error("test image has too few free blocks");
  return out;
}

std::vector<std::uint8_t> Image::dir_bytes(const Dir& d) const {
  std::vector<std::uint8_t> v = block_copy(d.b0);
  std::vector<std::uint8_t> second = block_copy(d.b1);
  v.insert(v.end(), second.begin(), second.end());
  return v;
}

void Image::set_dir_bytes(const Dir& d, const std::vector<std::uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.begin() + kBlockSize, block(d.b0));
  std::copy(bytes.begin() + kBlockSize, bytes.begin() + kDirSize, block(d.b1));
}

Entry Image::entry(const Dir& d, int i) const {
  std::vector<std::uint8_t> dir = dir_bytes(d);
  const std::uint8_t* p = dir.data() + kEntrySize * static_cast<std::size_t>(i);
  Entry e;
  e.byte0 = p[0];
  e.type = p[1];
  e.name.assign(reinterpret_cast<const char*>(p + 2), 12);
  e.size = static_cast<std::uint16_t>(get_be(p + 14, 2));
  e.cont = static_cast<std::uint16_t>(get_be(p + 16, 2));
  e.first = get_be(p + 18, 4);
  e.byte22 = p[22];
  e.byte23 = p[23];
  e.byte24 = static_cast<std::uint16_t>(get_be(p + 24, 2));
  return e;
}

Image& Image::set_entry(const Dir& d, int i, const Entry& e) {
  std::vector<std::uint8_t> dir = dir_bytes(d);
  std::uint8_t* p = dir.data() + kEntrySize * static_cast<std::size_t>(i);
  p[0] = e.byte0;
  p[1] = e.type;
  std::string name = padded_name(e.name, 12, false);
  std::copy(name.begin(), name.end(), p + 2);
  put_be(p + 14, 2, e.size);
  put_be(p + 16, 2, e.cont);
  put_be(p + 18, 4, e.first);
  p[22] = e.byte22;
  p[23] = e.byte23;
  put_be(p + 24, 2, e.byte24);
  set_dir_bytes(d, dir);
  return *this;
}

Image& Image::set_entry_field(const Dir& d, int i, std::size_t offset, int width,
                              std::uint32_t v) {
  std::vector<std::uint8_t> dir = dir_bytes(d);
  put_be(dir.data() + kEntrySize * static_cast<std::size_t>(i) + offset, width, v);
  set_dir_bytes(d, dir);
  return *this;
}

Image& Image::dir_signature(const Dir& d) {
  std::vector<std::uint8_t> dir = dir_bytes(d);
  dir[1022] = 'D';
  dir[1023] = 'R';
  set_dir_bytes(d, dir);
  return *this;
}

std::uint16_t Image::dir_count(const Dir& d) const {
  if (d.is_root()) return 0;
  Dir parent;
  parent.b0 = d.parent_b0;
  parent.b1 = d.parent_b1;
  return entry(parent, d.slot).size;
}

Dir Image::subdir(const Dir& d, int i) const {
  Entry e = entry(d, i);
  Dir s;
  s.b0 = e.first;
  std::uint32_t next = fat(e.first);
  s.b1 = next >= 3 ? next : e.first + 1;
  s.name = e.name;
  s.slot = i;
  s.parent_b0 = d.b0;
  s.parent_b1 = d.b1;
  return s;
}

Image& Image::bump_count(const Dir& d, int delta) {
  if (d.is_root()) return *this;
  Dir parent;
  parent.b0 = d.parent_b0;
  parent.b1 = d.parent_b1;
  Entry e = entry(parent, d.slot);
  e.size = static_cast<std::uint16_t>(e.size + delta);
  return set_entry(parent, d.slot, e);
}

FileInfo Image::add_file(const Dir& d, int slot, std::string_view name, std::uint8_t type,
                         std::uint32_t blocks, std::uint32_t seed) {
  return add_file_on(d, slot, name, type, free_blocks(blocks), -1, -1, true, seed);
}

FileInfo Image::add_file_on(const Dir& d, int slot, std::string_view name, std::uint8_t type,
                            const std::vector<std::uint32_t>& chain, int size, int cont,
                            bool link, std::uint32_t seed) {
  FileInfo f;
  f.slot = slot;
  f.chain = chain;
  f.first = chain.empty() ? 0 : chain.front();
  if (cont < 0) {
    cont = chain.empty() ? 0 : 1;
    while (static_cast<std::size_t>(cont) < chain.size() &&
           chain[static_cast<std::size_t>(cont)] == chain.front() + static_cast<std::uint32_t>(cont)) {
      ++cont;
    }
  }
  if (size < 0) size = static_cast<int>(chain.size());
  if (link) link_chain(chain);
  f.data = pattern(chain.size() * kBlockSize, seed);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    std::copy(f.data.begin() + static_cast<std::ptrdiff_t>(i * kBlockSize),
              f.data.begin() + static_cast<std::ptrdiff_t>((i + 1) * kBlockSize), block(chain[i]));
  }
  Entry e;
  e.type = type;
  e.name = padded_name(name);
  e.size = static_cast<std::uint16_t>(size);
  e.cont = static_cast<std::uint16_t>(cont);
  e.first = f.first;
  set_entry(d, slot, e);
  bump_count(d);
  return f;
}

Dir Image::add_subdir(const Dir& d, int slot, std::string_view name, std::uint32_t b0) {
  std::vector<std::uint32_t> chain =
      b0 != 0 ? std::vector<std::uint32_t>{b0, b0 + 1} : free_blocks(2, true);
  link_chain(chain);
  Entry e;
  e.type = kTypeSubdir;
  e.name = padded_name(name);
  e.size = 0;
  e.cont = 2;
  e.first = chain[0];
  set_entry(d, slot, e);
  bump_count(d);

  Dir s;
  s.b0 = chain[0];
  s.b1 = chain[1];
  s.name = e.name;
  s.slot = slot;
  s.parent_b0 = d.b0;
  s.parent_b1 = d.b1;
  set_dir_bytes(s, std::vector<std::uint8_t>(kDirSize, 0));
  Entry link;
  link.type = kTypeParent;
  link.name = d.name;
  link.cont = static_cast<std::uint16_t>(slot);
  link.first = d.b0;
  set_entry(s, 0, link);
  dir_signature(s);
  return s;
}

std::vector<std::uint32_t> Image::follow(std::uint32_t first, std::size_t limit) const {
  std::vector<std::uint32_t> chain;
  std::set<std::uint32_t> seen;
  std::uint32_t b = first;
  while (chain.size() < limit && b >= 3 && b < total() && seen.insert(b).second) {
    chain.push_back(b);
    std::uint32_t next = fat(b);
    if (next == kFatEof || next < 3) break;
    b = next;
  }
  return chain;
}

std::vector<std::uint8_t> Image::chain_data(const std::vector<std::uint32_t>& chain) const {
  std::vector<std::uint8_t> out;
  for (std::uint32_t b : chain) {
    std::vector<std::uint8_t> blk = block_copy(b);
    out.insert(out.end(), blk.begin(), blk.end());
  }
  return out;
}

}  // namespace zvktest
