#include "cli.h"

int main(int argc, char** argv) { return zvk_main(argc, argv); }
