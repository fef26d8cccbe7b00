// zvk serve: the volumes named on the command line, in a web browser on
// this machine only.
#pragma once

// Run the server with its command line (argv[0] is "serve"): the exit
// status (0 after a clean stop, 2 for a usage error, 1 when a volume or the
// listening socket could not be opened).
int serve_main(int argc, char** argv);
