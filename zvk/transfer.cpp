// The shared operations of transfer.h over the copy engine.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine.h"

namespace zvk {

CopyOptions copy_options(const PutOptions& opt) {
    CopyOptions o;
    o.clash = opt.clash;
    o.type = opt.type;
    o.audio = opt.audio;
    o.mix = opt.mix;
    return o;
}

Report result_report(Result& res, const ProgressFn& progress) {
    Report rep;
    rep.error = [&res](const std::string& path, const std::string& why) {
        if (!res.ok) return;
        res.ok = false;
        res.path = path.size() > 1 && path[0] == ':' ? path.substr(1) : path;
        res.why = why;
    };
    rep.progress = progress;
    return rep;
}

void result_outcome(Result& res, const CopyOutcome& out) {
    res.made = out.made;
    res.replaced = out.replaced;
    res.skipped = out.skipped;
    if (out.refused || out.failed) res.ok = false;
    if (!res.ok) res.err = out.err;
}

namespace {

// Run one copy into the folder at folder, keeping the first failure.
Result put(Volume& v, std::string_view folder, const Location& src, const PutOptions& opt,
           const ProgressFn& progress) {
    Location dst;
    dst.vol = &v;
    dst.path = folder.empty() ? "/" : std::string(folder);
    dst.slash = true;
    Result res;
    result_outcome(res, copy_tree({src}, dst, copy_options(opt), result_report(res, progress)));
    return res;
}

// An uploaded sound file: converted from a temporary file of its
// extension, the entry named after it without the extension.
Result put_sound(Volume& v, std::string_view folder, std::string_view name, const std::uint8_t* data,
                 std::size_t size, const PutOptions& opt) {
    Result r;
    r.path = std::string(name);
    const char* dir = std::getenv("TMPDIR");
    const std::size_t dot = name.rfind('.');
    const std::string ext = dot == std::string_view::npos || name.size() - dot > 8 ? "" : std::string(name.substr(dot));
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/zvk-upload-XXXXXX" + ext;
    const int fd = ::mkstemps(path.data(), static_cast<int>(ext.size()));
    bool ok = fd >= 0 && ::write(fd, data, size) == static_cast<ssize_t>(size);
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (ok) r = put_file(v, folder, path, audio_entry_name(name), opt);
    if (fd >= 0) ::unlink(path.c_str());
    if (!ok) {
        r.ok = false;
        r.why = "the upload could not be kept for its conversion";
    }
    if (!r.ok && r.path == path) r.path = std::string(name);
    return r;
}

}  // namespace

Result put_file(Volume& v, std::string_view folder, const std::string& host_path, std::string_view name,
                const PutOptions& opt, const ProgressFn& progress) {
    Location src;
    src.path = host_path;
    src.name = std::string(name);
    return put(v, folder, src, opt, progress);
}

Result put_buffer(Volume& v, std::string_view folder, std::string_view name, const std::uint8_t* data,
                  std::size_t size, const PutOptions& opt) {
    Location src;
    src.data = data;
    src.size = size;
    src.name = std::string(name);
    if (opt.audio) return put_sound(v, folder, name, data, size, opt);
    return put(v, folder, src, opt, {});
}

Result read_file(Volume& v, std::string_view path, const ByteSink& sink) {
    Result res;
    res.path = std::string(path);
    auto fail = [&res](FsErr e, const char* why = nullptr) {
        res.ok = false;
        res.err = e;
        res.why = why ? why : fs_strerror(e);
        return res;
    };
    Match m;
    if (FsErr e = resolve(v, path, &m); e != FsErr::ok) return fail(e);
    if (m.is_folder()) return fail(FsErr::is_folder);
    std::vector<BlockRun> runs;
    const std::uint8_t* e = m.entry.data();
    if (chain_map(v, entry_start(e), entry_contiguous(e), entry_size(e), Direction::read, runs) < 0)
        return fail(FsErr::damaged);
    constexpr std::uint64_t CHUNK = 2048;  // blocks: 1 MB at a time
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[CHUNK * BLOCK_SIZE]);
    if (!buf) return fail(FsErr::no_memory);
    for (const BlockRun& r : runs)
        for (std::uint64_t done = 0; done < r.count;) {
            const std::uint64_t n = std::min(CHUNK, r.count - done);
            if (block_read_run(v, buf.get(), r.first + done, n) != 0) return fail(FsErr::read_error);
            if (!sink(buf.get(), n * BLOCK_SIZE)) return fail(FsErr::ok, "stopped");
            done += n;
        }
    return res;
}

}  // namespace zvk
