// What the command handlers share: the parsed arguments, the run's state
// (options, exit status, volumes, progress bar) and the printing helpers.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine.h"
#include "progress.h"
#include "volumes.h"

namespace zvk {

struct Args {
    std::vector<std::string> pos;
    std::vector<std::string> flags;  // long names of the flags given
    std::map<std::string, std::string> values;

    bool has(const char* flag) const;
    const std::string* value(const char* name) const;
};

struct Cli {
    const char* command = "";
    const char* usage = "";
    bool quiet = false, verbose = false, dry_run = false;
    int status = 0;
    VolumeSet vols;
    ProgressBar bar;

    // "error: PATH: why" on standard error; the status becomes at least 1.
    void error(const std::string& path, const std::string& why);
    // A line on standard error unless -q.
    void note(const std::string& line);
    // "zvk CMD: what" and the usage line: returns 2.
    int usage_error(const std::string& what);
    // Open every image wanted: false after saying why (status 3).
    bool open_volumes();
    // A Report that prints through this run.
    Report report();
    // Raise the status to at least s.
    void raise(int s) {
        if (s > status) status = s;
    }
};

// A volume argument: IMAGE:/PATH, or with bare a plain IMAGE as its root.
// false (after a usage message) for a host path.
bool volume_arg(Cli& cli, const std::string& arg, bool bare, Spec* s);

// The entries a volume argument names (its wildcards expanded): false
// after reporting when it names none.
bool matches(Cli& cli, Volume& v, const Spec& s, std::vector<Match>* out);

// A type number argument: 1-255, not a folder or parent link type.
bool type_arg(const std::string& text, int* type);

int cmd_ls(Cli& cli, const Args& a);
int cmd_tree(Cli& cli, const Args& a);
int cmd_df(Cli& cli, const Args& a);
int cmd_info(Cli& cli, const Args& a);
int cmd_cat(Cli& cli, const Args& a);
int cmd_cp(Cli& cli, const Args& a);
int cmd_mv(Cli& cli, const Args& a);
int cmd_rm(Cli& cli, const Args& a);
int cmd_mkdir(Cli& cli, const Args& a);
int cmd_ln(Cli& cli, const Args& a);
int cmd_chtype(Cli& cli, const Args& a);
int cmd_label(Cli& cli, const Args& a);
int cmd_format(Cli& cli, const Args& a);
int cmd_export(Cli& cli, const Args& a);
int cmd_import(Cli& cli, const Args& a);

}  // namespace zvk
