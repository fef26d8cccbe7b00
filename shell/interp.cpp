#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "console.h"
#include "dircmd.h"
#include "entry.h"
#include "fat.h"
#include "lineedit.h"
#include "path.h"
#include "shell.h"

namespace {

// One way of calling a command: an optional leading word (a flag such as
// "-t"), then a number of words (ANY: whatever follows; NONE: no such form).
struct Form {
    const char* flag;
    int words;
};
constexpr int ANY = -1;
constexpr int NONE = -2;
constexpr Form ANY_WORDS{nullptr, ANY}, NO_FORM{nullptr, NONE};
constexpr Form W0{nullptr, 0}, W1{nullptr, 1}, W2{nullptr, 2}, W3{nullptr, 3};

// Runs a command called in form 0 or 1 with its words after the flag.
using Handler = void (*)(Fs& fs, int form, char** arg);

struct Command {
    const char* name;
    const char* usage;  // printed when no form fits; aliases share it
    Form forms[2];
    Handler run;        // nullptr: the command ends the session
    // What Tab completes for each argument word: 'n' an entry number of the
    // working directory, 'h' a host file name, '-' nothing.
    const char* completes;
};

std::uint32_t entry_nr(const char* s) { return static_cast<std::uint32_t>(command_number(s)); }
std::uint8_t type_nr(const char* s) { return static_cast<std::uint8_t>(command_number(s)); }

void rm_entry_only(Fs& fs, const char* arg) {
    err_print("warning: if there is no further link to that file\n");
    err_print("         its blocks will be lost!\n");
    if (!confirm("If you really want to delete the directory entry type `y' >")) return;
    if (entry_delete(fs, entry_nr(arg), 0) == 0) err_print("directory entry deleted!\n");
}

void ln_confirmed(Fs& fs, const char* arg) {
    err_print("warning: the new directory entry points to the same file.\n");
    err_print("         Be careful if you want to delete such a file.\n");
    err_print("         (Remove the directory entry only for a link count>1!).\n");
    if (!confirm("If you really want to create a new entry type `y' >")) return;
    if (cmd_ln(fs, entry_nr(arg)) == 0) err_print("link created!\n");
}

void cmd_help();

// The handlers of the table: the words as each command takes them.
void run_sync(Fs& fs, int, char**) {
    fat_flush(fs.vol);
    volume_sync(fs.vol);
}
void run_ls(Fs& fs, int form, char**) { form == 0 ? cmd_ls(fs) : cmd_types(); }
void run_pwd(Fs& fs, int, char**) { cmd_pwd(fs); }
void run_cd(Fs& fs, int form, char** a) { dir_change(fs, form == 0 ? -1 : command_number(a[0])); }
void run_fatlist(Fs& fs, int, char** a) { cmd_fatlist(fs, entry_nr(a[0])); }
void run_rm(Fs& fs, int form, char** a) { form == 0 ? void(cmd_rm(fs, entry_nr(a[0]))) : rm_entry_only(fs, a[0]); }
void run_mv(Fs& fs, int, char** a) { cmd_mv(fs, entry_nr(a[0]), entry_nr(a[1])); }
void run_ln(Fs& fs, int, char** a) { ln_confirmed(fs, a[0]); }
void run_cp(Fs& fs, int, char** a) { cmd_cp(fs, command_number(a[0]), a[1]); }
void run_rmdir(Fs& fs, int, char** a) { cmd_rmdir(fs, entry_nr(a[0])); }
void run_mkdir(Fs& fs, int, char** a) { cmd_mkdir(fs, a[0]); }
void run_chname(Fs& fs, int, char** a) { cmd_chname(fs, a[0], entry_nr(a[1])); }
void run_chtype(Fs& fs, int, char** a) { cmd_chtype(fs, type_nr(a[0]), entry_nr(a[1])); }
void run_label(Fs& fs, int, char**) { cmd_label(fs); }
void run_df(Fs& fs, int form, char**) { cmd_df(fs, form == 1); }
void run_chlabel(Fs& fs, int form, char** a) { cmd_chlabel(fs, form == 0 ? nullptr : a[0]); }
void run_newfs(Fs& fs, int, char**) { cmd_newfs(fs); }
void run_get(Fs& fs, int, char** a) { cmd_get(fs, command_number(a[0]), a[1]); }
// put FILE TYPE names the new file after the host file.
void run_put(Fs& fs, int form, char** a) { import_host_file(fs, a[0], a[form], type_nr(a[form + 1]), false); }
void run_loados(Fs& fs, int, char** a) { import_host_file(fs, a[0], a[1], 0, true); }
void run_help(Fs&, int, char**) { cmd_help(); }

constexpr const char* USAGE_EXIT = "usage: exit (=q, bye)\n";
constexpr const char* USAGE_LS = "usage: ls [-t] (=dir)\n";
constexpr const char* USAGE_RM = "usage: rm [-e] <filenr.> (=del)\n";
constexpr const char* USAGE_CP = "usage: cp <src.filenr.> <dest.name> (=copy)\n";
constexpr const char* USAGE_GET = "usage: get <inp.filenr.> <out.filename> (=save, export)\n";
constexpr const char* USAGE_PUT = "usage: put <inp.filename> [<out.filename>] <out.typeid> (=load, import)\n";

// Aliases are rows of their own, after the command they stand for.
constexpr Command COMMANDS[] = {
    {"exit", USAGE_EXIT, {ANY_WORDS, NO_FORM}, nullptr, ""},
    {"q", USAGE_EXIT, {ANY_WORDS, NO_FORM}, nullptr, ""},
    {"bye", USAGE_EXIT, {ANY_WORDS, NO_FORM}, nullptr, ""},
    {"sync", "usage: sync\n", {ANY_WORDS, NO_FORM}, run_sync, ""},
    {"ls", USAGE_LS, {W0, {"-t", 0}}, run_ls, ""},
    {"dir", USAGE_LS, {W0, {"-t", 0}}, run_ls, ""},
    {"pwd", "usage: pwd\n", {ANY_WORDS, NO_FORM}, run_pwd, ""},
    {"cd", "usage: cd [<dir.nr.>|..]\n", {W0, W1}, run_cd, "n"},
    {"fatlist", "usage: fatlist <filenr.>\n", {W1, NO_FORM}, run_fatlist, "n"},
    {"rm", USAGE_RM, {W1, {"-e", 1}}, run_rm, "nn"},
    {"del", USAGE_RM, {W1, {"-e", 1}}, run_rm, "nn"},
    {"mv", "usage: mv <src.filenr.> <dest.dir.nr.>\n", {W2, NO_FORM}, run_mv, "nn"},
    {"ln", "usage: ln <clone.filenr.>\n", {W1, NO_FORM}, run_ln, "n"},
    {"cp", USAGE_CP, {W2, NO_FORM}, run_cp, "n"},
    {"copy", USAGE_CP, {W2, NO_FORM}, run_cp, "n"},
    {"rmdir", "usage: rmdir <filenr.>\n", {W1, NO_FORM}, run_rmdir, "n"},
    {"mkdir", "usage: mkdir <dir.name>\n", {W1, NO_FORM}, run_mkdir, ""},
    {"chname", "usage: chname <filename> <filenr.>\n", {W2, NO_FORM}, run_chname, "-n"},
    {"chtype", "usage: chtype <typeid> <filenr.>\n", {W2, NO_FORM}, run_chtype, "-n"},
    {"label", "usage: label\n", {ANY_WORDS, NO_FORM}, run_label, ""},
    {"df", "usage: df [-c]\n", {W0, {"-c", 0}}, run_df, ""},
    {"chlabel", "usage: chlabel [<disk label>]\n", {W0, W1}, run_chlabel, ""},
    {"newfs", "usage: newfs\n", {W0, NO_FORM}, run_newfs, ""},
    {"get", USAGE_GET, {W2, NO_FORM}, run_get, "nh"},
    {"save", USAGE_GET, {W2, NO_FORM}, run_get, "nh"},
    {"export", USAGE_GET, {W2, NO_FORM}, run_get, "nh"},
    {"put", USAGE_PUT, {W2, W3}, run_put, "h"},
    {"load", USAGE_PUT, {W2, W3}, run_put, "h"},
    {"import", USAGE_PUT, {W2, W3}, run_put, "h"},
    {"loados", "usage: loados <inp.filename> <out.filename>\n", {W2, NO_FORM}, run_loados, "h"},
    {"help", "usage: help\n", {ANY_WORDS, NO_FORM}, run_help, ""},
};

constexpr int LINE_SIZE = 512;  // lines of at most 511 characters
constexpr int MAX_ARGS = 15;

void print_banner() {
    err_print("\n*************************************\n");
    err_print("*                                   *\n");
    err_print("*  Zorvek File Manager              *\n");
    err_print("*  Rev. 1.0                         *\n");
    err_print("*                                   *\n");
    err_print("*************************************\n\n");
    err_print("try \"help\" for infos\n\n");
}

// Every command's usage line once, aliases with the command before them.
void cmd_help() {
    for (std::size_t i = 0; i < std::size(COMMANDS); ++i)
        if (i == 0 || COMMANDS[i].usage != COMMANDS[i - 1].usage) out_print("%s", COMMANDS[i].usage);
}

// Write the changed FAT blocks back and make the volume durable.
void volume_finish(Fs& fs) {
    fat_flush(fs.vol);
    volume_sync(fs.vol);
}

void on_signal(int sig) { console_signal = sig; }

}  // namespace

void zvkfm_install_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a waiting read returns so the loop can end
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// The form of cmd that argc words fit (the first that does), or -1.
int form_of(const Command& cmd, int argc, char** arg) {
    for (int i = 0; i < 2; ++i) {
        const Form& f = cmd.forms[i];
        if (f.words == ANY) return i;
        const int flag = f.flag ? 1 : 0;
        if (f.words != NONE && argc == flag + f.words && (!f.flag || std::strcmp(arg[0], f.flag) == 0)) return i;
    }
    return -1;
}

// Run one command, or print its usage line when its words fit no form; the
// command ends with the FAT written back unless a layer operation made
// that its own last step. False when the session is to end.
bool dispatch(Fs& fs, const Command& cmd, int argc, char** arg) {
    const int form = form_of(cmd, argc, arg);
    if (form >= 0 && !cmd.run) return false;
    const std::uint64_t ends = fs.vol.command_ends;
    if (form < 0)
        err_print("%s", cmd.usage);
    else
        cmd.run(fs, form, arg + (cmd.forms[form].flag ? 1 : 0));
    if (fs.vol.command_ends == ends) fat_command_end(fs.vol);
    return true;
}

// Start-up: the volume and its root. 0, or -1 when the session cannot start.
int attach(Fs& fs, const char* path) {
    if (volume_open(fs.vol, path) != 0) return -1;
    if (total_blocks(fs.vol) <= 5) {
        // Too small for a file system: a new disk or an all-zero image that
        // chlabel and newfs can make usable.
        err_print("warning: no file system, use `chlabel' and `newfs'.\n");
        fs.wd.image.fill(0);
        fs.wd.loaded = false;
        return 0;
    }
    return dir_reset_root(fs) == 0 ? 0 : -1;
}

int end_status() { return console_signal ? 128 + console_signal : 0; }

const Command* find_command(const char* name) {
    for (const Command& cmd : COMMANDS)
        if (std::strcmp(cmd.name, name) == 0) return &cmd;
    return nullptr;
}

}  // namespace

bool confirm(const char* question) { return read_answer_char(question) == 'y'; }

const char* command_name(int i) {
    return i >= 0 && i < static_cast<int>(std::size(COMMANDS)) ? COMMANDS[i].name : nullptr;
}

const char* command_arg_kinds(const char* name) {
    for (const Command& cmd : COMMANDS)
        if (std::strcmp(cmd.name, name) == 0) return cmd.completes;
    return nullptr;
}

int zvkfm_main(int argc, char** argv) {
    if (argc < 2) {
        out_print("usage: %s <device/image file>\n", argc > 0 ? argv[0] : "zvkfm");
        std::fflush(console.out);
        return 255;
    }
    print_banner();
    auto fs = std::make_unique<Fs>();
    if (attach(*fs, argv[1]) != 0) return 255;

    lineedit_begin([&fs = *fs](std::string_view before) { return complete_line(fs, before); });
    char line[LINE_SIZE];
    for (;;) {
        if (console_signal) break;
        if (!read_command("zvk > ", line, LINE_SIZE)) break;
        char* words[MAX_ARGS + 1];
        int nwords = 0;
        char* save = nullptr;
        for (char* w = strtok_r(line, " \t\n", &save); w && nwords <= MAX_ARGS; w = strtok_r(nullptr, " \t\n", &save))
            words[nwords++] = w;
        if (nwords == 0) continue;
        const Command* cmd = find_command(words[0]);
        if (!cmd) {
            err_print("invalid command. (Try `help'.)\n");
            continue;
        }
        if (!dispatch(*fs, *cmd, nwords - 1, words + 1)) break;
    }
    lineedit_end();
    volume_finish(*fs);
    std::fflush(console.out);
    return end_status();
}
