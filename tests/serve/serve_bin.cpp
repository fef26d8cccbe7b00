// The server alone, for the tests (the same serve_main that `zvk serve'
// calls): zvk_serve_test_bin [--port N] [--read-only] [--no-open] IMAGE...
#include "serve.h"

int main(int argc, char** argv) {
    char name[] = "serve";
    argv[0] = name;
    return serve_main(argc, argv);
}
