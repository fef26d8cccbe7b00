#include "zvkmount.h"

int main(int argc, char** argv) { return zvkmount_main(argc, argv); }
