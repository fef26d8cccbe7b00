// The suite's volume checker and image maker as a command, for the Python
// tests of zvk serve:
//   zvk_check [--residue] IMAGE     the problems, one a line; exit 1 if any
//   zvk_check --make IMAGE TOTAL [LABEL]   a freshly formatted volume
#include <cstdio>
#include <cstdlib>
#include <string>

#include "checker.h"
#include "image.h"

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--make") {
        const auto total = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
        zvktest::Image::formatted(total, {}, argc > 4 ? argv[4] : "TEST").save(argv[2]);
        return 0;
    }
    zvktest::CheckOptions opt;
    int i = 1;
    if (argc > 2 && std::string(argv[1]) == "--residue") {
        opt = zvktest::crash_residue();
        i = 2;
    }
    if (i + 1 != argc) {
        std::fprintf(stderr, "usage: zvk_check [--residue] IMAGE | --make IMAGE TOTAL [LABEL]\n");
        return 2;
    }
    const auto problems = zvktest::check_volume_file(argv[i], opt);
    for (const auto& p : problems) std::printf("%s\n", p.c_str());
    return problems.empty() ? 0 : 1;
}
