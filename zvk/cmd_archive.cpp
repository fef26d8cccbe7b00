// export and import: a volume folder into a tar or zip archive and back.
#include "cli_int.h"

namespace zvk {

bool archive_available() { return false; }

int cmd_export(Cli& cli, const Args&) {
    return cli.usage_error("this zvk was built without archives (libarchive)");
}

int cmd_import(Cli& cli, const Args&) {
    return cli.usage_error("this zvk was built without archives (libarchive)");
}

}  // namespace zvk
