// The libfuse operation table: each entry unpacks its arguments, runs the
// operation of mount.h and logs a failure as one line.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "console.h"
#include "mount.h"
#include "zvkmount.h"

namespace {

Mount& state() { return *static_cast<Mount*>(fuse_get_context()->private_data); }

// Failures that are the normal answer to a question are not logged.
int done(const char* op, const char* path, int r, int quiet = 0) {
    if (r < 0 && r != -quiet) mount_log_failure(op, path, -r);
    return r;
}

// The same for an operation on an open file or folder, which comes without
// its path: the path it was opened by.
int done_open(const char* op, const fuse_file_info* fi, int r) {
    return done(op, handle_path(state(), fi->fh), r);
}

int z_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi) return done_open("getattr", fi, op_getattr_open(state(), fi->fh, st));
    return done("getattr", path, op_getattr(state(), path, st), ENOENT);
}

int z_opendir(const char* path, fuse_file_info* fi) {
    std::uint64_t fh = 0;
    int r = op_opendir(state(), path, &fh);
    fi->fh = fh;
    return done("opendir", path, r);
}

int z_releasedir(const char*, fuse_file_info* fi) { return op_releasedir(state(), fi->fh); }

int z_readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
    std::vector<std::pair<std::string, struct stat>> names;
    if (int r = op_readdir_names(state(), fi->fh, &names)) return done_open("readdir", fi, r);
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (const auto& [name, st] : names) fill(buf, name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int z_open(const char* path, fuse_file_info* fi) {
    std::uint64_t fh = 0;
    int r = op_open(state(), path, fi->flags, &fh);
    fi->fh = fh;
    return done("open", path, r);
}

int z_create(const char* path, mode_t, fuse_file_info* fi) {
    std::uint64_t fh = 0;
    int r = op_create(state(), path, &fh);
    fi->fh = fh;
    return done("create", path, r);
}

int z_read(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return done_open("read", fi, op_read(state(), fi->fh, buf, size, off));
}

int z_write(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return done_open("write", fi, op_write(state(), fi->fh, buf, size, off));
}

int z_truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (fi) return done_open("truncate", fi, op_truncate(state(), path, size, &fi->fh));
    return done("truncate", path, op_truncate(state(), path, size, nullptr));
}

int z_flush(const char*, fuse_file_info* fi) { return done_open("flush", fi, op_flush(state(), fi->fh)); }

int z_release(const char*, fuse_file_info* fi) {
    // Logged before the handle, and the path it was opened by, go.
    Mount& m = state();
    const std::string opened = handle_path(m, fi->fh);
    return done("release", opened.c_str(), op_release(m, fi->fh));
}

int z_fsync(const char*, int, fuse_file_info* fi) { return done_open("fsync", fi, op_fsync(state(), fi->fh)); }

int z_unlink(const char* path) { return done("unlink", path, op_unlink(state(), path)); }
int z_mkdir(const char* path, mode_t) { return done("mkdir", path, op_mkdir(state(), path)); }
int z_rmdir(const char* path) { return done("rmdir", path, op_rmdir(state(), path)); }

int z_rename(const char* from, const char* to, unsigned flags) {
    return done("rename", from, op_rename(state(), from, to, flags));
}

int z_link(const char* from, const char* to) { return done("link", to, op_link(state(), from, to)); }

// Modes, owners and times are fixed by the mount: changing them is accepted
// and has no effect, so copying tools that set them go on.
int z_chmod(const char*, mode_t, fuse_file_info*) { return op_writable(state()); }
int z_chown(const char*, uid_t, gid_t, fuse_file_info*) { return op_writable(state()); }
int z_utimens(const char*, const timespec*, fuse_file_info*) { return op_writable(state()); }

int z_statfs(const char*, struct statvfs* st) { return op_statfs(state(), st); }

int z_getxattr(const char* path, const char* name, char* value, size_t size) {
    return done("getxattr", path, op_getxattr(state(), path, name, value, size), ENODATA);
}

int z_setxattr(const char* path, const char* name, const char* value, size_t size, int) {
    return done("setxattr", path, op_setxattr(state(), path, name, value, size));
}

int z_listxattr(const char* path, char* list, size_t size) {
    return done("listxattr", path, op_listxattr(state(), path, list, size));
}

int z_removexattr(const char* path, const char*) { return done("removexattr", path, -ENOTSUP); }

void* z_init(fuse_conn_info*, fuse_config* cfg) {
    cfg->use_ino = 1;
    // Removing an open file removes it: there is no room for hidden names.
    cfg->hard_remove = 1;
    // An open file outlives its name: operations on it go by handle.
    cfg->nullpath_ok = 1;
    cfg->entry_timeout = 1.0;
    cfg->attr_timeout = 1.0;
    cfg->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

void z_destroy(void* data) {
    Mount& m = *static_cast<Mount*>(data);
    if (mount_flush_all(m) != 0) mount_log_failure("destroy", "/", EIO);
}

fuse_operations make_ops() {
    fuse_operations ops{};
    ops.getattr = z_getattr;
    ops.opendir = z_opendir;
    ops.readdir = z_readdir;
    ops.releasedir = z_releasedir;
    ops.open = z_open;
    ops.create = z_create;
    ops.read = z_read;
    ops.write = z_write;
    ops.truncate = z_truncate;
    ops.flush = z_flush;
    ops.release = z_release;
    ops.fsync = z_fsync;
    ops.unlink = z_unlink;
    ops.mkdir = z_mkdir;
    ops.rmdir = z_rmdir;
    ops.rename = z_rename;
    ops.link = z_link;
    ops.chmod = z_chmod;
    ops.chown = z_chown;
    ops.utimens = z_utimens;
    ops.statfs = z_statfs;
    ops.getxattr = z_getxattr;
    ops.setxattr = z_setxattr;
    ops.listxattr = z_listxattr;
    ops.removexattr = z_removexattr;
    ops.init = z_init;
    ops.destroy = z_destroy;
    return ops;
}

// Command line: the options zvkmount reads itself, the two operands.
struct Cli {
    unsigned type = 31;
    int read_only = 0;
    int help = 0;
    const char* image = nullptr;
    const char* mountpoint = nullptr;
    int extra = 0;
};

enum { KEY_RO, KEY_HELP };

const fuse_opt OPTIONS[] = {
    {"type=%u", offsetof(Cli, type), 0},
    FUSE_OPT_KEY("ro", KEY_RO),
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_END,
};

int cli_arg(void* data, const char* arg, int key, fuse_args*) {
    Cli& c = *static_cast<Cli*>(data);
    switch (key) {
    case KEY_RO: c.read_only = 1; return 1;
    case KEY_HELP: c.help = 1; return 0;
    case FUSE_OPT_KEY_NONOPT:
        if (!c.image) {
            c.image = arg;
            return 0;
        }
        if (!c.mountpoint) {
            c.mountpoint = arg;
            return 1;
        }
        c.extra = 1;
        return 0;
    default: return 1;
    }
}

int usage(int status) {
    err_print("usage: zvkmount [-o ro] [-o type=N] [-f] [-d] IMAGE-OR-DEVICE MOUNTPOINT\n");
    return status;
}

}  // namespace

void mount_log_failure(const char* op, const char* path, int err) {
    err_print("zvkmount: %s %s: %s\n", op, path ? path : "-", std::strerror(err));
}

int zvkmount_main(int argc, char** argv) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    Cli c;
    if (fuse_opt_parse(&args, &c, OPTIONS, cli_arg) != 0) return usage(1);
    if (c.help) return usage(0);
    if (!c.image || !c.mountpoint || c.extra) return usage(1);
    if (c.type == 0 || c.type > 255 || c.type == TYPE_SUBDIR || c.type == TYPE_PARENT) {
        err_print("error: invalid type %u.\n", c.type);
        return 1;
    }
    auto m = std::make_unique<Mount>();
    m->uid = ::getuid();
    m->gid = ::getgid();
    m->time = ::time(nullptr);
    m->new_type = static_cast<std::uint8_t>(c.type);
    if (mount_open(*m, c.image, c.read_only != 0) != 0) return 1;
    if (m->vol.read_only && !c.read_only) fuse_opt_add_arg(&args, "-oro");
    std::string fsname = std::string("-ofsname=") + c.image;
    for (const char* a : {"-s", "-odefault_permissions", "-osubtype=zvk", fsname.c_str()})
        fuse_opt_add_arg(&args, a);
    const fuse_operations ops = make_ops();
    int status = fuse_main(args.argc, args.argv, &ops, m.get());
    fuse_opt_free_args(&args);
    return status == 0 ? 0 : 1;
}
