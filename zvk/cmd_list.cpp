// The commands that only read: ls, tree, df, info and cat.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "cli_int.h"
#include "fat.h"

namespace zvk {

namespace {

// Open the volumes of the arguments read-only: the specs, or false.
bool open_specs(Cli& cli, const Args& a, bool bare, std::vector<Spec>* specs) {
    if (a.pos.empty()) return cli.usage_error("a volume path is needed"), false;
    for (const std::string& p : a.pos) {
        Spec s;
        if (!volume_arg(cli, p, bare, &s)) return false;
        cli.vols.want(s.image, false);
        specs->push_back(s);
    }
    // The volumes that opened are still listed; the status says 3.
    cli.open_volumes();
    return true;
}

struct Lister {
    Lister(Cli& c, bool l, bool r, bool j) : cli(c), long_form(l), recursive(r), json(j) {}
    Cli& cli;
    bool long_form, recursive, json;
    int listings = 0;  // folders listed so far
    bool first_row = true;
    bool headers = false;
    std::map<Volume*, std::vector<std::pair<std::uint64_t, std::uint32_t>>> census;

    void links(Volume& v, std::vector<Row>& rows) {
        if (!long_form && !json) return;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> local;
        std::vector<std::pair<std::uint64_t, std::uint32_t>>* counts = &local;
        if (recursive) {
            counts = &census[&v];
            if (counts->empty()) link_census(v, {}, counts);
        } else {
            std::vector<std::uint64_t> starts;
            for (const Row& r : rows) starts.push_back(r.first);
            link_census(v, starts, counts);
        }
        for (Row& r : rows) {
            auto it = std::lower_bound(counts->begin(), counts->end(), std::make_pair(r.first, std::uint32_t{0}));
            r.links = it != counts->end() && it->first == r.first ? it->second : 1;
        }
    }

    void print(const std::string& image, const Row& r) {
        if (json) {
            std::string obj = row_json(r);
            std::string vol = "{\"volume\":";
            vol += json_quote(image);
            vol += ',';
            obj.replace(0, 1, vol);
            std::printf("%s%s", first_row ? "\n" : ",\n", obj.c_str());
            first_row = false;
        } else if (long_form) {
            std::printf("%2d %3d %-10s %6llu %8llu %6llu %3u %s%s\n", r.slot, r.type, r.type_name.c_str(),
                        static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.first),
                        static_cast<unsigned long long>(r.contiguous), r.links, r.name.c_str(), r.folder ? "/" : "");
        } else {
            std::printf("%s%s\n", r.name.c_str(), r.folder ? "/" : "");
        }
    }

    void folder(Volume& v, const std::string& image, const Folder& f, const std::string& path) {
        std::vector<Row> rows;
        for (const auto& [slot, name] : folder_listing(f.image)) rows.push_back(make_row(f, slot, name, path));
        links(v, rows);
        if (headers && !json) std::printf("%s%s:\n", listings++ ? "\n" : "", shown(image, path).c_str());
        for (const Row& r : rows) print(image, r);
    }

    void entry(Volume& v, const std::string& image, const Match& m) {
        Folder f;
        if (FsErr e = m.is_folder() ? match_folder(v, m, &f) : match_parent(v, m, &f); e != FsErr::ok)
            return cli.error(shown(image, m.path), fs_strerror(e));
        if (!m.is_folder()) {
            const std::size_t cut = m.path.rfind('/');
            std::vector<Row> rows;
            for (const auto& [slot, name] : folder_listing(f.image))
                if (slot == m.slot) rows.push_back(make_row(f, slot, name, cut == 0 ? "/" : m.path.substr(0, cut)));
            links(v, rows);
            for (const Row& r : rows) print(image, r);
            return;
        }
        if (!recursive) return folder(v, image, f, m.path);
        walk_tree(
            v, f, m.path,
            [&](const Folder& sub, const std::string& path, int) {
                folder(v, image, sub, path);
                return true;
            },
            [&](const std::string& path, FsErr e) { cli.error(shown(image, path), fs_strerror(e)); });
    }
};

}  // namespace

int cmd_ls(Cli& cli, const Args& a) {
    std::vector<Spec> specs;
    if (!open_specs(cli, a, true, &specs)) return 2;
    Lister l(cli, a.has("long"), a.has("recursive"), a.has("json"));
    std::vector<std::pair<const Spec*, std::vector<Match>>> all;
    for (const Spec& s : specs) {
        Volume* v = cli.vols.get(s.image);
        std::vector<Match> m;
        if (v && matches(cli, *v, s, &m)) all.emplace_back(&s, std::move(m));
    }
    std::size_t folders = 0;
    for (const auto& [s, m] : all)
        for (const Match& x : m) folders += x.is_folder();
    l.headers = l.recursive || folders > 1 || all.size() > 1;
    if (l.json) std::fputs("[", stdout);
    for (const auto& [s, m] : all)
        for (const Match& x : m) l.entry(*cli.vols.get(s->image), s->image, x);
    if (l.json) std::fputs(l.first_row ? "]\n" : "\n]\n", stdout);
    return 0;
}

namespace {

// One folder of a tree, with the prefix of its lines.
void tree_folder(Cli& cli, Volume& v, const std::string& image, const Folder& f, const std::string& path,
                 const std::string& prefix, std::vector<std::uint64_t>& along) {
    const auto listed = folder_listing(f.image);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const bool last = i + 1 == listed.size();
        const std::uint8_t* e = folder_entry(f, listed[i].first);
        const std::string name = display_name(listed[i].second);
        const bool is_folder = entry_type(e) == TYPE_SUBDIR;
        std::printf("%s%s%s%s\n", prefix.c_str(), last ? "`-- " : "|-- ", name.c_str(), is_folder ? "/" : "");
        if (!is_folder) continue;
        const std::string p = (path == "/" ? "" : path) + "/" + name;
        if (std::find(along.begin(), along.end(), entry_start(e)) != along.end() || along.size() >= MAX_DEPTH) {
            cli.error(shown(image, p), "folder holds itself through a link; not entered again");
            continue;
        }
        Folder child;
        if (FsErr r = folder_child(v, f, listed[i].first, &child); r != FsErr::ok) {
            cli.error(shown(image, p), fs_strerror(r));
            continue;
        }
        along.push_back(child.start);
        tree_folder(cli, v, image, child, p, prefix + (last ? "    " : "|   "), along);
        along.pop_back();
    }
}

}  // namespace

int cmd_tree(Cli& cli, const Args& a) {
    std::vector<Spec> specs;
    if (!open_specs(cli, a, true, &specs)) return 2;
    for (const Spec& s : specs) {
        Volume* v = cli.vols.get(s.image);
        std::vector<Match> m;
        if (!v || !matches(cli, *v, s, &m)) continue;
        for (const Match& x : m) {
            std::printf("%s%s\n", shown(s.image, x.path).c_str(), x.is_folder() ? (x.root ? "" : "/") : "");
            Folder f;
            if (!x.is_folder()) continue;
            if (FsErr e = match_folder(*v, x, &f); e != FsErr::ok) {
                cli.error(shown(s.image, x.path), fs_strerror(e));
                continue;
            }
            std::vector<std::uint64_t> along{f.start};
            tree_folder(cli, *v, s.image, f, x.path, "", along);
        }
    }
    return 0;
}

namespace {

struct Usage {
    std::uint32_t total = 0, counter = 0;
    std::uint64_t free = 0, used = 0, data = 0;
};

Usage usage_of(Volume& v) {
    Usage u;
    u.total = total_blocks(v);
    u.counter = free_counter(v);
    u.free = fat_count_free(v);
    u.data = u.total - data_start(u.total);
    u.used = u.data - std::min(u.data, u.free);
    return u;
}

std::string json_text(const std::string& s) { return json_quote(s); }

}  // namespace

int cmd_df(Cli& cli, const Args& a) {
    std::vector<Spec> specs;
    if (!open_specs(cli, a, true, &specs)) return 2;
    const bool json = a.has("json");
    std::printf(json ? "[" : "%-24s %10s %10s %10s %10s\n", "VOLUME", "BLOCKS", "USED", "FREE", "COUNTER");
    bool first = true;
    for (const Spec& s : specs) {
        Volume* v = cli.vols.get(s.image);
        if (!v) continue;
        const Usage u = usage_of(*v);
        if (json)
            std::printf("%s{\"volume\":%s,\"blocks\":%u,\"data_blocks\":%llu,\"used\":%llu,\"free\":%llu,\"counter\":%u}",
                        first ? "\n" : ",\n", json_text(s.image).c_str(), u.total,
                        static_cast<unsigned long long>(u.data), static_cast<unsigned long long>(u.used),
                        static_cast<unsigned long long>(u.free), u.counter);
        else
            std::printf("%-24s %10u %10llu %10llu %10u\n", s.image.c_str(), u.total,
                        static_cast<unsigned long long>(u.used), static_cast<unsigned long long>(u.free), u.counter);
        first = false;
    }
    if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    return 0;
}

namespace {

void count_entries(Volume& v, std::uint64_t* files, std::uint64_t* folders) {
    Folder root;
    *files = *folders = 0;
    if (folder_read_root(v, &root) != FsErr::ok) return;
    walk_tree(
        v, root, "/",
        [&](const Folder& f, const std::string&, int) {
            for (const auto& [slot, name] : folder_listing(f.image))
                ++*(entry_type(folder_entry(f, slot)) == TYPE_SUBDIR ? folders : files);
            return true;
        },
        {});
}

std::string label_of(const Volume& v) {
    std::string l(reinterpret_cast<const char*>(v.devid.data() + devid::LABEL), LABEL_LEN);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\0')) l.pop_back();
    return display_name(l);
}

void print_info(const std::string& image, Volume& v, bool json, bool first) {
    const Usage u = usage_of(v);
    const std::uint8_t* d = v.devid.data();
    std::uint64_t files = 0, folders = 0;
    count_entries(v, &files, &folders);
    const unsigned long long ds = data_start(u.total);
    if (json) {
        std::printf("%s{\"volume\":%s,\"label\":%s,\"sectors\":%u,\"heads\":%u,\"cylinders\":%u,"
                    "\"bytes_per_block\":%u,\"blocks\":%u,\"fat_blocks\":%llu,\"data_start\":%llu,"
                    "\"used\":%llu,\"free\":%llu,\"counter\":%u,\"files\":%llu,\"folders\":%llu}",
                    first ? "\n" : ",\n", json_text(image).c_str(), json_text(label_of(v)).c_str(),
                    be16_get(d + devid::SECTORS), be16_get(d + devid::HEADS), be16_get(d + devid::CYLINDERS),
                    be32_get(d + devid::BYTES_PER_BLOCK), u.total, ds - FAT_FIRST_BLOCK, ds,
                    static_cast<unsigned long long>(u.used), static_cast<unsigned long long>(u.free), u.counter,
                    static_cast<unsigned long long>(files), static_cast<unsigned long long>(folders));
        return;
    }
    std::printf("%svolume:    %s\nlabel:     %s\ngeometry:  %u sectors, %u heads, %u cylinders\n"
                "blocks:    %u of %u bytes\nFAT:       blocks 5-%llu\ndata:      blocks %llu-%u\n"
                "used:      %llu blocks\nfree:      %llu blocks (counter %u)\nentries:   %llu files, %llu folders\n",
                first ? "" : "\n", image.c_str(), label_of(v).c_str(), be16_get(d + devid::SECTORS),
                be16_get(d + devid::HEADS), be16_get(d + devid::CYLINDERS), u.total,
                be32_get(d + devid::BYTES_PER_BLOCK), ds - 1, ds, u.total - 1,
                static_cast<unsigned long long>(u.used), static_cast<unsigned long long>(u.free), u.counter,
                static_cast<unsigned long long>(files), static_cast<unsigned long long>(folders));
}

}  // namespace

int cmd_info(Cli& cli, const Args& a) {
    std::vector<Spec> specs;
    if (!open_specs(cli, a, true, &specs)) return 2;
    const bool json = a.has("json");
    if (json) std::fputs("[", stdout);
    bool first = true;
    for (const Spec& s : specs) {
        Volume* v = cli.vols.get(s.image);
        if (!v) continue;
        print_info(s.image, *v, json, first);
        first = false;
    }
    if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    return 0;
}

int cmd_cat(Cli& cli, const Args& a) {
    std::vector<Spec> specs;
    if (!open_specs(cli, a, false, &specs)) return 2;
    for (const Spec& s : specs) {
        Volume* v = cli.vols.get(s.image);
        std::vector<Match> m;
        if (!v || !matches(cli, *v, s, &m)) continue;
        for (const Match& x : m) {
            if (x.is_folder()) {
                cli.error(shown(s.image, x.path), fs_strerror(FsErr::is_folder));
                continue;
            }
            std::vector<BlockRun> runs;
            const std::uint8_t* e = x.entry.data();
            std::fflush(stdout);
            if (chain_map(*v, entry_start(e), entry_contiguous(e), entry_size(e), Direction::read, runs) < 0)
                cli.error(shown(s.image, x.path), fs_strerror(FsErr::damaged));
            else if (runs_to_host(*v, runs, STDOUT_FILENO) != 0)
                cli.error(shown(s.image, x.path), "could not be written out");
        }
    }
    return 0;
}

}  // namespace zvk
