// Volume images for the tests, written and read byte by byte.
//
// This is a second, independent description of the volume layout: it does
// not use the program's own headers, so the tests check the program against
// the format rather than against itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zvktest {

inline constexpr std::uint32_t kBlockSize = 512;
inline constexpr std::uint32_t kRootBlock = 3;  // root: blocks 3 and 4
inline constexpr std::uint32_t kFatFirstBlock = 5;
inline constexpr std::uint32_t kFatEntriesPerBlock = 170;
inline constexpr int kDirEntries = 39;
inline constexpr std::size_t kEntrySize = 26;
inline constexpr std::size_t kDirSize = 1024;

inline constexpr std::uint32_t kFatFree = 0;
inline constexpr std::uint32_t kFatEof = 1;
inline constexpr std::uint32_t kFatBad = 2;

inline constexpr std::uint8_t kTypeSubdir = 2;
inline constexpr std::uint8_t kTypeParent = 8;
inline constexpr std::uint8_t kTypeOs = 32;

// Byte offsets of the header fields.
namespace devid {
inline constexpr std::size_t kPeripheral = 0, kRemovable = 1, kVersion = 2, kScsi = 3;
inline constexpr std::size_t kSectors = 4, kHeads = 6, kCylinders = 8;  // BE16
inline constexpr std::size_t kBytesPerBlock = 10, kTotal = 14;          // BE32
inline constexpr std::size_t kMedium = 18, kDensity = 19;
inline constexpr std::size_t kLabel = 31, kLabelLen = 7, kSignature = 38;  // "OS"
}  // namespace devid
namespace osblk {
inline constexpr std::size_t kFree = 0;  // BE32
inline constexpr std::size_t kOsMajor = 4, kOsMinor = 5, kRomMajor = 6, kRomMinor = 7;
inline constexpr std::size_t kSignature = 28;  // "ID"
}  // namespace osblk

// Number of FAT blocks and first data block for a total block count
// (unsigned 64-bit arithmetic, as the volume defines it).
std::uint64_t fat_block_count(std::uint32_t total);
std::uint64_t data_start(std::uint32_t total);

// Big-endian helpers on a byte buffer.
std::uint32_t get_be(const std::uint8_t* p, int width);
void put_be(std::uint8_t* p, int width, std::uint32_t value);

// A name padded with spaces (or cut) to width, upper-cased a-z only.
std::string padded_name(std::string_view text, std::size_t width = 12, bool upper = true);

// One 26-byte directory entry, field by field.
struct Entry {
  std::uint8_t byte0 = 0;
  std::uint8_t type = 0;
  std::string name;  // written padded with spaces to 12 bytes, as given
  std::uint16_t size = 0;
  std::uint16_t cont = 0;
  std::uint32_t first = 0;
  std::uint8_t byte22 = 0;
  std::uint8_t byte23 = 0;
  std::uint16_t byte24 = 0;

  bool operator==(const Entry&) const = default;
};
std::string describe(const Entry& e);

// Where a directory lives: its two blocks, its name as the path holds it,
// and its place in its parent (the root has none).
struct Dir {
  std::uint32_t b0 = kRootBlock;
  std::uint32_t b1 = kRootBlock + 1;
  std::string name = "ROOT        ";
  int slot = 0;                 // own entry number in the parent
  std::uint32_t parent_b0 = 0;  // 0: this is the root
  std::uint32_t parent_b1 = 0;
  bool is_root() const { return parent_b0 == 0; }
};

struct Geometry {
  std::uint16_t sectors = 0;
  std::uint16_t heads = 0;
  std::uint16_t cylinders = 0;
};

struct FileInfo {
  int slot = -1;
  std::uint32_t first = 0;
  std::vector<std::uint32_t> chain;
  std::vector<std::uint8_t> data;  // the whole blocks as written
};

// Deterministic content for test files.
std::vector<std::uint8_t> pattern(std::size_t length, std::uint32_t seed);

class Image {
 public:
  Image() = default;
  explicit Image(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  // An all-zero image of image_blocks blocks (default: total, at least the
  // three header blocks) whose block 1 says TOTAL_BLK_NR = total.
  static Image blank(std::uint32_t total, std::uint32_t image_blocks = UINT32_MAX);
  // A volume exactly as the label dialogue and newfs leave an all-zero image:
  // geometry, 512 bytes per block, total, label and signatures, the free
  // counter for an empty data area, FAT blocks 5..F+4 zero with "FB", an
  // empty root with "DR". Nothing else is set.
  static Image formatted(std::uint32_t total, Geometry g = {}, std::string_view label = "");
  static Image load(const std::string& path);
  void save(const std::string& path) const;

  // Raw access.
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t block_count() const { return bytes_.size() / kBlockSize; }
  bool has_block(std::uint64_t n) const { return (n + 1) * kBlockSize <= bytes_.size(); }
  std::uint8_t* block(std::uint32_t n);  // grows the image when needed
  const std::uint8_t* block(std::uint32_t n) const;  // nullptr beyond the image
  std::vector<std::uint8_t> block_copy(std::uint32_t n) const;  // zeros beyond the image
  std::uint32_t get(std::size_t offset, int width) const;
  Image& put(std::size_t offset, int width, std::uint32_t value);
  Image& put_text(std::size_t offset, std::string_view text);
  std::string text(std::size_t offset, std::size_t length) const;
  Image& truncate_bytes(std::size_t length);

  // Header blocks.
  std::uint32_t total() const { return get(kBlockSize + devid::kTotal, 4); }
  Image& set_total(std::uint32_t total);
  Image& set_geometry(Geometry g);
  Image& set_bytes_per_block(std::uint32_t n);
  Image& set_device(std::uint8_t peripheral, std::uint8_t removable, std::uint8_t version,
                    std::uint8_t scsi);
  Image& set_medium(std::uint8_t type, std::uint8_t density);
  Image& set_label(std::string_view label);  // upper-cased, padded to 7
  std::string label() const { return text(kBlockSize + devid::kLabel, devid::kLabelLen); }
  Image& set_signatures();                   // "OS" in block 1, "ID" in block 2
  std::uint32_t free_counter() const { return get(2 * kBlockSize + osblk::kFree, 4); }
  Image& set_free_counter(std::uint32_t n);
  Image& set_versions(std::uint8_t os_major, std::uint8_t os_minor, std::uint8_t rom_major,
                      std::uint8_t rom_minor);
  std::uint64_t data_start() const { return zvktest::data_start(total()); }
  // Free FAT entries from data_start to total - 1 (entries beyond the image
  // count as not free).
  std::uint32_t count_free() const;
  Image& sync_free_counter() { return set_free_counter(count_free()); }

  // FAT. Entries beyond the image read as bad.
  std::uint32_t fat(std::uint64_t block) const;
  Image& set_fat(std::uint32_t block, std::uint32_t value);
  Image& fat_signatures();  // "FB" at 510-511 of FAT blocks 5..F+4
  // Links the chain in the FAT (each block to the next, the last to EOF)
  // and lowers the free counter by the number of blocks that were free.
  Image& link_chain(const std::vector<std::uint32_t>& chain);
  // The lowest `count` free data blocks that are not yet used, ascending;
  // with adjacent set, the first run of `count` consecutive free blocks.
  std::vector<std::uint32_t> free_blocks(std::uint32_t count, bool adjacent = false) const;

  // Directories.
  Dir root() const { return Dir{}; }
  std::vector<std::uint8_t> dir_bytes(const Dir& d) const;
  void set_dir_bytes(const Dir& d, const std::vector<std::uint8_t>& bytes);
  Entry entry(const Dir& d, int i) const;
  Image& set_entry(const Dir& d, int i, const Entry& e);
  Image& set_entry_field(const Dir& d, int i, std::size_t offset, int width, std::uint32_t v);
  Image& dir_signature(const Dir& d);  // "DR" at 1022-1023
  // Size field of the entry of d in its parent (its file count).
  std::uint16_t dir_count(const Dir& d) const;
  // The directory named by entry i of d (its first block and, when the
  // chain allows, its second).
  Dir subdir(const Dir& d, int i) const;

  // High-level building. Each places an entry in slot `slot` of d, links
  // a fresh chain, writes the content and, in a subdirectory, raises the
  // count of d in its parent.
  FileInfo add_file(const Dir& d, int slot, std::string_view name, std::uint8_t type,
                    std::uint32_t blocks, std::uint32_t seed = 1);
  // A file on a given chain; size and cont default to the chain's length
  // and leading run. The chain is linked unless link is false.
  FileInfo add_file_on(const Dir& d, int slot, std::string_view name, std::uint8_t type,
                       const std::vector<std::uint32_t>& chain, int size = -1, int cont = -1,
                       bool link = true, std::uint32_t seed = 1);
  // A two-block subdirectory with its parent link (first block b0, or the
  // first two adjacent free blocks).
  Dir add_subdir(const Dir& d, int slot, std::string_view name, std::uint32_t b0 = 0);
  // Adds one to the count of d in its parent (nothing for the root).
  Image& bump_count(const Dir& d, int delta = 1);

  // Reads up to `limit` blocks of a chain as the volume defines it; stops at
  // the end mark, a free or bad block, a block beyond the total, or a loop.
  std::vector<std::uint32_t> follow(std::uint32_t first, std::size_t limit = SIZE_MAX) const;
  std::vector<std::uint8_t> chain_data(const std::vector<std::uint32_t>& chain) const;

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace zvktest
