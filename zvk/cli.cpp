// The command table, the options of each command, and the run's helpers.
#include "cli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli_int.h"
#include "console.h"

#if ZVK_HAVE_SERVE
#include "serve.h"
#endif

namespace zvk {

namespace {

struct Option {
    char letter;       // 0: long only
    const char* name;  // the long name, the key in Args
    bool value;
};

constexpr Option COMMON[] = {{'q', "quiet", false}, {'v', "verbose", false}, {'h', "help", false}};

using Handler = int (*)(Cli&, const Args&);

struct Command {
    const char* name;
    const char* usage;
    std::vector<Option> options;
    Handler run;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"ls", "ls [-l] [-R] [--json] PATH...", {{'l', "long", false}, {'R', "recursive", false}, {0, "json", false}}, cmd_ls},
        {"tree", "tree PATH...", {}, cmd_tree},
        {"df", "df [--json] IMAGE...", {{0, "json", false}}, cmd_df},
        {"info", "info [--json] IMAGE...", {{0, "json", false}}, cmd_info},
        {"cat", "cat FILE...", {}, cmd_cat},
        {"cp", "cp [-r] [-n | -f] [--type N] [--audio [--mix]] [--dry-run] SRC... DST",
         {{'r', "recursive", false}, {'R', "recursive", false}, {'n', "no-clobber", false}, {'f', "force", false},
          {0, "type", true}, {0, "audio", false}, {0, "mix", false}, {0, "dry-run", false}},
         cmd_cp},
        {"mv", "mv [-n | -f] [--dry-run] SRC... DST",
         {{'n', "no-clobber", false}, {'f', "force", false}, {0, "dry-run", false}}, cmd_mv},
        {"rm", "rm [-r] [-f] [--dry-run] PATH...",
         {{'r', "recursive", false}, {'R', "recursive", false}, {'f', "force", false}, {0, "dry-run", false}}, cmd_rm},
        {"mkdir", "mkdir [-p] [--dry-run] PATH...", {{'p', "parents", false}, {0, "dry-run", false}}, cmd_mkdir},
        {"ln", "ln [--dry-run] EXISTING NEW", {{0, "dry-run", false}}, cmd_ln},
        {"chtype", "chtype [--dry-run] N PATH...", {{0, "dry-run", false}}, cmd_chtype},
        {"label", "label [--dry-run] IMAGE [NAME]", {{0, "dry-run", false}}, cmd_label},
        {"export", "export PATH ARCHIVE", {}, cmd_export},
        {"import", "import [-n | -f] [--type N] [--audio [--mix]] [--dry-run] ARCHIVE PATH",
         {{'n', "no-clobber", false}, {'f', "force", false}, {0, "type", true}, {0, "audio", false},
          {0, "mix", false}, {0, "dry-run", false}},
         cmd_import},
        {"format", "format IMAGE (--blocks N | --geometry S,H,C) [--label NAME] [--from DIR] [--force] [--dry-run]",
         {{0, "blocks", true}, {0, "geometry", true}, {0, "label", true}, {0, "from", true}, {0, "force", false},
          {0, "dry-run", false}},
         cmd_format},
    };
    return table;
}

void print_usage(std::FILE* to) {
    std::fputs("usage: zvk [-q | -v] COMMAND [OPTIONS] ARGS...\n"
               "A volume path is IMAGE:/PATH; anything else is a host path.\ncommands:\n",
               to);
    for (const Command& c : commands()) std::fprintf(to, "  zvk %s\n", c.usage);
    std::fputs("  zvk serve [OPTIONS] IMAGE...\n  zvk help [COMMAND]\n", to);
}

const Option* find_option(const Command& c, char letter, std::string_view name) {
    for (const auto* list : {&c.options}) {
        for (const Option& o : *list)
            if (letter ? o.letter == letter : name == o.name) return &o;
    }
    for (const Option& o : COMMON)
        if (letter ? o.letter == letter : name == o.name) return &o;
    return nullptr;
}

// Take the value of o from "--name=VALUE" or the next argument.
bool take_value(const Option& o, std::string_view inline_value, bool has_inline, int argc, char** argv, int* i,
                Args* a) {
    if (!o.value) {
        a->flags.emplace_back(o.name);
        return !has_inline;
    }
    if (has_inline) a->values[o.name] = std::string(inline_value);
    else if (*i + 1 < argc) a->values[o.name] = argv[++*i];
    else return false;
    return true;
}

// Parse the arguments after the command word: false after a usage message.
bool parse(Cli& cli, const Command& c, int argc, char** argv, Args* a) {
    bool options = true;
    for (int i = 0; i < argc; ++i) {
        const std::string_view t = argv[i];
        if (!options || t.size() < 2 || t[0] != '-') {
            a->pos.emplace_back(t);
            continue;
        }
        if (t == "--") {
            options = false;
            continue;
        }
        if (t[1] == '-') {
            const std::size_t eq = t.find('=');
            const std::string_view name = t.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
            const Option* o = find_option(c, 0, name);
            const bool has_inline = eq != std::string_view::npos;
            if (!o || !take_value(*o, has_inline ? t.substr(eq + 1) : "", has_inline, argc, argv, &i, a))
                return cli.usage_error(o ? "option --" + std::string(name) + " takes " + (o->value ? "a value" : "no value")
                                         : "unknown option --" + std::string(name)), false;
            continue;
        }
        for (std::size_t k = 1; k < t.size(); ++k) {
            const Option* o = find_option(c, t[k], "");
            if (!o) return cli.usage_error(std::string("unknown option -") + t[k]), false;
            if (o->value && k + 1 < t.size()) return cli.usage_error(std::string("option -") + t[k] + " takes a value"), false;
            if (!take_value(*o, "", false, argc, argv, &i, a))
                return cli.usage_error(std::string("option -") + t[k] + " takes a value"), false;
        }
    }
    return true;
}

// The streams of the layer: its message lines are zvkfm's, which zvk
// replaces by its own "error: PATH: reason"; -v shows them too.
void setup_console(bool verbose) {
    static std::FILE* sink = nullptr;
    if (verbose) {
        console.err = stderr;
        return;
    }
    if (!sink) sink = std::fopen("/dev/null", "w");
    console.err = sink ? sink : stderr;
}

int run_serve(int argc, char** argv) {
#if ZVK_HAVE_SERVE
    return serve_main(argc, argv);
#else
    (void)argc;
    (void)argv;
    std::fputs("zvk serve: this zvk was built without the server\n", stderr);
    return 2;
#endif
}

int help(int argc, char** argv) {
    if (argc > 0)
        for (const Command& c : commands())
            if (std::strcmp(c.name, argv[0]) == 0) {
                std::printf("usage: zvk %s\n", c.usage);
                return 0;
            }
    print_usage(stdout);
    return 0;
}

}  // namespace

bool Args::has(const char* flag) const {
    for (const std::string& f : flags)
        if (f == flag) return true;
    return false;
}

const std::string* Args::value(const char* name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
}

void Cli::error(const std::string& path, const std::string& why) {
    bar.clear();
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s: %s\n", path.c_str(), why.c_str());
    raise(1);
}

void Cli::note(const std::string& line) {
    if (quiet) return;
    bar.clear();
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

int Cli::usage_error(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "zvk %s: %s\nusage: zvk %s\n", command, what.c_str(), usage);
    raise(2);
    return 2;
}

bool Cli::open_volumes() {
    std::vector<std::string> why;
    if (vols.open_all(&why)) return true;
    for (const std::string& w : why) {
        const std::size_t tab = w.find('\t');
        std::fflush(stdout);
        std::fprintf(stderr, "error: %s: %s\n", w.substr(0, tab).c_str(), w.substr(tab + 1).c_str());
    }
    raise(3);
    return false;
}

Report Cli::report() {
    Report r;
    r.error = [this](const std::string& path, const std::string& why) { error(path, why); };
    r.say = [this](const std::string& line) {
        bar.clear();
        std::printf("%s\n", line.c_str());
    };
    r.progress = [this](const Progress& p) { bar.update(p); };
    return r;
}

bool volume_arg(Cli& cli, const std::string& arg, bool bare, Spec* s) {
    *s = parse_spec(arg);
    if (s->volume) return true;
    if (bare && !arg.empty()) {
        s->volume = true;
        s->image = arg;
        s->path = "/";
        s->slash = true;
        return true;
    }
    cli.usage_error("'" + arg + "' is not a volume path (IMAGE:/PATH)");
    return false;
}

bool matches(Cli& cli, Volume& v, const Spec& s, std::vector<Match>* out) {
    const FsErr e = expand(v, s.path, out);
    if (e == FsErr::ok) return true;
    cli.error(s.text, e == FsErr::no_entry && has_wildcard(s.path) ? "no match" : fs_strerror(e));
    return false;
}

bool type_arg(const std::string& text, int* type) {
    char* end = nullptr;
    const long t = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || t < 1 || t > 255 || t == TYPE_SUBDIR || t == TYPE_PARENT) return false;
    *type = static_cast<int>(t);
    return true;
}

}  // namespace zvk

int zvk_main(int argc, char** argv) {
    using namespace zvk;
    Cli cli;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1]; ++i) {
        const std::string_view t = argv[i];
        if (t == "-q" || t == "--quiet") cli.quiet = true;
        else if (t == "-v" || t == "--verbose") cli.verbose = true;
        else if (t == "-h" || t == "--help") return help(0, nullptr);
        else if (t == "--version") return std::puts("zvk 1.0"), 0;
        else return std::fprintf(stderr, "zvk: unknown option %s\n", argv[i]), print_usage(stderr), 2;
    }
    if (i >= argc) return print_usage(stderr), 2;
    const std::string_view word = argv[i];
    if (word == "serve") return run_serve(argc - i, argv + i);
    if (word == "help") return help(argc - i - 1, argv + i + 1);
    for (const Command& c : commands()) {
        if (word != c.name) continue;
        cli.command = c.name;
        cli.usage = c.usage;
        Args a;
        if (!parse(cli, c, argc - i - 1, argv + i + 1, &a)) return 2;
        if (a.has("help")) return std::printf("usage: zvk %s\n", c.usage), 0;
        cli.quiet = cli.quiet || a.has("quiet");
        cli.verbose = cli.verbose || a.has("verbose");
        cli.dry_run = a.has("dry-run");
        setup_console(cli.verbose);
        cli.bar.enable(!cli.quiet);
        const int r = c.run(cli, a);
        cli.raise(r);
        cli.bar.clear();
        std::fflush(stdout);
        return cli.status;
    }
    std::fprintf(stderr, "zvk: unknown command '%s'\n", argv[i]);
    print_usage(stderr);
    return 2;
}
