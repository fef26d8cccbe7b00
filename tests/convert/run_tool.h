// Runs a program as a child process and collects what it writes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ToolResult {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Run program with args (args[0] is argument 0) in folder cwd, with the
// given umask and standard input from /dev/null.
ToolResult run_tool(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd, mode_t mask = 022);
