// format: the image made when missing, the label and an empty file system
// written without a dialogue, and the volume filled from a host folder.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli_int.h"
#include "platform.h"

namespace zvk {

namespace {

constexpr std::uint32_t MIN_BLOCKS = 8;              // a root and two data blocks
constexpr std::uint32_t MAX_BLOCKS = 1u << 24;       // what the FAT's 24-bit entries address

struct FormatPlan {
    std::uint32_t total = 0;
    std::uint16_t sectors = 0, heads = 0, cylinders = 0;
    const std::string* label = nullptr;
    const std::string* from = nullptr;
};

bool number(const std::string& s, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    errno = 0;
    *out = std::strtoul(s.c_str(), &end, 10);
    return !s.empty() && s[0] != '-' && *end == '\0' && errno == 0 && *out <= max;
}

// A geometry whose product is total, when one of the usual shapes fits.
void geometry_for(std::uint32_t total, FormatPlan* p) {
    for (std::uint32_t s : {32u, 63u, 16u, 10u, 9u, 18u, 8u, 4u, 2u, 1u}) {
        if (total % s) continue;
        for (std::uint32_t h : {16u, 8u, 4u, 2u, 255u, 128u, 64u, 1u}) {
            const std::uint32_t rest = total / s;
            if (rest % h || rest / h > 0xFFFF) continue;
            p->sectors = static_cast<std::uint16_t>(s);
            p->heads = static_cast<std::uint16_t>(h);
            p->cylinders = static_cast<std::uint16_t>(rest / h);
            return;
        }
    }
}

bool plan_format(Cli& cli, const Args& a, FormatPlan* p) {
    const std::string* blocks = a.value("blocks");
    const std::string* geometry = a.value("geometry");
    if (!blocks == !geometry) return cli.usage_error("either --blocks or --geometry"), false;
    unsigned long n = 0;
    if (blocks) {
        if (!number(*blocks, MAX_BLOCKS, &n) || n < MIN_BLOCKS)
            return cli.usage_error("--blocks takes 8 to 16777216"), false;
        p->total = static_cast<std::uint32_t>(n);
        geometry_for(p->total, p);
    } else {
        unsigned long g[3];
        std::string rest = *geometry;
        for (int i = 0; i < 3; ++i) {
            const std::size_t comma = rest.find(',');
            if ((comma == std::string::npos) != (i == 2) || !number(rest.substr(0, comma), 0xFFFF, &g[i]) || g[i] == 0)
                return cli.usage_error("--geometry takes SECTORS,HEADS,CYLINDERS"), false;
            rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        }
        const unsigned long long t = 1ull * g[0] * g[1] * g[2];
        if (t < MIN_BLOCKS || t > MAX_BLOCKS) return cli.usage_error("the geometry gives 8 to 16777216 blocks"), false;
        p->sectors = static_cast<std::uint16_t>(g[0]);
        p->heads = static_cast<std::uint16_t>(g[1]);
        p->cylinders = static_cast<std::uint16_t>(g[2]);
        p->total = static_cast<std::uint32_t>(t);
    }
    p->label = a.value("label");
    if (p->label && p->label->size() > LABEL_LEN) return cli.usage_error("a label holds at most 7 bytes"), false;
    p->from = a.value("from");
    struct stat st;
    if (p->from && (::stat(p->from->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return cli.usage_error("--from takes a host folder"), false;
    return true;
}

// Whether the first blocks of fd hold a file system: a block count that
// holds one, and a signed root folder or FAT.
bool holds_file_system(int fd) {
    std::uint8_t b[6 * BLOCK_SIZE] = {};
    if (::pread(fd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return false;
    const std::uint32_t total = be32_get(b + BLOCK_SIZE + devid::TOTAL_BLK_NR);
    if (total <= data_start(total) || total > MAX_BLOCKS) return false;
    const std::uint8_t* root_end = b + (ROOT_DIR_BLOCK + 1) * BLOCK_SIZE + BLOCK_SIZE - 2;
    const std::uint8_t* fat_end = b + FAT_FIRST_BLOCK * BLOCK_SIZE + FAT_SIGNATURE;
    return (root_end[0] == 'D' && root_end[1] == 'R') || (fat_end[0] == 'F' && fat_end[1] == 'B');
}

// Make the image ready: created when missing, large enough, not holding a
// file system unless forced. The status to return, or -1 to go on.
int prepare_image(Cli& cli, const std::string& image, const FormatPlan& p, bool force) {
    int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && !cli.dry_run) fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && !(cli.dry_run && errno == ENOENT)) return cli.error(image, std::strerror(errno)), 3;
    if (fd < 0) return -1;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (platform_lock_exclusive(fd) == 1) return cli.error(image, "in use by another program (it holds the volume's lock)"), 3;
    if (holds_file_system(fd) && !force)
        return cli.error(image, "holds a file system already (--force formats it all the same)"), 1;
    struct stat st;
    if (::fstat(fd, &st) != 0) return cli.error(image, std::strerror(errno)), 3;
    const off_t want = static_cast<off_t>(p.total) * static_cast<off_t>(BLOCK_SIZE);
    const off_t have = S_ISREG(st.st_mode) ? st.st_size : ::lseek(fd, 0, SEEK_END);
    if (have >= want || cli.dry_run) return -1;
    if (!S_ISREG(st.st_mode) || ::ftruncate(fd, want) != 0)
        return cli.error(image, "holds " + std::to_string(have / 512) + " blocks, fewer than " + std::to_string(p.total)), 1;
    return -1;
}

// Header blocks, FAT and root: 0, or the status after saying why.
int write_file_system(Cli& cli, const std::string& image, Volume& v, const FormatPlan& p) {
    std::uint8_t* d = v.devid.data();
    be16_put(d + devid::SECTORS, p.sectors);
    be16_put(d + devid::HEADS, p.heads);
    be16_put(d + devid::CYLINDERS, p.cylinders);
    be32_put(d + devid::BYTES_PER_BLOCK, BLOCK_SIZE);
    be32_put(d + devid::TOTAL_BLK_NR, p.total);
    if (p.label) {
        std::memset(d + devid::LABEL, ' ', LABEL_LEN);
        for (std::size_t i = 0; i < p.label->size(); ++i) {
            const char c = (*p.label)[i];
            d[devid::LABEL + i] = static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
    }
    set_free_counter(v, fresh_free_blocks(p.total));
    if (fs_format(v) != 0) return cli.error(image, "the file system could not be written"), 1;
    if (label_write(v) != 0) return cli.error(image, "the label could not be written"), 1;
    volume_sync(v);
    return 0;
}

Location fill_source(const FormatPlan& p) {
    Location src;
    src.path = *p.from;
    src.slash = true;
    return src;
}

Location fill_target(Volume& v, const std::string& image) {
    Location dst;
    dst.vol = &v;
    dst.image = image;
    dst.path = "/";
    dst.slash = true;
    return dst;
}

// Whether the tree of --from fits: the copy's own checks (blocks, entries
// a folder, file sizes, names), run as a dry run against the same file
// system made in memory, so that a tree that does not fit is refused before
// the image is created or written. The status to
// return, or -1 to go on.
int check_fill_fits(Cli& cli, const std::string& image, const FormatPlan& p) {
    const int fd = ::memfd_create("zvk-format", MFD_CLOEXEC);
    if (fd < 0) return cli.error(image, std::strerror(errno)), 1;
    Volume v;
    v.fd = fd;
    if (::ftruncate(fd, static_cast<off_t>(p.total) * static_cast<off_t>(BLOCK_SIZE)) != 0)
        return cli.error(image, std::strerror(errno)), 1;
    v.bulk = true;
    if (int r = write_file_system(cli, image, v, p); r != 0) return r;
    std::vector<std::pair<std::string, std::string>> errors;
    Report quiet;
    quiet.error = [&errors](const std::string& path, const std::string& why) { errors.emplace_back(path, why); };
    CopyOptions o;
    o.recursive = true;
    o.dry_run = true;
    const CopyOutcome out = copy_tree({fill_source(p)}, fill_target(v, image), o, quiet);
    // A name that does not fit refuses the whole tree as well: a fresh
    // volume is filled whole or not at all.
    if (!out.refused && out.failed == 0) return -1;
    for (const auto& [path, why] : errors) cli.error(path, why);
    return 1;
}

}  // namespace

int cmd_format(Cli& cli, const Args& a) {
    if (a.pos.size() != 1) return cli.usage_error("one IMAGE is needed");
    FormatPlan p;
    if (!plan_format(cli, a, &p)) return 2;
    const std::string& image = a.pos[0];
    if (p.from)
        if (int r = check_fill_fits(cli, image, p); r >= 0) return r;
    if (int r = prepare_image(cli, image, p, a.has("force")); r >= 0) return r;
    if (cli.dry_run) {
        std::printf("format %s: %u blocks (%u sectors, %u heads, %u cylinders), %u free\n", image.c_str(), p.total,
                    p.sectors, p.heads, p.cylinders, fresh_free_blocks(p.total));
        if (p.from) std::printf("fill %s:/ from %s\n", image.c_str(), p.from->c_str());
        return 0;
    }
    Volume v;
    if (int r = volume_open_exclusive(v, image.c_str()); r != 0)
        return cli.error(image, r == -3 ? "in use by another program (it holds the volume's lock)" : std::strerror(errno)), 3;
    if (int r = write_file_system(cli, image, v, p); r != 0) return r;
    if (!p.from) return 0;
    CopyOptions o;
    o.recursive = true;
    o.verbose = cli.verbose;
    const CopyOutcome out = copy_tree({fill_source(p)}, fill_target(v, image), o, cli.report());
    return out.refused || out.failed ? 1 : 0;
}

}  // namespace zvk
