#include "shell.h"

int main(int argc, char** argv) { return zvkfm_main(argc, argv); }
