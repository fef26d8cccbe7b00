// export and import: a volume folder into a tar or zip archive and back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "audio_in.h"
#include "cli_int.h"
#if ZVK_HAVE_LIBARCHIVE
#include "archive/archive.h"
#include "archive_io.h"
#endif

namespace zvk {

#if ZVK_HAVE_LIBARCHIVE

int cmd_export(Cli& cli, const Args& a) {
    if (a.pos.size() != 2) return cli.usage_error("a volume PATH and an ARCHIVE are needed");
    Spec s;
    if (!volume_arg(cli, a.pos[0], true, &s)) return 2;
    const std::string& archive = a.pos[1];
    ArchiveFormat format = ArchiveFormat::tar;
    std::string why;
    if (archive != "-" && format_for_archive_name(archive, &format, &why) != 0) return cli.usage_error(why);
    cli.vols.want(s.image, false);
    if (!cli.open_volumes()) return 3;
    Volume& v = *cli.vols.get(s.image);
    std::vector<Match> m;
    if (!matches(cli, v, s, &m)) return 1;
    if (m.size() != 1) return cli.error(s.text, "names more than one entry"), 1;
    ArchiveWriter w;
    if ((archive == "-" ? w.open_fd(STDOUT_FILENO, ArchiveFormat::tar) : w.open(archive)) != 0)
        return cli.error(archive, w.error()), 1;
    const CopyOutcome out = export_walk(v, s.image, m[0].path, !s.slash && !m[0].root, w, cli.report());
    cli.bar.clear();
    if (w.close() != 0 && !out.failed) cli.error(archive, w.error());
    return cli.status;
}

namespace {

// Standard input copied into an unnamed file, so that it can be read twice.
int spool_stdin(std::string* why) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/zvk-import.XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return *why = std::strerror(errno), -1;
    ::unlink(path.c_str());
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
        if (n == 0) return fd;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || ::write(fd, buf.data(), static_cast<std::size_t>(n)) != n) break;
    }
    *why = std::strerror(errno);
    ::close(fd);
    return -1;
}

}  // namespace

int cmd_import(Cli& cli, const Args& a) {
    if (a.pos.size() != 2) return cli.usage_error("an ARCHIVE and a volume PATH are needed");
    CopyOptions o;
    o.dry_run = cli.dry_run;
    o.verbose = cli.verbose;
    if (a.has("no-clobber") && a.has("force")) return cli.usage_error("-n and -f exclude each other");
    o.clash = a.has("no-clobber") ? Clash::skip : a.has("force") ? Clash::replace : Clash::stop;
    if (const std::string* t = a.value("type"); t && (!type_arg(*t, &o.type) || !valid_file_type(o.type)))
        return cli.usage_error("--type takes a file type, 1-255 but 2, 8 and 32");
    o.audio = a.has("audio");
    o.mix = a.has("mix");
    if (o.audio && !audio_available()) return cli.usage_error("this zvk was built without audio conversion (libsndfile)");
    if (const std::string p = o.audio ? audio_template_problem() : ""; !p.empty())
        return cli.error(p.substr(0, p.find(": ")), p.substr(p.find(": ") + 2)), 1;
    Spec s;
    if (!volume_arg(cli, a.pos[1], false, &s)) return 2;
    const std::string& archive = a.pos[0];
    int fd = -1;
    std::string why;
    if (archive == "-" && (fd = spool_stdin(&why)) < 0) return cli.error("-", why), 1;
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    cli.vols.want(s.image, !cli.dry_run);
    if (!cli.open_volumes()) return 3;
    const ArchiveOpen open = [&](ArchiveReader& r, std::string* w) {
        const int rc = fd >= 0 ? (::lseek(fd, 0, SEEK_SET) == 0 ? r.open_fd(fd) : -1) : r.open(archive);
        if (rc != 0) *w = r.error();
        return rc == 0;
    };
    const CopyOutcome out = import_walk(*cli.vols.get(s.image), s.image, open, s.path, o, cli.report(), archive);
    return out.refused || out.failed ? 1 : 0;
}

#else

bool archive_available() { return false; }

Result export_tree(Volume&, std::string_view path, ArchiveWriter&, bool, const ProgressFn&) {
    Result r;
    r.ok = false;
    r.path = std::string(path);
    r.why = "this zvk was built without archives (libarchive)";
    return r;
}

Result import_tree(Volume&, const ArchiveOpen&, std::string_view folder, const PutOptions&, const ProgressFn&) {
    Result r;
    r.ok = false;
    r.path = std::string(folder);
    r.why = "this zvk was built without archives (libarchive)";
    return r;
}

int cmd_export(Cli& cli, const Args&) { return cli.usage_error("this zvk was built without archives (libarchive)"); }

int cmd_import(Cli& cli, const Args&) { return cli.usage_error("this zvk was built without archives (libarchive)"); }

#endif

}  // namespace zvk
