#include "shell.h"

int main(int argc, char** argv) {
    zvkfm_install_signals();
    return zvkfm_main(argc, argv);
}
