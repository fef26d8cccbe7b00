// Tab completion: which words the text before the cursor can become.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "complete.h"
#include "format.h"

namespace {

void put_entry(Fs& fs, int nr, std::uint8_t type, const char* name) {
    std::uint8_t* e = dir_entry(fs.wd.image, static_cast<std::size_t>(nr));
    e[entry_field::TYPE] = type;
    std::memset(e + entry_field::NAME, ' ', NAME_LEN);
    std::memcpy(e + entry_field::NAME, name, std::strlen(name));
}

std::string words(const Completion& c) {
    std::string s;
    for (const Candidate& k : c.candidates) s += (s.empty() ? "" : "|") + k.word + (k.ends_word ? "" : "~");
    return s;
}

TEST(Completion, CommandsEntriesAndHostFilesByPosition) {
    char tmpl[] = "/tmp/zvk-complete-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    for (const char* f : {"kick.wav", ".hidden", "two words", "snare.wav"}) std::ofstream(dir + "/" + f) << "x";
    std::filesystem::create_directory(dir + "/kit");

    auto fs = std::make_unique<Fs>();
    fs->wd.loaded = true;
    put_entry(*fs, 0, TYPE_OS, "OS");
    put_entry(*fs, 3, 3, "DRUMS");
    put_entry(*fs, 5, 3, "KICK");
    put_entry(*fs, 13, TYPE_SUBDIR, "SUB");

    const struct {
        std::string line;
        std::string expected;  // words, '|' between them, '~' after one that a space does not follow
    } cases[] = {
        {"he", "help"},
        {"c", "cd|chlabel|chname|chtype|copy|cp"},
        {"  lo", "load|loados"},
        {"rm ", "0|3|5|13"},
        {"rm -e 1", "13"},
        {"mv 3 ", "0|3|5|13"},
        {"chname x ", "0|3|5|13"},
        {"chname ", ""},
        {"mkdir ", ""},
        {"HELP ", ""},
        {"put " + dir + "/", dir + "/kick.wav|" + dir + "/kit/~|" + dir + "/snare.wav"},
        {"put " + dir + "/k", dir + "/kick.wav|" + dir + "/kit/~"},
        {"put " + dir + "/.", dir + "/.hidden"},
        {"put " + dir + "/t", ""},
        {"put " + dir + "/kick.wav ", ""},
        {"get 3 " + dir + "/s", dir + "/snare.wav"},
        {"loados " + dir + "/sn", dir + "/snare.wav"},
        {"get " + dir + "/s", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line \"" + c.line + "\"");
        const Completion got = complete_line(*fs, c.line);
        EXPECT_EQ(words(got), c.expected);
        EXPECT_EQ(got.start, c.line.find_last_of(' ') == std::string::npos ? 0 : c.line.find_last_of(' ') + 1);
    }
    // A listing shows entry numbers with their names.
    const Completion entries = complete_line(*fs, "fatlist ");
    ASSERT_EQ(entries.candidates.size(), 4u);
    EXPECT_EQ(entries.candidates[1].shown, "3 DRUMS");
    EXPECT_EQ(entries.candidates[3].shown, "13 SUB");
    // No directory is held: no entry numbers.
    fs->wd.loaded = false;
    EXPECT_TRUE(complete_line(*fs, "rm ").candidates.empty());
    std::filesystem::remove_all(dir);
}

}  // namespace
