#include "complete.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "format.h"
#include "shell.h"

namespace {

constexpr std::size_t MAX_HOST_CANDIDATES = 4096;  // a huge host directory is cut here

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The words of text, split the way the command loop splits a line.
std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) ++i;
        std::size_t j = i;
        while (j < text.size() && !is_blank(text[j])) ++j;
        if (j > i) words.push_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

void add_commands(std::string_view prefix, std::vector<Candidate>& out) {
    for (int i = 0; const char* name = command_name(i); ++i)
        if (starts_with(name, prefix)) out.push_back({name, name, true});
    std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.word < b.word; });
}

// An entry's name as a listing shows it: up to the first NUL, without the
// padding, bytes that would upset the terminal as '?'.
std::string entry_label(const std::uint8_t* e) {
    std::string name;
    for (std::size_t i = 0; i < NAME_LEN && e[entry_field::NAME + i] != 0; ++i) {
        const auto c = static_cast<unsigned char>(e[entry_field::NAME + i]);
        name += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

void add_entries(const Fs& fs, std::string_view prefix, std::vector<Candidate>& out) {
    if (!fs.wd.loaded) return;
    for (std::size_t i = 0; i < DIR_ENTRIES; ++i) {
        const std::uint8_t* e = dir_entry(fs.wd.image, i);
        if (entry_type(e) == TYPE_EMPTY) continue;
        std::string nr = std::to_string(i);
        if (starts_with(nr, prefix)) out.push_back({nr, nr + " " + entry_label(e), true});
    }
}

void add_host_files(std::string_view typed, std::vector<Candidate>& out) {
    const std::size_t slash = typed.rfind('/');
    const std::string dir(slash == std::string_view::npos ? "" : typed.substr(0, slash + 1));
    const std::string_view base = slash == std::string_view::npos ? typed : typed.substr(slash + 1);
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    while (const dirent* de = readdir(d)) {
        const std::string_view name = de->d_name;
        if (name == "." || name == ".." || !starts_with(name, base)) continue;
        if (name[0] == '.' && !starts_with(base, ".")) continue;
        // The command loop splits at blanks: such a name cannot be typed.
        if (std::any_of(name.begin(), name.end(), is_blank)) continue;
        struct stat st;
        const bool is_dir = stat((dir + std::string(name)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        const std::string suffix = is_dir ? "/" : "";
        out.push_back({dir + std::string(name) + suffix, std::string(name) + suffix, !is_dir});
        if (out.size() >= MAX_HOST_CANDIDATES) break;
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.word < b.word; });
}

}  // namespace

Completion complete_line(const Fs& fs, std::string_view line) {
    Completion c;
    c.start = line.size();
    while (c.start > 0 && !is_blank(line[c.start - 1])) --c.start;
    const std::string_view typed = line.substr(c.start);
    const std::vector<std::string_view> before = words_of(line.substr(0, c.start));
    if (before.empty()) {
        add_commands(typed, c.candidates);
        return c;
    }
    const char* kinds = command_arg_kinds(std::string(before[0]).c_str());
    const std::size_t position = before.size() - 1;  // of the word typed, among the arguments
    const char kind = kinds && position < std::strlen(kinds) ? kinds[position] : '-';
    if (kind == 'n') add_entries(fs, typed, c.candidates);
    if (kind == 'h') add_host_files(typed, c.candidates);
    return c;
}
