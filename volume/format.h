// On-disk format of a Zorvek volume: block map, header blocks, FAT,
// directories, directory entries and the file-type table.
//
// Header blocks and directories are kept as raw byte images in volume byte
// order (big-endian) and their fields are converted on access, so bytes the
// system does not interpret survive a read-modify-write unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t BLOCK_SIZE = 512;
constexpr std::uint64_t ROOT_DIR_BLOCK = 3;  // root directory: blocks 3 and 4
constexpr std::uint64_t FAT_FIRST_BLOCK = 5;  // FAT block k is disk block k + 5
constexpr std::uint64_t FAT_ENTRIES_PER_BLOCK = 170;
constexpr std::size_t FAT_ENTRY_SIZE = 3;
constexpr std::size_t DIR_ENTRIES = 39;  // entry numbers 0-38
constexpr std::size_t DIR_ENTRY_SIZE = 26;
constexpr std::size_t DIR_SIZE = 1024;  // two blocks
constexpr std::size_t NAME_LEN = 12;
constexpr std::size_t LABEL_LEN = 7;
constexpr std::uint32_t MAX_ENTRY_NR = 38;
constexpr std::uint64_t MAX_FILE_BLOCKS = 0xFFFF;  // 16-bit size field

// FAT entry values; 3 and above name the next block of the chain.
constexpr std::uint32_t FAT_FREE = 0;
constexpr std::uint32_t FAT_EOF = 1;
constexpr std::uint32_t FAT_BAD = 2;

// Type codes with a meaning of their own; every other non-zero code is an
// ordinary file type.
constexpr std::uint8_t TYPE_EMPTY = 0;
constexpr std::uint8_t TYPE_SUBDIR = 2;
constexpr std::uint8_t TYPE_PARENT = 8;
constexpr std::uint8_t TYPE_OS = 32;

using Block = std::array<std::uint8_t, BLOCK_SIZE>;
using DirImage = std::array<std::uint8_t, DIR_SIZE>;

// DeviceIdBlock (block 1) field offsets.
namespace devid {
constexpr std::size_t PERIPHERAL_TYPE = 0;   // u8
constexpr std::size_t REMOVABLE_TYPE = 1;    // u8
constexpr std::size_t STANDARD_VERSION = 2;  // u8
constexpr std::size_t SCSI = 3;              // u8
constexpr std::size_t SECTORS = 4;           // BE16
constexpr std::size_t HEADS = 6;             // BE16
constexpr std::size_t CYLINDERS = 8;         // BE16
constexpr std::size_t BYTES_PER_BLOCK = 10;  // BE32, written as 512
constexpr std::size_t TOTAL_BLK_NR = 14;     // BE32, total number of blocks
constexpr std::size_t MEDIUM_TYPE = 18;      // u8
constexpr std::size_t DENSITY_CODE = 19;     // u8
constexpr std::size_t LABEL = 31;            // 7 characters, space-padded
constexpr std::size_t SIGNATURE = 38;        // "OS" when the system wrote the label
}  // namespace devid

// OsBlock (block 2) field offsets.
namespace osblk {
constexpr std::size_t FREE_BLOCKS = 0;  // BE32, the free-block counter
constexpr std::size_t OS_MAJOR = 4;     // u8
constexpr std::size_t OS_MINOR = 5;     // u8
constexpr std::size_t ROM_MAJOR = 6;    // u8
constexpr std::size_t ROM_MINOR = 7;    // u8
constexpr std::size_t SIGNATURE = 28;   // "ID" when the system wrote the label
}  // namespace osblk

// DirEntry (26 bytes) field offsets.
namespace entry_field {
constexpr std::size_t TYPE = 1;        // u8, 0 = empty entry
constexpr std::size_t NAME = 2;        // 12 characters, space-padded
constexpr std::size_t SIZE = 14;       // BE16: blocks, entries of a subdir, 0 for a parent link
constexpr std::size_t CONTIGUOUS = 16; // BE16: leading run; own number for a parent link
constexpr std::size_t START = 18;      // BE32: first block; parent's first block for a link
constexpr std::size_t CLEARED22 = 22;  // u8, 0 when created
constexpr std::size_t CLEARED24 = 24;  // BE16, 0 when created
}  // namespace entry_field

// Signature bytes at the end of every FAT block and directory the system makes.
constexpr std::size_t FAT_SIGNATURE = 510;  // "FB"
constexpr std::size_t DIR_SIGNATURE = 1022;  // "DR"

inline std::uint16_t be16_get(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void be16_put(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t be24_get(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
inline void be24_put(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t be32_get(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | p[3];
}
inline void be32_put(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// First block of the data area; the FAT occupies blocks 5 to data_start - 1.
// Unsigned 64-bit, so a total of 0 gives a start beyond every block.
constexpr std::uint64_t data_start(std::uint32_t total) {
    return (std::uint64_t{total} - 1) / FAT_ENTRIES_PER_BLOCK + 6;
}

// Index of the FAT block that holds the entry of block n, and the entry's
// byte offset within it.
constexpr std::uint64_t fat_block_of(std::uint64_t n) { return n / FAT_ENTRIES_PER_BLOCK; }
constexpr std::size_t fat_offset_of(std::uint64_t n) {
    return static_cast<std::size_t>(n % FAT_ENTRIES_PER_BLOCK) * FAT_ENTRY_SIZE;
}

// Pointer to entry i (0-38) of a directory image.
inline std::uint8_t* dir_entry(DirImage& d, std::size_t i) { return d.data() + i * DIR_ENTRY_SIZE; }
inline const std::uint8_t* dir_entry(const DirImage& d, std::size_t i) {
    return d.data() + i * DIR_ENTRY_SIZE;
}
inline std::uint8_t entry_type(const std::uint8_t* e) { return e[entry_field::TYPE]; }
inline std::uint16_t entry_size(const std::uint8_t* e) { return be16_get(e + entry_field::SIZE); }
inline std::uint16_t entry_contiguous(const std::uint8_t* e) {
    return be16_get(e + entry_field::CONTIGUOUS);
}
inline std::uint32_t entry_start(const std::uint8_t* e) { return be32_get(e + entry_field::START); }

// One row of the file-type table: type code and its 13-character display name.
struct FileTypeEntry {
    int id;
    const char* name;
};

// Searched in order; the last row (id -1) matches every type not listed.
inline constexpr std::array<FileTypeEntry, 16> FILE_TYPES{{
    {2, "./           "},
    {3, "   instr tlm "},
    {8, "..           "},
    {9, "   macro tlm "},
    {23, "   bank  tlm+"},
    {24, "   effct tlm+"},
    {25, "   seq   tlm+"},
    {26, "   song  tlm+"},
    {27, "os       tlm+"},
    {28, "   seq   zvk "},
    {29, "   song  zvk "},
    {30, "   bank  zvk "},
    {32, "os       zvk "},
    {33, "   effct zvk "},
    {34, "   macro zvk "},
    {-1, "?? ???   ??? "},
}};

// Display name of a type code from the file-type table.
inline const char* type_display_name(std::uint8_t type) {
    for (const auto& row : FILE_TYPES)
        if (row.id == type || row.id == -1) return row.name;
    return FILE_TYPES.back().name;
}
