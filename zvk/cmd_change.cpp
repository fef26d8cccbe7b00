// The commands that change volumes: cp, mv, rm, mkdir, ln, chtype, label.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audio_in.h"
#include "cli_int.h"
#include "edit.h"

namespace zvk {

namespace {

// The volume arguments of a command that changes them, opened (read-only
// for a dry run): false after saying why (2 or 3 in the status).
bool open_changing(Cli& cli, const std::vector<std::string>& args, std::vector<Spec>* specs) {
    for (const std::string& p : args) {
        Spec s;
        if (!volume_arg(cli, p, false, &s)) return false;
        cli.vols.want(s.image, !cli.dry_run);
        specs->push_back(s);
    }
    return cli.open_volumes();
}

bool copy_options(Cli& cli, const Args& a, CopyOptions* o) {
    o->recursive = a.has("recursive");
    o->dry_run = cli.dry_run;
    o->verbose = cli.verbose;
    o->audio = a.has("audio");
    o->mix = a.has("mix");
    if (a.has("no-clobber") && a.has("force")) return cli.usage_error("-n and -f exclude each other"), false;
    o->clash = a.has("no-clobber") ? Clash::skip : a.has("force") ? Clash::replace : Clash::stop;
    if (const std::string* t = a.value("type"); t && (!type_arg(*t, &o->type) || !valid_file_type(o->type)))
        return cli.usage_error("--type takes a file type, 1-255 but 2, 8 and 32"), false;
    if (o->mix && !o->audio) return cli.usage_error("--mix goes with --audio"), false;
    if (o->audio && !audio_available()) {
        cli.usage_error("this zvk was built without audio conversion (libsndfile)");
        return false;
    }
    return true;
}

// Locations of the sources (volume wildcards expanded) and of dst.
bool copy_ends(Cli& cli, const std::vector<Spec>& specs, std::vector<Location>* srcs, Location* dst) {
    for (std::size_t i = 0; i + 1 < specs.size(); ++i) {
        const Spec& s = specs[i];
        if (!s.volume) {
            Location l;
            l.path = s.path;
            l.slash = s.slash;
            srcs->push_back(l);
            continue;
        }
        std::vector<Match> m;
        if (!matches(cli, *cli.vols.get(s.image), s, &m)) continue;
        for (const Match& x : m) {
            Location l;
            l.vol = cli.vols.get(s.image);
            l.image = s.image;
            l.path = x.path;
            l.slash = s.slash || x.root;
            srcs->push_back(l);
        }
    }
    const Spec& d = specs.back();
    dst->vol = d.volume ? cli.vols.get(d.image) : nullptr;
    dst->image = d.image;
    dst->path = d.path;
    dst->slash = d.slash;
    return !srcs->empty();
}

}  // namespace

int cmd_cp(Cli& cli, const Args& a) {
    if (a.pos.size() < 2) return cli.usage_error("a source and a destination are needed");
    CopyOptions o;
    if (!copy_options(cli, a, &o)) return 2;
    if (const std::string p = o.audio ? audio_template_problem() : ""; !p.empty())
        return cli.error(p.substr(0, p.find(": ")), p.substr(p.find(": ") + 2)), 1;
    std::vector<Spec> specs;
    for (std::size_t i = 0; i < a.pos.size(); ++i) {
        specs.push_back(parse_spec(a.pos[i]));
        if (specs.back().volume) cli.vols.want(specs.back().image, i + 1 == a.pos.size() && !cli.dry_run);
    }
    if (!cli.open_volumes()) return 3;
    std::vector<Location> srcs;
    Location dst;
    if (!copy_ends(cli, specs, &srcs, &dst)) return 1;
    const CopyOutcome out = copy_tree(srcs, dst, o, cli.report());
    cli.bar.clear();
    if (cli.verbose && !cli.dry_run)
        cli.note(std::to_string(out.made) + " made, " + std::to_string(out.replaced) + " replaced, " +
                 std::to_string(out.skipped) + " skipped");
    return out.refused || out.failed ? 1 : 0;
}

namespace {

// Remove a host file or folder with everything below it (links not
// followed): 0 or an errno value.
int remove_host(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
    DIR* d = ::opendir(path.c_str());
    if (!d) return errno;
    int err = 0;
    while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 && err == 0)
            err = remove_host(path + "/" + e->d_name);
    ::closedir(d);
    return err ? err : ::rmdir(path.c_str()) == 0 ? 0 : errno;
}

// Take away the sources of a move once all of them were copied.
void remove_sources(Cli& cli, const std::vector<Location>& srcs) {
    for (const Location& l : srcs) {
        if (!l.vol) {
            if (int e = remove_host(l.path)) cli.error(l.path, std::strerror(e));
            continue;
        }
        Match m;
        Folder f;
        FsErr e = resolve(*l.vol, l.path, &m);
        if (e == FsErr::ok && m.root) continue;
        if (e == FsErr::ok) e = match_parent(*l.vol, m, &f);
        if (e != FsErr::ok) {
            cli.error(shown(l.image, l.path), fs_strerror(e));
            continue;
        }
        remove_entry_tree(*l.vol, f, m.slot, m.path, true,
                          [&](const std::string& p, const std::string& why) { cli.error(shown(l.image, p), why); });
    }
}

// A move between volumes or with the host: the copy, then, when all of it
// was made, the sources removed; otherwise they stay where they are.
int move_across(Cli& cli, const std::vector<Spec>& specs, Clash clash) {
    CopyOptions o;
    o.recursive = true;
    o.clash = clash;
    o.dry_run = cli.dry_run;
    o.verbose = cli.verbose;
    std::vector<Location> srcs;
    Location dst;
    if (!copy_ends(cli, specs, &srcs, &dst)) return 1;
    const CopyOutcome out = copy_tree(srcs, dst, o, cli.report());
    if (cli.dry_run) return out.refused || out.failed ? 1 : 0;
    if (out.refused || out.failed) {
        cli.note("zvk mv: the sources stay where they are");
        return 1;
    }
    if (out.skipped) {
        cli.note("zvk mv: " + std::to_string(out.skipped) + " items were there already; the sources stay where they are");
        return 0;
    }
    // What reached the host is durable before its sources go.
    if (!dst.vol) ::sync();
    remove_sources(cli, srcs);
    return cli.status;
}

}  // namespace

int cmd_mv(Cli& cli, const Args& a) {
    if (a.pos.size() < 2) return cli.usage_error("a source and a destination are needed");
    if (a.has("no-clobber") && a.has("force")) return cli.usage_error("-n and -f exclude each other");
    const Clash clash = a.has("no-clobber") ? Clash::skip : a.has("force") ? Clash::replace : Clash::stop;
    std::vector<Spec> specs;
    for (const std::string& p : a.pos) {
        specs.push_back(parse_spec(p));
        if (specs.back().volume) cli.vols.want(specs.back().image, !cli.dry_run);
    }
    if (!cli.open_volumes()) return 3;
    const Spec& d = specs.back();
    bool one_volume = true;
    for (const Spec& s : specs) one_volume = one_volume && s.volume && cli.vols.same(s.image, d.image);
    if (!one_volume) return move_across(cli, specs, clash);
    Volume& v = *cli.vols.get(d.image);
    std::vector<Match> all;
    for (std::size_t i = 0; i + 1 < specs.size(); ++i) {
        std::vector<Match> m;
        if (matches(cli, v, specs[i], &m)) all.insert(all.end(), m.begin(), m.end());
    }
    Match to;
    const bool many = all.size() > 1;
    if (many && (resolve(v, d.path, &to) != FsErr::ok || !to.is_folder()))
        return cli.error(shown(d.image, d.path), "not a folder (several sources go into a folder)"), 1;
    for (const Match& m : all) {
        Match fresh;
        if (FsErr e = resolve(v, m.path, &fresh); e != FsErr::ok) {
            cli.error(shown(d.image, m.path), fs_strerror(e));
            continue;
        }
        if (cli.dry_run) {
            std::printf("move %s -> %s\n", shown(d.image, m.path).c_str(), shown(d.image, d.path).c_str());
            continue;
        }
        const Result r = move_entry(v, fresh, d.path, d.slash || many, clash);
        if (!r.ok) cli.error(shown(d.image, r.path.empty() ? m.path : r.path), r.why);
    }
    return cli.status;
}

int cmd_rm(Cli& cli, const Args& a) {
    if (a.pos.empty()) return cli.usage_error("a volume path is needed");
    std::vector<Spec> specs;
    if (!open_changing(cli, a.pos, &specs)) return cli.status;
    const bool force = a.has("force"), recursive = a.has("recursive");
    for (const Spec& s : specs) {
        Volume& v = *cli.vols.get(s.image);
        std::vector<Match> m;
        if (expand(v, s.path, &m) != FsErr::ok) {
            if (!force) matches(cli, v, s, &m);
            continue;
        }
        for (const Match& x : m) {
            Match fresh;
            if (resolve(v, x.path, &fresh) != FsErr::ok) {
                if (!force) cli.error(shown(s.image, x.path), fs_strerror(FsErr::no_entry));
                continue;
            }
            if (fresh.root) {
                cli.error(shown(s.image, "/"), "the root cannot be removed (rm -r IMAGE:/* empties it)");
                continue;
            }
            if (cli.dry_run) {
                std::printf("remove %s%s\n", shown(s.image, x.path).c_str(), fresh.is_folder() ? "/" : "");
                continue;
            }
            Folder f;
            if (FsErr e = match_parent(v, fresh, &f); e != FsErr::ok) {
                cli.error(shown(s.image, x.path), fs_strerror(e));
                continue;
            }
            remove_entry_tree(v, f, fresh.slot, x.path, recursive,
                              [&](const std::string& p, const std::string& why) { cli.error(shown(s.image, p), why); });
        }
    }
    return cli.status;
}

int cmd_mkdir(Cli& cli, const Args& a) {
    if (a.pos.empty()) return cli.usage_error("a volume path is needed");
    std::vector<Spec> specs;
    if (!open_changing(cli, a.pos, &specs)) return cli.status;
    for (const Spec& s : specs) {
        Volume& v = *cli.vols.get(s.image);
        if (cli.dry_run) {
            std::printf("make folder %s\n", s.text.c_str());
            continue;
        }
        Result r;
        if (a.has("parents")) {
            r = make_folders(v, s.path);
        } else {
            std::string path = s.path;
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            const std::size_t cut = path.rfind('/');
            Folder parent;
            const FsErr e = fs_open_folder(v, cut == 0 ? "/" : path.substr(0, cut), &parent);
            if (e != FsErr::ok || path == "/") {
                cli.error(s.text, path == "/" ? fs_strerror(FsErr::exists) : fs_strerror(e));
                continue;
            }
            r = make_folder_in(v, parent, path.substr(cut + 1), path, false);
        }
        if (!r.ok) cli.error(shown(s.image, r.path.empty() ? s.path : r.path), r.why);
    }
    return cli.status;
}

namespace {

// The folder and name a link or move goes to: to names a folder (the
// entry keeps its name there) or the new path.
bool target_of(Cli& cli, Volume& v, const Spec& to, const RawName& own, Folder* into, RawName* raw) {
    Match m;
    FsErr e = resolve(v, to.path, &m);
    if (e == FsErr::ok && m.is_folder()) {
        *raw = own;
        e = match_folder(v, m, into);
    } else if (e == FsErr::ok) {
        e = FsErr::exists;
    } else if (e == FsErr::no_entry) {
        std::string path = to.path;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::size_t cut = path.rfind('/');
        std::string why;
        if (!name_for_entry(path.substr(cut + 1), raw, &why)) return cli.error(to.text, why), false;
        e = fs_open_folder(v, cut == 0 ? "/" : path.substr(0, cut), into);
    }
    if (e != FsErr::ok) cli.error(to.text, fs_strerror(e));
    return e == FsErr::ok;
}

}  // namespace

int cmd_ln(Cli& cli, const Args& a) {
    if (a.pos.size() != 2) return cli.usage_error("EXISTING and NEW are needed");
    std::vector<Spec> specs;
    if (!open_changing(cli, a.pos, &specs)) return cli.status;
    if (!cli.vols.same(specs[0].image, specs[1].image)) return cli.usage_error("a link stays on its volume");
    Volume& v = *cli.vols.get(specs[0].image);
    std::vector<Match> m;
    if (!matches(cli, v, specs[0], &m)) return 1;
    if (m.size() != 1) return cli.error(specs[0].text, "names more than one entry"), 1;
    if (m[0].is_folder()) return cli.error(specs[0].text, "is a folder (only files are linked)"), 1;
    RawName own, raw;
    std::memcpy(own.data(), m[0].entry.data() + entry_field::NAME, NAME_LEN);
    Folder into;
    if (!target_of(cli, v, specs[1], own, &into, &raw)) return 1;
    if (folder_find_raw(into, raw) >= 0) return cli.error(specs[1].text, fs_strerror(FsErr::exists)), 1;
    if (cli.dry_run) return std::printf("link %s -> %s\n", specs[1].text.c_str(), specs[0].text.c_str()), 0;
    NewEntry n;
    n.name = raw;
    n.type = m[0].type();
    n.size = entry_size(m[0].entry.data());
    n.blocks = n.size ? n.size : 1;
    n.contiguous = entry_contiguous(m[0].entry.data());
    n.first = m[0].start();
    const int slot = folder_free_slot(into);
    const FsErr e = slot < 0 ? FsErr::bad_slot : fs_create(v, into, slot, n, {});
    if (e != FsErr::ok) cli.error(specs[1].text, fs_strerror(e));
    return cli.status;
}

int cmd_chtype(Cli& cli, const Args& a) {
    int type = 0;
    if (a.pos.size() < 2) return cli.usage_error("a type and a volume path are needed");
    if (!type_arg(a.pos[0], &type)) return cli.usage_error("the type is 1-255 but 2 and 8");
    std::vector<Spec> specs;
    if (!open_changing(cli, {a.pos.begin() + 1, a.pos.end()}, &specs)) return cli.status;
    for (const Spec& s : specs) {
        Volume& v = *cli.vols.get(s.image);
        std::vector<Match> m;
        if (!matches(cli, v, s, &m)) continue;
        for (const Match& x : m) {
            Folder f;
            if (x.is_folder()) {
                cli.error(shown(s.image, x.path), "is a folder (its type stays)");
                continue;
            }
            if (cli.dry_run) {
                std::printf("type %d for %s\n", type, shown(s.image, x.path).c_str());
                continue;
            }
            std::array<std::uint8_t, DIR_ENTRY_SIZE> e = x.entry;
            e[entry_field::TYPE] = static_cast<std::uint8_t>(type);
            FsErr r = match_parent(v, x, &f);
            if (r == FsErr::ok) r = fs_update(v, f, x.slot, e.data());
            if (r != FsErr::ok) cli.error(shown(s.image, x.path), fs_strerror(r));
        }
    }
    return cli.status;
}

int cmd_label(Cli& cli, const Args& a) {
    if (a.pos.empty() || a.pos.size() > 2) return cli.usage_error("IMAGE and at most a NAME");
    Spec s;
    if (!volume_arg(cli, a.pos[0], true, &s)) return 2;
    const bool set = a.pos.size() == 2;
    if (set && a.pos[1].size() > LABEL_LEN) return cli.error(a.pos[1], "a label holds at most 7 bytes"), 1;
    cli.vols.want(s.image, set && !cli.dry_run);
    if (!cli.open_volumes()) return 3;
    Volume& v = *cli.vols.get(s.image);
    std::uint8_t* l = v.devid.data() + devid::LABEL;
    if (!set) {
        std::string text(reinterpret_cast<const char*>(l), LABEL_LEN);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
        std::printf("%s\n", display_name(text).c_str());
        return 0;
    }
    if (cli.dry_run) return std::printf("label %s %s\n", s.image.c_str(), a.pos[1].c_str()), 0;
    std::memset(l, ' ', LABEL_LEN);
    for (std::size_t i = 0; i < a.pos[1].size(); ++i) {
        const char c = a.pos[1][i];
        l[i] = static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (label_write(v) != 0) cli.error(s.image, "the label could not be written");
    return cli.status;
}

}  // namespace zvk
