// The archive module: every format round-trips names, kinds, types and data;
// unsafe names are refused; a failed export leaves nothing behind.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "runner.h"

namespace {

using zvktest::TempDir;

// Byte i of a generated file (seeded so files differ).
std::uint8_t pattern(std::uint64_t i, unsigned seed) {
    return static_cast<std::uint8_t>((i * 2654435761u + seed) >> 13);
}

// A data source for the writer: size bytes of pattern, in pieces.
ArchiveData pattern_data(unsigned seed, std::uint64_t* at) {
    *at = 0;
    return [seed, at](std::uint8_t* buf, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) buf[k] = pattern((*at)++, seed);
        return static_cast<long>(n);
    };
}

struct Item {
    std::string path;
    ArchiveKind kind;
    int type;
    std::uint64_t size;
    unsigned seed;
    std::string target;
};

// A tree with what an export meets: nested folders, an empty one, files of
// several pieces and of none, a second name, an untyped file, and a name
// with a tab, a backslash and a byte that is not UTF-8.
const std::vector<Item>& tree() {
    static const std::vector<Item> items = {
        {"DRUMS", ArchiveKind::folder, 2, 0, 0, ""},
        {"DRUMS/KICK 1.INS", ArchiveKind::file, 3, 200000, 1, ""},
        {"DRUMS/KICKS", ArchiveKind::folder, 2, 0, 0, ""},
        {"DRUMS/KICKS/SILENCE", ArchiveKind::file, 31, 0, 2, ""},
        {"DRUMS/KICKS/KICK COPY", ArchiveKind::link, 4, 200000, 1, "DRUMS/KICK 1.INS"},
        {"EMPTY", ArchiveKind::folder, 0, 0, 0, ""},
        {"README", ArchiveKind::file, 0, 700, 3, ""},
        {"ODD\tN\\AM\xE9", ArchiveKind::file, 255, 10, 4, ""},
    };
    return items;
}

int write_tree(ArchiveWriter& w) {
    std::uint64_t at;
    for (const Item& it : tree()) {
        int r = 0;
        if (it.kind == ArchiveKind::folder) r = w.add_folder(it.path, it.type);
        if (it.kind == ArchiveKind::file) r = w.add_file(it.path, it.type, it.size, pattern_data(it.seed, &at));
        if (it.kind == ArchiveKind::link)
            r = w.add_link(it.path, it.target, it.type, it.size, pattern_data(it.seed, &at));
        if (r != 0) return r;
    }
    return w.close();
}

// Read all of the current entry's data and compare it with its pattern.
void expect_data(ArchiveReader& r, const Item& it) {
    std::vector<std::uint8_t> buf(50000);
    std::uint64_t at = 0;
    long n;
    while ((n = r.read(buf.data(), buf.size())) > 0) {
        for (long k = 0; k < n; ++k, ++at)
            if (buf[k] != pattern(at, it.seed)) return ADD_FAILURE() << it.path << " differs at byte " << at;
    }
    ASSERT_EQ(n, 0) << r.error();
    EXPECT_EQ(at, it.size) << it.path;
}

// The reader gives back exactly the tree, in order.
void expect_tree(ArchiveReader& r, bool links_carry_data) {
    ArchiveEntry e;
    for (const Item& it : tree()) {
        ASSERT_EQ(r.next(&e), ArchiveNext::entry) << r.error();
        EXPECT_EQ(e.path, it.path);
        EXPECT_EQ(e.kind, it.kind) << it.path;
        EXPECT_EQ(e.type, it.type) << it.path;
        EXPECT_EQ(e.target, it.target) << it.path;
        EXPECT_EQ(e.note, "") << it.path;
        if (it.kind == ArchiveKind::file || (it.kind == ArchiveKind::link && links_carry_data)) expect_data(r, it);
    }
    EXPECT_EQ(r.next(&e), ArchiveNext::end) << r.error() << " then " << e.path;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class RoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(RoundTrip, TreeComesBackFromFileAndStream) {
    TempDir dir;
    const std::string path = dir.file(std::string("t") + GetParam());
    ArchiveWriter w;
    ASSERT_EQ(w.open(path), 0) << w.error();
    ASSERT_EQ(write_tree(w), 0) << w.error();
    const bool carry = w.links_carry_data();
    {
        ArchiveReader r;
        ASSERT_EQ(r.open(path), 0) << r.error();
        expect_tree(r, carry);
    }
    // The same archive through a sink: byte for byte (nothing depends on the
    // time or the output), and read back as a stream.
    ArchiveFormat format;
    std::string why, sent;
    ASSERT_EQ(format_for_archive_name(path, &format, &why), 0);
    ArchiveWriter s;
    ASSERT_EQ(s.open_sink([&sent](const void* p, std::size_t n) { return sent.append(static_cast<const char*>(p), n), true; },
                          format),
              0);
    ASSERT_EQ(write_tree(s), 0) << s.error();
    EXPECT_TRUE(sent == slurp(path));
    std::size_t at = 0;
    ArchiveReader r;
    ASSERT_EQ(r.open_source([&](void* buf, std::size_t n) {
        n = std::min(n, std::min<std::size_t>(sent.size() - at, 3000));
        std::memcpy(buf, sent.data() + at, n);
        at += n;
        return static_cast<long>(n);
    }),
              0)
        << r.error();
    expect_tree(r, carry);
}

// Test names: tar, tar_gz, tar_zst, zip.
std::string format_name(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param + 1;
    for (char& c : name) c = c == '.' ? '_' : c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip, ::testing::Values(".tar", ".tar.gz", ".tar.zst", ".zip"), format_name);

TEST(ArchiveNames, FormatFromEnding) {
    const struct {
        const char* name;
        int result;
        ArchiveFormat format;
    } cases[] = {
        {"a.tar", 0, ArchiveFormat::tar},        {"dir/A.TAR.GZ", 0, ArchiveFormat::tar_gz},
        {"a.tgz", 0, ArchiveFormat::tar_gz},     {"a.tar.zst", 0, ArchiveFormat::tar_zst},
        {"a.tzst", 0, ArchiveFormat::tar_zst},   {"Samples.Zip", 0, ArchiveFormat::zip},
        {"a.gz", -1, {}},                        {"a.rar", -1, {}},
        {".tar", -1, {}},                        {"tar", -1, {}},
    };
    for (const auto& c : cases) {
        ArchiveFormat f{};
        std::string why;
        ASSERT_EQ(format_for_archive_name(c.name, &f, &why), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(f, c.format) << c.name;
        } else {
            EXPECT_NE(why.find(ZVK_ARCHIVE_ENDINGS), std::string::npos) << why;
        }
    }
}

TEST(ArchiveNames, CleanPath) {
    const struct {
        const char* raw;
        bool folder;
        int result;
        const char* clean;
    } cases[] = {
        {"A/B", false, 0, "A/B"},   {"./A/B", false, 0, "A/B"}, {"A/", true, 0, "A"},   {"./", true, 1, ""},
        {".", true, 1, ""},         {"A/", false, -1, ""},      {"", false, -1, ""},    {"/etc/x", false, -1, ""},
        {"../x", false, -1, ""},    {"A/../../x", true, -1, ""}, {"A//B", false, -1, ""}, {"A/./B", false, -1, ""},
        {".", false, -1, ""},       {"..", true, -1, ""},
    };
    for (const auto& c : cases) {
        std::string clean = "unset", why;
        EXPECT_EQ(clean_archive_path(c.raw, c.folder, &clean, &why), c.result) << c.raw;
        if (c.result >= 0) {
            EXPECT_EQ(clean, c.clean) << c.raw;
        } else {
            EXPECT_FALSE(why.empty()) << c.raw;
        }
    }
}

// An archive written with libarchive itself, holding what our writer never
// writes.
void craft(const std::string& path, bool zip) {
    struct archive* a = archive_write_new();
    zip ? archive_write_set_format_zip(a) : archive_write_set_format_pax_restricted(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    const struct {
        const char* name;
        unsigned type;
        const char* link;
    } entries[] = {
        {"../x", AE_IFREG, nullptr},   {"/etc/x", AE_IFREG, nullptr}, {"A/../../x", AE_IFREG, nullptr},
        {"A//B", AE_IFREG, nullptr},   {"./", AE_IFDIR, nullptr},     {"./GOOD", AE_IFREG, nullptr},
        {"S", AE_IFLNK, "/etc/passwd"}, {"L", AE_IFREG, "../GOOD"},
    };
    struct archive_entry* e = archive_entry_new();
    for (const auto& c : entries) {
        archive_entry_clear(e);
        archive_entry_set_pathname(e, c.name);
        archive_entry_set_filetype(e, c.type);
        archive_entry_set_perm(e, 0644);
        if (c.type == AE_IFLNK) archive_entry_set_symlink(e, c.link);
        if (c.type == AE_IFREG && c.link) archive_entry_set_hardlink(e, c.link);
        archive_entry_set_size(e, c.type == AE_IFREG && !c.link ? 1 : 0);
        archive_write_header(a, e);
        if (c.type == AE_IFREG && !c.link) archive_write_data(a, "x", 1);
    }
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
}

TEST(ArchiveReader, RefusesNamesThatLeaveTheFolder) {
    for (bool zip : {false, true}) {
        TempDir dir;
        const std::string path = dir.file(zip ? "evil.zip" : "evil.tar");
        craft(path, zip);
        ArchiveReader r;
        ASSERT_EQ(r.open(path), 0) << r.error();
        ArchiveEntry e;
        for (const char* reason : {"'..'", "absolute", "'..'", "empty component"}) {
            ASSERT_EQ(r.next(&e), ArchiveNext::refused) << e.path;
            EXPECT_NE(r.error().find(reason), std::string::npos) << r.error();
        }
        ASSERT_EQ(r.next(&e), ArchiveNext::entry) << r.error();  // "./" is passed over
        EXPECT_EQ(e.path, "GOOD");
        ASSERT_EQ(r.next(&e), ArchiveNext::entry) << r.error();
        EXPECT_EQ(e.kind, ArchiveKind::unsupported);
        EXPECT_EQ(e.note, "symbolic link");
        EXPECT_EQ(e.target, "/etc/passwd");
        if (zip) {  // zip has no hard links: a plain file
            EXPECT_EQ(r.next(&e), ArchiveNext::entry) << r.error();
            EXPECT_EQ(e.kind, ArchiveKind::file);
        } else {
            EXPECT_EQ(r.next(&e), ArchiveNext::refused) << e.path;
            EXPECT_NE(r.error().find("link target"), std::string::npos) << r.error();
        }
        EXPECT_EQ(r.next(&e), ArchiveNext::end) << r.error();
    }
}

// A zip whose manifest another program reordered, with a comment and a
// line it cannot read: each entry still finds its own line.
TEST(ArchiveReader, ZipManifestInAnotherOrder) {
    TempDir dir;
    const std::string path = dir.file("other.zip");
    const std::string manifest = "# comment\n3\tC\nnonsense\n5\tA\n7\tB\tA\n";
    struct archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    struct archive_entry* e = archive_entry_new();
    for (const std::string name : {"A", "B", "C", ".zvk-types"}) {
        const std::string data = name == ".zvk-types" ? manifest : name;
        archive_entry_clear(e);
        archive_entry_set_pathname(e, name.c_str());
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_size(e, static_cast<la_int64_t>(data.size()));
        archive_write_header(a, e);
        archive_write_data(a, data.data(), data.size());
    }
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
    ArchiveReader r;
    ASSERT_EQ(r.open(path), 0) << r.error();
    ArchiveEntry got;
    for (const Item& it : std::vector<Item>{{"A", ArchiveKind::file, 5, 1, 0, ""},
                                            {"B", ArchiveKind::link, 7, 1, 0, "A"},
                                            {"C", ArchiveKind::file, 3, 1, 0, ""}}) {
        ASSERT_EQ(r.next(&got), ArchiveNext::entry) << r.error();
        EXPECT_EQ(got.path, it.path);
        EXPECT_EQ(got.kind, it.kind) << it.path;
        EXPECT_EQ(got.type, it.type) << it.path;
        EXPECT_EQ(got.target, it.target) << it.path;
    }
    EXPECT_EQ(r.next(&got), ArchiveNext::end) << r.error();
}

// No file called name.part-* beside name, and name holds what it held.
void expect_untouched(const TempDir& dir, const std::string& name, const std::string& content) {
    EXPECT_EQ(slurp(dir.file(name)), content);
    DIR* d = ::opendir(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* de = ::readdir(d)) EXPECT_EQ(std::string(de->d_name).find(".part-"), std::string::npos) << de->d_name;
    ::closedir(d);
}

TEST(ArchiveWriter, FailureLeavesNoPartialArchive) {
    TempDir dir;
    std::ofstream(dir.file("keep.tar")) << "old";
    std::uint64_t at;
    {
        ArchiveWriter w;
        ASSERT_EQ(w.open(dir.file("keep.tar")), 0) << w.error();
        ASSERT_EQ(w.add_file("A", 3, 10, pattern_data(1, &at)), 0) << w.error();
        const ArchiveData short_data = [n = 0](std::uint8_t*, std::size_t) mutable { return ++n == 1 ? 5L : 0L; };
        EXPECT_EQ(w.add_file("B", 3, 100000, short_data), -1);
        EXPECT_NE(w.error().find("B: reading its data failed after"), std::string::npos) << w.error();
        EXPECT_EQ(w.add_folder("C", 2), -1);  // the first error stays
        EXPECT_EQ(w.close(), -1);
    }
    expect_untouched(dir, "keep.tar", "old");
    ArchiveWriter w;
    EXPECT_EQ(w.open(dir.file("keep.rar")), -1);
    EXPECT_NE(w.error().find(ZVK_ARCHIVE_ENDINGS), std::string::npos) << w.error();
    for (const char* bad : {"A/../B", "/A", "A/", "A//B", ".zvk-types"}) {
        ArchiveWriter z;
        ASSERT_EQ(z.open(dir.file("bad.zip")), 0) << z.error();
        EXPECT_EQ(z.add_folder(bad, 2), -1) << bad;
    }
    {
        ArchiveWriter t;
        ASSERT_EQ(t.open(dir.file("bad.tar")), 0);
        EXPECT_EQ(t.add_folder("A", 256), -1);
    }
    expect_untouched(dir, "keep.tar", "old");
    // A receiver that goes away ends the export with a reason.
    ArchiveWriter s;
    ASSERT_EQ(s.open_sink([](const void*, std::size_t) { return false; }, ArchiveFormat::tar), 0);
    const int r = s.add_file("A", 3, 1 << 20, pattern_data(1, &at));
    EXPECT_EQ(r == 0 ? s.close() : r, -1);
    EXPECT_NE(s.error().find("stopped taking"), std::string::npos) << s.error();
}

TEST(ArchiveWriter, LargeFileStreamsThrough) {
    TempDir dir;
    const std::string path = dir.file("big.tar.zst");
    const Item big{"BIG.INS", ArchiveKind::file, 3, 32u << 20, 9, ""};
    std::uint64_t at;
    ArchiveWriter w;
    ASSERT_EQ(w.open(path), 0) << w.error();
    ASSERT_EQ(w.add_file(big.path, big.type, big.size, pattern_data(big.seed, &at)), 0) << w.error();
    ASSERT_EQ(w.close(), 0) << w.error();
    ArchiveReader r;
    ASSERT_EQ(r.open(path), 0) << r.error();
    ArchiveEntry e;
    ASSERT_EQ(r.next(&e), ArchiveNext::entry) << r.error();
    EXPECT_EQ(e.size, static_cast<std::int64_t>(big.size));
    expect_data(r, big);
}

// The host's tar reads our tar.zst: data, and the second name as a link.
TEST(ArchiveWriter, HostTarExtractsIt) {
    if (zvktest::run({"/bin/sh", "-c", "command -v tar && command -v zstd"}, "").exit_code != 0)
        GTEST_SKIP() << "tar or zstd missing";
    TempDir dir;
    ArchiveWriter w;
    ASSERT_EQ(w.open(dir.file("t.tar.zst")), 0) << w.error();
    ASSERT_EQ(write_tree(w), 0) << w.error();
    const auto res = zvktest::run({"/bin/sh", "-c", "tar --zstd -xf \"$0\" -C \"$1\"", dir.file("t.tar.zst"), dir.path()}, "");
    ASSERT_TRUE(res.exited(0)) << zvktest::describe(res);
    struct stat a {}, b {};
    ASSERT_EQ(::stat(dir.file("DRUMS/KICK 1.INS").c_str(), &a), 0);
    ASSERT_EQ(::stat(dir.file("DRUMS/KICKS/KICK COPY").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_size, 200000);
    const std::string readme = slurp(dir.file("README"));
    ASSERT_EQ(readme.size(), 700u);
    for (std::size_t i = 0; i < readme.size(); ++i) ASSERT_EQ(static_cast<std::uint8_t>(readme[i]), pattern(i, 3)) << i;
}

}  // namespace
