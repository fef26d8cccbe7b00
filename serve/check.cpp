// Check and Repair: the checker run on a served volume, its report
// captured from the console streams.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "api.h"
#include "console.h"
#include "fsck.h"

namespace {

// The lines of a report, without empty ones.
Json report_lines(const char* text, std::size_t len) {
    Json lines = Json::array();
    std::string line;
    for (std::size_t i = 0; i < len; ++i) {
        if (text[i] != '\n') {
            line += text[i];
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

const char* outcome(int status) {
    switch (status) {
    case FSCK_OK: return "no problems found";
    case FSCK_REPAIRED: return "problems found and repaired";
    case FSCK_LEFT: return "problems found and left as they are";
    default: return "the check could not be completed";
    }
}

// Run the checker on the image at path with both console streams going
// into a buffer: its exit status, *report its lines. The caller holds the
// console lock exclusively.
int run_captured(const std::string& path, RepairMode mode, Json* report) {
    char* text = nullptr;
    std::size_t len = 0;
    std::FILE* mem = open_memstream(&text, &len);
    if (!mem) return FSCK_ERROR;
    const Console saved = console;
    console.out = mem;
    console.err = mem;
    const int status = fsck_run(path.c_str(), mode, false);
    console = saved;
    std::fclose(mem);
    *report = report_lines(text, len);
    std::free(text);
    return status;
}

Reply checked(int status, Json lines) {
    Reply r;
    r.body = {{"status", status}, {"outcome", outcome(status)}, {"lines", std::move(lines)}};
    return r;
}

}  // namespace

Reply api_check(App& app, Served& s, bool repair) {
    Json lines;
    if (!repair) {
        std::shared_lock<std::shared_mutex> hold(s.access);
        std::unique_lock<std::shared_mutex> capture(app.console_lock);
        const int status = run_captured(s.path, RepairMode::check_only, &lines);
        return checked(status, std::move(lines));
    }
    if (std::string why; !served_writable(s, &why)) return reply_error(409, s.name + " is " + why + ": nothing was repaired", "read_only");
    std::unique_lock<std::shared_mutex> hold(s.access);
    std::unique_lock<std::shared_mutex> capture(app.console_lock);
    // The checker takes the lock itself: the change handle lets it go for
    // the time of the repair and takes it again after.
    volume_sync(s.vol);
    ::close(s.vol.fd);
    s.vol.fd = -1;
    const int status = run_captured(s.path, RepairMode::all, &lines);
    ++s.generation;
    if (!served_reopen(s))
        lines.push_back("note: the volume could not be locked again and is now served read-only");
    return checked(status, std::move(lines));
}
