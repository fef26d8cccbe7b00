#include "fsck.h"

int main(int argc, char** argv) { return zvkfsck_main(argc, argv); }
