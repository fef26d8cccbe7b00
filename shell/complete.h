// Tab completion of command lines: what the word before the cursor can
// become, from the command table, the working directory and the host's
// file names. Pure logic, so it is tested without a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fs.h"

struct Candidate {
    std::string word;   // the whole word that replaces the one typed
    std::string shown;  // how a listing of the choices shows it ("3 DRUMS")
    bool ends_word;     // a space may follow when it is the only choice
};

struct Completion {
    std::size_t start = 0;              // where the word being completed begins
    std::vector<Candidate> candidates;  // in the order a listing shows them
};

// The choices for the last word of line, the text before the cursor.
Completion complete_line(const Fs& fs, std::string_view line);
