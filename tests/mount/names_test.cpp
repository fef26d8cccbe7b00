// Host names of stored names and back: one table each.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mount.h"

namespace {

RawName stored(const char* s) {
    RawName r;
    r.fill(' ');
    std::memcpy(r.data(), s, std::strlen(s));
    return r;
}

TEST(MountNames, DisplayEscapesWhatAHostNameCannotHold) {
    struct Case {
        RawName in;
        std::string shown;
    } cases[] = {
        {stored("KICK.INS"), "KICK.INS"},
        {stored("A/B%"), "A%2FB%25"},
        {stored(""), "%20"},
        {stored("."), "%2E"},
        {stored(".."), "%2E%2E"},
        {stored("  X"), "  X"},
        {stored("kick"), "kick"},
        {stored("ABCDEFGHIJKL"), "ABCDEFGHIJKL"},
    };
    RawName nul = stored("A");
    nul[1] = 0;
    nul[2] = 'B';
    EXPECT_EQ(name_display(nul.data()), "A%00B");
    for (const Case& c : cases) {
        EXPECT_EQ(name_display(c.in.data()), c.shown);
        RawName back;
        ASSERT_EQ(name_encode(c.shown.c_str(), back), 0) << c.shown;
        if (c.shown != "kick") {
            EXPECT_EQ(back, c.in) << c.shown;
        }
    }
    RawName back;
    ASSERT_EQ(name_encode("A%00B", back), 0);
    EXPECT_EQ(back, nul);
}

TEST(MountNames, EncodeUpperCasesAndLimitsLength) {
    RawName r;
    ASSERT_EQ(name_encode("kick.ins", r), 0);
    EXPECT_EQ(r, stored("KICK.INS"));
    ASSERT_EQ(name_encode("%zz", r), 0);  // not an escape: kept as typed
    EXPECT_EQ(r, stored("%ZZ"));
    EXPECT_EQ(name_encode("ABCDEFGHIJKLM", r), -1);
    EXPECT_EQ(name_encode("ABCDEFGHIJK%25", r), 0);
}

TEST(MountNames, ListingMarksLaterDuplicates) {
    DirImage d{};
    auto put = [&](int slot, std::uint8_t type, const char* name) {
        std::uint8_t* e = dir_entry(d, static_cast<std::size_t>(slot));
        e[entry_field::TYPE] = type;
        std::memcpy(e + entry_field::NAME, stored(name).data(), NAME_LEN);
    };
    put(0, TYPE_PARENT, "ROOT");
    put(3, 31, "A");
    put(7, 31, "A");
    put(9, TYPE_SUBDIR, "SUB");
    auto list = folder_listing(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], (std::pair<int, std::string>{3, "A"}));
    EXPECT_EQ(list[1], (std::pair<int, std::string>{7, "A%#7"}));
    EXPECT_EQ(list[2], (std::pair<int, std::string>{9, "SUB"}));
}

}  // namespace
