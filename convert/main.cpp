// wav2zvk: convert RIFF/WAVE files into Zorvek instrument files.
#include "wav2zvk.h"

#ifndef ZVK_TEMPLATE_PATH
#error "ZVK_TEMPLATE_PATH must name the instrument template file"
#endif

int main(int argc, char** argv) {
    return wav2zvk_main(argc, argv, ZVK_TEMPLATE_PATH);
}
