// zvk serve: the volumes named on the command line, in a web browser on
// this machine only.
#pragma once

// Run the server with its command line (argv[0] is "serve") until a signal
// stops it: the exit status, as zvk's: 0 after a clean stop, 2 for a usage
// error, 3 when a volume cannot be opened or holds no file system, 1 when
// no listening socket could be had.
int serve_main(int argc, char** argv);
