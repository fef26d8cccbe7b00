// The checks before routing, the page's names and paths, and the block map.
#include <gtest/gtest.h>

#include <unistd.h>

#include "api.h"
#include "image.h"
#include "paths.h"
#include "security.h"

namespace {

Gate gate() {
    Gate g;
    g.port = 8123;
    g.token = std::string(64, 'a');
    g.csrf = std::string(32, 'c');
    g.max_body = 1000;
    return g;
}

// A GET of the page with the cookie, from the page's own host.
Knock page_get(const std::string& cookie) {
    Knock k;
    k.method = "GET";
    k.path = "/";
    k.host = "127.0.0.1:8123";
    k.cookie = cookie;
    return k;
}

TEST(ServeScreen, EveryRequestIsCheckedInOrder) {
    const Gate g = gate();
    // Knock holds views: the strings they view live here.
    const std::string good = "x=1; zvk-8123=" + g.token + "; y=2";
    const std::string other_port = "zvk-8124=" + g.token;
    const std::string short_token = "zvk-8123=" + g.token.substr(1);
    struct Case {
        const char* what;
        std::function<void(Knock&)> change;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"the page with the cookie", [](Knock&) {}, Verdict::pass},
        {"localhost", [](Knock& k) { k.host = "localhost:8123"; }, Verdict::pass},
        {"[::1]", [](Knock& k) { k.host = "[::1]:8123"; }, Verdict::pass},
        {"a rebound name", [](Knock& k) { k.host = "evil.example:8123"; }, Verdict::bad_host},
        {"no port", [](Knock& k) { k.host = "127.0.0.1"; }, Verdict::bad_host},
        {"another port", [](Knock& k) { k.host = "127.0.0.1:8124"; }, Verdict::bad_host},
        {"foreign host before auth", [](Knock& k) { k.host = "x"; k.cookie = ""; }, Verdict::bad_host},
        {"no cookie", [](Knock& k) { k.cookie = ""; }, Verdict::no_auth},
        {"a cookie of another port", [&](Knock& k) { k.cookie = other_port; }, Verdict::no_auth},
        {"a short token", [&](Knock& k) { k.cookie = short_token; }, Verdict::no_auth},
        {"the token", [&](Knock& k) { k.cookie = ""; k.has_token = true; k.token = g.token; }, Verdict::welcome},
        {"a wrong token beside the cookie", [](Knock& k) { k.has_token = true; k.token = "ab"; }, Verdict::no_auth},
        {"a change without the header", [](Knock& k) { k.method = "POST"; k.has_length = true; }, Verdict::cross_site},
        {"a change from the page", [&](Knock& k) { k.method = "POST"; k.has_length = true; k.csrf = g.csrf; },
         Verdict::pass},
        {"a change from another origin", [&](Knock& k) {
             k.method = "DELETE"; k.has_length = true; k.csrf = g.csrf; k.origin = "http://evil.example";
         }, Verdict::cross_site},
        {"a change another site sent", [&](Knock& k) {
             k.method = "PUT"; k.has_length = true; k.csrf = g.csrf; k.fetch_site = "cross-site";
         }, Verdict::cross_site},
        {"a change without a length", [&](Knock& k) { k.method = "PUT"; k.csrf = g.csrf; }, Verdict::length_required},
        {"a chunked body", [&](Knock& k) { k.chunked = true; }, Verdict::length_required},
        {"a body too large", [&](Knock& k) {
             k.method = "PUT"; k.csrf = g.csrf; k.has_length = true; k.length = 1001;
         }, Verdict::too_large},
        {"the largest body", [&](Knock& k) {
             k.method = "PUT"; k.csrf = g.csrf; k.has_length = true; k.length = 1000;
         }, Verdict::pass},
    };
    for (const Case& c : cases) {
        Knock k = page_get(good);
        c.change(k);
        EXPECT_EQ(static_cast<int>(screen(g, k)), static_cast<int>(c.expected)) << c.what;
    }
}

TEST(ServeScreen, CookiesOriginsAndTheRedirect) {
    EXPECT_EQ(cookie_get("a=1; zvk-1=xy ;b=2", "zvk-1"), "xy");
    EXPECT_EQ(cookie_get("zvk-12=xy", "zvk-1"), "");
    EXPECT_EQ(cookie_get("", "zvk-1"), "");
    EXPECT_TRUE(origin_allowed("", 80));
    EXPECT_TRUE(origin_allowed("http://localhost:80", 80));
    EXPECT_FALSE(origin_allowed("https://127.0.0.1:80", 80));
    EXPECT_FALSE(origin_allowed("http://127.0.0.1:8080", 80));
    EXPECT_FALSE(origin_allowed("null", 80));
    EXPECT_EQ(query_without_token("token=abc"), "");
    EXPECT_EQ(query_without_token("a=1&token=abc&b=2&token"), "a=1&b=2");
    EXPECT_EQ(query_without_token("tokens=1&a"), "tokens=1&a");
    EXPECT_FALSE(secret_equal("", ""));
    EXPECT_FALSE(secret_equal("ab", "abc"));
    std::string a, b;
    ASSERT_TRUE(random_secret(32, &a));
    ASSERT_TRUE(random_secret(32, &b));
    EXPECT_EQ(a.size(), 64u);
    EXPECT_NE(a, b);
}

TEST(ServePaths, NamesSurviveThePageAndDotsNameNothing) {
    for (int c = 1; c < 256; ++c) {
        const std::string host(1, static_cast<char>(c));
        const std::string web = web_name(host);
        EXPECT_EQ(host_name(web), host) << c;
        for (char w : web) EXPECT_TRUE(w >= 0x20 && w < 0x7F) << c;
    }
    // The escapes of the host names stay for the layer.
    EXPECT_EQ(host_name("%2F%25%2E%2E%#3"), "%2F%25%2E%2E%#3");
    EXPECT_EQ(host_name("A%E9"), "A\xE9");
    for (const char* bad : {"..", "/..", "/A/../B", "/A/.", "./A", "A/..", "/A\\B"}) EXPECT_FALSE(path_ok(bad)) << bad;
    for (const char* good : {"", "/", "/A/B", "/%2E%2E", "/...", "/A..B", "/.A"}) EXPECT_TRUE(path_ok(good)) << good;
    EXPECT_EQ(path_leaf("/A/B/"), "B");
    EXPECT_EQ(path_parent("/A/B"), "/A");
    EXPECT_EQ(path_parent("/A"), "/");
    EXPECT_EQ(path_join("/", "A"), "/A");
    EXPECT_EQ(download_name("KICK 1/\"x\".INS"), "KICK_1__x_.INS");
    EXPECT_EQ(download_name(".."), "volume");
}

// Owner code of block b in the map's runs.
std::uint32_t code_at(const BlockMap& m, std::uint32_t b) {
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < m.runs.size(); i += 2) {
        if (b < at + m.runs[i + 1]) return m.runs[i];
        at += m.runs[i + 1];
    }
    return ~0u;
}

TEST(ServeMap, EveryBlockHasItsOwner) {
    using namespace zvktest;
    Image img = Image::formatted(800);
    const Dir root = img.root();
    const FileInfo a = img.add_file(root, 1, "A", 3, 5);
    const Dir sub = img.add_subdir(root, 2, "SUB");
    // A scattered file: blocks taken from the end of the volume.
    const FileInfo b = img.add_file_on(sub, 1, "B", 3, {790, 700, 795});
    img.add_file_on(root, 3, "B2", 3, b.chain, -1, -1, false);  // a second name of B
    img.link_chain({600, 601});                                 // no entry reaches it
    img.set_fat(650, 2);                                        // a bad block
    img.sync_free_counter();
    char path[] = "/tmp/zvk-map-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    img.save(path);
    Volume v;
    ASSERT_EQ(volume_open_readonly(v, path), 0);
    BlockMap m;
    ASSERT_EQ(block_map(v, &m), FsErr::ok);
    unlink(path);

    EXPECT_EQ(m.total, 800u);
    std::uint64_t sum = 0;
    for (std::size_t i = 1; i < m.runs.size(); i += 2) sum += m.runs[i];
    EXPECT_EQ(sum, 800u);
    EXPECT_EQ(code_at(m, 0), MAP_SYSTEM);
    EXPECT_EQ(code_at(m, img.data_start() - 1), MAP_SYSTEM);
    EXPECT_EQ(code_at(m, 3), MAP_OWNER);  // the root
    EXPECT_EQ(code_at(m, 600), MAP_LOST);
    EXPECT_EQ(code_at(m, 601), MAP_LOST);
    EXPECT_EQ(code_at(m, 650), MAP_BAD);
    EXPECT_EQ(code_at(m, 799), MAP_FREE);
    auto owner = [&](const std::string& p) {
        for (std::size_t i = 0; i < m.owners.size(); ++i)
            if (m.owners[i].path == p) return static_cast<std::uint32_t>(MAP_OWNER + i);
        return ~0u;
    };
    for (std::uint32_t blk : a.chain) EXPECT_EQ(code_at(m, blk), owner("/A"));
    // The root is walked first: its entry B2 names the chain, SUB/B is its link.
    ASSERT_NE(owner("/B2"), ~0u);
    for (std::uint32_t blk : b.chain) EXPECT_EQ(code_at(m, blk), owner("/B2"));
    const MapOwner& ob = m.owners[owner("/B2") - MAP_OWNER];
    EXPECT_EQ(ob.blocks, 3u);
    ASSERT_EQ(ob.links.size(), 1u);
    EXPECT_EQ(ob.links[0], "/SUB/B");
    ASSERT_NE(owner("/SUB"), ~0u);
    EXPECT_TRUE(m.owners[owner("/SUB") - MAP_OWNER].folder);

    const std::string bytes = block_map_bytes(m);
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(bytes.substr(0, 4), "ZVKM");
    const auto le = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
    };
    EXPECT_EQ(le(4), 800u);
    EXPECT_EQ(le(8) % 4, 0u);
    EXPECT_EQ(bytes.size(), 16 + le(8) + 8 * le(12));
}

}  // namespace
