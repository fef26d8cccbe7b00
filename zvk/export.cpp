// export: a volume folder into an archive, files streamed along their
// chains, second names of a chain as links, every name made safe.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "archive/archive.h"
#include "archive_io.h"

namespace zvk {

namespace {

// The data of a chain for the writer, read run by run through a buffer.
struct ChainReader {
    Volume& v;
    std::vector<BlockRun> runs;
    std::size_t run = 0;
    std::uint64_t in_run = 0;
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(128 * BLOCK_SIZE);
    std::size_t pos = 0, filled = 0;

    ChainReader(Volume& vol, std::vector<BlockRun> r) : v(vol), runs(std::move(r)) {}

    bool refill() {
        while (run < runs.size() && in_run == runs[run].count) ++run, in_run = 0;
        if (run == runs.size()) return false;
        const std::uint64_t n = std::min<std::uint64_t>(128, runs[run].count - in_run);
        if (block_read_run(v, buf.data(), runs[run].first + in_run, n) != 0) return false;
        in_run += n;
        pos = 0;
        filled = n * BLOCK_SIZE;
        return true;
    }

    long give(std::uint8_t* out, std::size_t n) {
        if (pos == filled && !refill()) return -1;
        const std::size_t k = std::min(n, filled - pos);
        std::memcpy(out, buf.data() + pos, k);
        pos += k;
        return static_cast<long>(k);
    }
};

ArchiveData chain_data(Volume& v, std::vector<BlockRun> runs) {
    auto r = std::make_shared<ChainReader>(v, std::move(runs));
    return [r](std::uint8_t* buf, std::size_t n) { return r->give(buf, n); };
}

struct Exporter {
    Exporter(Volume& vol, ArchiveWriter& writer, const Report& r, const std::string& img)
        : v(vol), w(writer), rep(r), image(img) {}
    Volume& v;
    ArchiveWriter& w;
    const Report& rep;
    std::string image;
    std::vector<std::uint64_t> shared;                 // chains that several entries name
    std::unordered_map<std::uint64_t, std::string> first;  // their first name in the archive
    std::vector<std::uint64_t> along;
    CopyOutcome out;
    Progress progress;
    bool broken = false;  // the writer failed: nothing more goes in

    void error(const std::string& path, const std::string& why) {
        ++out.failed;
        if (rep.error) rep.error(path, why);
    }
    bool written(int r, const std::string& vpath) {
        if (r == 0) return true;
        broken = true;
        error(shown(image, vpath), w.error());
        return false;
    }

    void file(const std::uint8_t* e, const std::string& apath, const std::string& vpath) {
        std::vector<BlockRun> runs;
        if (chain_map(v, entry_start(e), entry_contiguous(e), entry_size(e), Direction::read, runs) < 0)
            return error(shown(image, vpath), fs_strerror(FsErr::damaged));
        std::uint64_t blocks = 0;
        for (const BlockRun& r : runs) blocks += r.count;
        const std::uint64_t start = entry_start(e);
        const std::uint64_t size = blocks * BLOCK_SIZE;
        if (std::binary_search(shared.begin(), shared.end(), start)) {
            auto [it, fresh] = first.emplace(start, apath);
            if (!fresh) {
                if (written(w.add_link(apath, it->second, entry_type(e), size, chain_data(v, runs)), vpath)) ++out.made;
                return;
            }
        }
        if (!written(w.add_file(apath, entry_type(e), size, chain_data(v, std::move(runs))), vpath)) return;
        ++out.made;
        ++progress.files_done;
        progress.bytes_done += size;
        if (rep.progress) rep.progress(progress);
    }

    void folder(const Folder& f, const std::string& apath, const std::string& vpath, int depth) {
        along.push_back(f.start);
        for (const auto& [slot, listed] : folder_listing(f.image)) {
            if (broken) break;
            const std::uint8_t* e = folder_entry(f, slot);
            const std::string name = host_safe_name(listed);
            const std::string ap = apath.empty() ? name : apath + "/" + name;
            const std::string vp = (vpath == "/" ? "" : vpath) + "/" + display_name(listed);
            if (entry_type(e) != TYPE_SUBDIR) {
                file(e, ap, vp);
                continue;
            }
            if (std::find(along.begin(), along.end(), entry_start(e)) != along.end() || depth + 1 > MAX_DEPTH) {
                error(shown(image, vp), "folder holds itself through a link; not entered again");
                continue;
            }
            Folder child;
            if (FsErr r = folder_child(v, f, slot, &child); r != FsErr::ok) {
                error(shown(image, vp), fs_strerror(r));
                continue;
            }
            if (!written(w.add_folder(ap, 0), vp)) break;
            ++out.made;
            folder(child, ap, vp, depth + 1);
        }
        along.pop_back();
    }

    // Totals for the progress bar, and the chains named more than once.
    void prepare(const Folder& top, const std::string& path) {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> counts;
        link_census(v, {}, &counts);
        for (const auto& [start, n] : counts)
            if (n > 1) shared.push_back(start);
        if (!rep.progress) return;
        walk_tree(
            v, top, path,
            [this](const Folder& f, const std::string&, int) {
                for (const auto& [slot, listed] : folder_listing(f.image)) {
                    const std::uint8_t* e = folder_entry(f, slot);
                    if (entry_type(e) == TYPE_SUBDIR) continue;
                    ++progress.files_total;
                    progress.bytes_total += std::uint64_t{entry_size(e)} * BLOCK_SIZE;
                }
                return true;
            },
            {});
    }
};

}  // namespace

CopyOutcome export_walk(Volume& v, const std::string& image, std::string_view path, bool include_top,
                        ArchiveWriter& w, const Report& report) {
    Exporter x(v, w, report, image);
    Match m;
    if (FsErr e = resolve(v, path, &m); e != FsErr::ok) {
        x.error(shown(image, path), fs_strerror(e));
        return x.out;
    }
    const std::string top = m.root ? "" : host_safe_name(m.path.substr(m.path.rfind('/') + 1));
    Folder f;
    if (FsErr e = m.is_folder() ? match_folder(v, m, &f) : match_parent(v, m, &f); e != FsErr::ok) {
        x.error(shown(image, m.path), fs_strerror(e));
        return x.out;
    }
    x.prepare(f, m.path);
    if (!m.is_folder()) {
        x.file(m.entry.data(), top, m.path);
    } else if (include_top && !m.root) {
        if (x.written(w.add_folder(top, 0), m.path)) x.folder(f, top, m.path, 0);
    } else {
        x.folder(f, "", m.path, 0);
    }
    return x.out;
}

Result export_tree(Volume& v, std::string_view path, ArchiveWriter& w, bool include_top, const ProgressFn& progress) {
    Result res;
    res.made = export_walk(v, "", path, include_top, w, result_report(res, progress)).made;
    return res;
}

bool archive_available() { return true; }

}  // namespace zvk
