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

struct CommandEntry {
    const char* name;
    const char* usage;
    int id;
    // What Tab completes for each argument word: 'n' an entry number of the
    // working directory, 'h' a host file name, '-' nothing.
    const char* completes;
};

constexpr const char* USAGE_EXIT = "usage: exit (=q, bye)\n";
constexpr const char* USAGE_LS = "usage: ls [-t] (=dir)\n";
constexpr const char* USAGE_RM = "usage: rm [-e] <filenr.> (=del)\n";
constexpr const char* USAGE_CP = "usage: cp <src.filenr.> <dest.name> (=copy)\n";
constexpr const char* USAGE_GET = "usage: get <inp.filenr.> <out.filename> (=save, export)\n";
constexpr const char* USAGE_PUT = "usage: put <inp.filename> [<out.filename>] <out.typeid> (=load, import)\n";

enum CommandId {
    CMD_EXIT, CMD_SYNC, CMD_LS, CMD_PWD, CMD_CD, CMD_FATLIST, CMD_RM, CMD_MV, CMD_LN, CMD_CP, CMD_RMDIR,
    CMD_MKDIR, CMD_CHNAME, CMD_CHTYPE, CMD_LABEL, CMD_DF, CMD_CHLABEL, CMD_NEWFS, CMD_GET, CMD_PUT,
    CMD_LOADOS, CMD_HELP, CMD_NONE
};

constexpr CommandEntry COMMANDS[] = {
    {"exit", USAGE_EXIT, CMD_EXIT, ""},
    {"q", USAGE_EXIT, CMD_EXIT, ""},
    {"bye", USAGE_EXIT, CMD_EXIT, ""},
    {"sync", "usage: sync\n", CMD_SYNC, ""},
    {"ls", USAGE_LS, CMD_LS, ""},
    {"dir", USAGE_LS, CMD_LS, ""},
    {"pwd", "usage: pwd\n", CMD_PWD, ""},
    {"cd", "usage: cd [<dir.nr.>|..]\n", CMD_CD, "n"},
    {"fatlist", "usage: fatlist <filenr.>\n", CMD_FATLIST, "n"},
    {"rm", USAGE_RM, CMD_RM, "nn"},
    {"del", USAGE_RM, CMD_RM, "nn"},
    {"mv", "usage: mv <src.filenr.> <dest.dir.nr.>\n", CMD_MV, "nn"},
    {"ln", "usage: ln <clone.filenr.>\n", CMD_LN, "n"},
    {"cp", USAGE_CP, CMD_CP, "n"},
    {"copy", USAGE_CP, CMD_CP, "n"},
    {"rmdir", "usage: rmdir <filenr.>\n", CMD_RMDIR, "n"},
    {"mkdir", "usage: mkdir <dir.name>\n", CMD_MKDIR, ""},
    {"chname", "usage: chname <filename> <filenr.>\n", CMD_CHNAME, "-n"},
    {"chtype", "usage: chtype <typeid> <filenr.>\n", CMD_CHTYPE, "-n"},
    {"label", "usage: label\n", CMD_LABEL, ""},
    {"df", "usage: df [-c]\n", CMD_DF, ""},
    {"chlabel", "usage: chlabel [<disk label>]\n", CMD_CHLABEL, ""},
    {"newfs", "usage: newfs\n", CMD_NEWFS, ""},
    {"get", USAGE_GET, CMD_GET, "nh"},
    {"save", USAGE_GET, CMD_GET, "nh"},
    {"export", USAGE_GET, CMD_GET, "nh"},
    {"put", USAGE_PUT, CMD_PUT, "h"},
    {"load", USAGE_PUT, CMD_PUT, "h"},
    {"import", USAGE_PUT, CMD_PUT, "h"},
    {"loados", "usage: loados <inp.filename> <out.filename>\n", CMD_LOADOS, "h"},
    {"help", "usage: help\n", CMD_HELP, ""},
    {nullptr, nullptr, CMD_NONE, nullptr},
};

constexpr int LINE_SIZE = 512;  // lines of at most 511 characters
constexpr int MAX_ARGS = 15;

std::uint32_t entry_nr(const char* s) { return static_cast<std::uint32_t>(command_number(s)); }

void print_banner() {
    err_print("\n*************************************\n");
    err_print("*                                   *\n");
    err_print("*  Zorvek File Manager              *\n");
    err_print("*  Rev. 1.0                         *\n");
    err_print("*                                   *\n");
    err_print("*************************************\n\n");
    err_print("try \"help\" for infos\n\n");
}

void cmd_help() {
    for (int i = 0; COMMANDS[i].name; ++i)
        if (i == 0 || COMMANDS[i].id != COMMANDS[i - 1].id) out_print("%s", COMMANDS[i].usage);
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

// Run one command; false when the session is to end.
bool dispatch(Fs& fs, const CommandEntry& cmd, int argc, char** arg) {
    bool ok = true;  // argument form accepted
    switch (cmd.id) {
    case CMD_EXIT: return false;
    case CMD_SYNC: fat_flush(fs.vol); volume_sync(fs.vol); break;
    case CMD_LS:
        if (argc == 0) cmd_ls(fs);
        else if (argc == 1 && std::strcmp(arg[0], "-t") == 0) cmd_types();
        else ok = false;
        break;
    case CMD_PWD: cmd_pwd(fs); break;
    case CMD_CD:
        if (argc == 0) dir_change(fs, -1);
        else if (argc == 1) dir_change(fs, command_number(arg[0]));
        else ok = false;
        break;
    case CMD_FATLIST:
        if ((ok = argc == 1)) cmd_fatlist(fs, entry_nr(arg[0]));
        break;
    case CMD_RM:
        if (argc == 1) cmd_rm(fs, entry_nr(arg[0]));
        else if (argc == 2 && std::strcmp(arg[0], "-e") == 0) rm_entry_only(fs, arg[1]);
        else ok = false;
        break;
    case CMD_MV:
        if ((ok = argc == 2)) cmd_mv(fs, entry_nr(arg[0]), entry_nr(arg[1]));
        break;
    case CMD_LN:
        if ((ok = argc == 1)) ln_confirmed(fs, arg[0]);
        break;
    case CMD_CP:
        if ((ok = argc == 2)) cmd_cp(fs, command_number(arg[0]), arg[1]);
        break;
    case CMD_RMDIR:
        if ((ok = argc == 1)) cmd_rmdir(fs, entry_nr(arg[0]));
        break;
    case CMD_MKDIR:
        if ((ok = argc == 1)) cmd_mkdir(fs, arg[0]);
        break;
    case CMD_CHNAME:
        if ((ok = argc == 2)) cmd_chname(fs, arg[0], entry_nr(arg[1]));
        break;
    case CMD_CHTYPE:
        if ((ok = argc == 2)) cmd_chtype(fs, static_cast<std::uint8_t>(command_number(arg[0])), entry_nr(arg[1]));
        break;
    case CMD_LABEL: cmd_label(fs); break;
    case CMD_DF:
        if (argc == 0) cmd_df(fs, false);
        else if (argc == 1 && std::strcmp(arg[0], "-c") == 0) cmd_df(fs, true);
        else ok = false;
        break;
    case CMD_CHLABEL:
        if (argc == 0) cmd_chlabel(fs, nullptr);
        else if (argc == 1) cmd_chlabel(fs, arg[0]);
        else ok = false;
        break;
    case CMD_NEWFS:
        if ((ok = argc == 0)) cmd_newfs(fs);
        break;
    case CMD_GET:
        if ((ok = argc == 2)) cmd_get(fs, command_number(arg[0]), arg[1]);
        break;
    case CMD_PUT:
        if (argc == 2)
            import_host_file(fs, arg[0], arg[0], static_cast<std::uint8_t>(command_number(arg[1])), false);
        else if (argc == 3)
            import_host_file(fs, arg[0], arg[1], static_cast<std::uint8_t>(command_number(arg[2])), false);
        else
            ok = false;
        break;
    case CMD_LOADOS:
        if ((ok = argc == 2)) import_host_file(fs, arg[0], arg[1], 0, true);
        break;
    case CMD_HELP: cmd_help(); break;
    default: break;
    }
    if (!ok) err_print("%s", cmd.usage);
    fat_command_end(fs.vol);
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

}  // namespace

bool confirm(const char* question) { return read_answer_char(question) == 'y'; }

const char* command_name(int i) {
    return i >= 0 && i < static_cast<int>(std::size(COMMANDS)) ? COMMANDS[i].name : nullptr;
}

const char* command_arg_kinds(const char* name) {
    for (const CommandEntry* cmd = COMMANDS; cmd->name; ++cmd)
        if (std::strcmp(cmd->name, name) == 0) return cmd->completes;
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
        const CommandEntry* cmd = COMMANDS;
        while (cmd->name && std::strcmp(cmd->name, words[0]) != 0) ++cmd;
        if (!cmd->name) {
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
