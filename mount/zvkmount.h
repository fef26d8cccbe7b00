// zvkmount: a volume mounted as a folder of the host through libfuse.
#pragma once

// Parse the command line, open the volume and run the single-threaded
// libfuse loop until the folder is unmounted: the process exit status.
int zvkmount_main(int argc, char** argv);
