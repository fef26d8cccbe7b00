// The zvk command: `zvk COMMAND [OPTIONS] ARGS...`. Returns the exit
// status: 0 everything done, 1 some items failed, 2 usage, 3 a volume
// cannot be opened or holds no file system.
#pragma once

int zvk_main(int argc, char** argv);
