// zvkfm at a terminal: keys typed on a pseudo-terminal, as a user types
// them, with line editing, history and completion; and the history file
// read again by the next session.
#include <fstream>
#include <sstream>

#include "session.h"
#include "terminal.h"

namespace zvktest {
namespace {

const std::string kHeader = " nr | type     dev  id | name";

class AtTerminal : public ZvkTest {
 protected:
  std::string history = tmp.file("history");

  void SetUp() override {
    if (!ZVK_HAVE_LIBEDIT) GTEST_SKIP() << "zvkfm is built without libedit: no line editing";
    Image img = Image::formatted(1600, {10, 2, 80}, "DEMO");
    img.add_file(img.root(), 3, "DRUMS", 3, 2);
    img.add_file(img.root(), 5, "KICK", 3, 1);
    save(img);
    host_file("kick.wav", pattern(1000, 7));
  }

  std::unique_ptr<Terminal> open_session() const {
    TerminalOptions opt;
    opt.cwd = tmp.path();
    opt.env = {"ZVKFM_HISTORY=" + history};
    return std::make_unique<Terminal>(std::vector<std::string>{zvkfm_path(), "vol.img"}, opt);
  }

  std::string history_text() const {
    std::ifstream f(history);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
};

// The end of ls's listing and the prompt behind it: the command is done
// and the editor waits again.
std::string listing_done() { return std::string(65, '-') + "\r\n" + kPrompt; }

std::string keys(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view p : parts) s += p;
  return s;
}

TEST_F(AtTerminal, EditsRecallsCompletesAndKeepsTheHistory) {
  {
    std::unique_ptr<Terminal> t = open_session();
    // Types a line once the editor waits for keys.
    auto type_line = [&](const std::string& k) {
      ASSERT_TRUE(t->wait_editing()) << t->screen();
      t->type(k);
    };
    type_line(keys({"ls", key::enter}));
    ASSERT_TRUE(t->wait_for(listing_done(), 1)) << t->screen();
    // Up recalls the line; the cursor keys edit it: "lsx" becomes "ls".
    type_line(keys({key::up, "x", key::left, "\x04", key::enter}));
    ASSERT_TRUE(t->wait_for(listing_done(), 2)) << t->screen();
    // A host file name completed after put.
    const int before_put = t->count(kPrompt);
    type_line(keys({"put ki", key::tab, "3", key::enter}));
    ASSERT_TRUE(t->wait_for(kPrompt, before_put + 1)) << t->screen();
    type_line(keys({"ls", key::enter}));
    ASSERT_TRUE(t->wait_for(listing_done(), 3)) << t->screen();
    EXPECT_NE(t->screen().find("KICK.WAV"), std::string::npos) << t->screen();
    // Entry numbers with their names on a double Tab; Ctrl-C drops the line.
    type_line(keys({"rm ", key::tab, key::tab}));
    // The listing may arrive in parts: wait for its last name.
    ASSERT_TRUE(t->wait_for("5 KICK")) << t->screen();
    EXPECT_NE(t->screen().find("1 KICK.WAV  3 DRUMS"), std::string::npos) << t->screen();
    // The line is drawn again under the listing; then Ctrl-C.
    const std::string before_list = t->screen().substr(0, t->screen().find("3 DRUMS"));
    int prompts = 0;
    for (std::size_t p = before_list.find(kPrompt); p != std::string::npos; p = before_list.find(kPrompt, p + 1))
      ++prompts;
    ASSERT_TRUE(t->wait_for(kPrompt, ++prompts)) << t->screen();
    t->type(key::ctrl_c);
    ASSERT_TRUE(t->wait_for(kPrompt, prompts + 1)) << t->screen();
    type_line(keys({"he", key::tab, key::enter}));
    ASSERT_TRUE(t->wait_for("usage: help\r\n" + kPrompt)) << t->screen();
    type_line(std::string(key::ctrl_d));
    RunResult r = t->finish();
    EXPECT_EXIT_CODE(r, 0);
  }
  Image after = load();
  EXPECT_EQ(after.entry(after.root(), 1).name, "KICK.WAV    ");
  EXPECT_EQ(after.entry(after.root(), 3).name, "DRUMS       ") << "rm ran although Ctrl-C dropped its line";
  expect_consistent();
  EXPECT_EQ(history_text(), "_HiStOrY_V2_\nls\nput\\040kick.wav\\0403\nls\nhelp\n");

  // The next session starts with that history.
  std::unique_ptr<Terminal> t = open_session();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({key::up, key::enter}));
  ASSERT_TRUE(t->wait_for("usage: help")) << t->screen();
  t->type(keys({"exit", key::enter}));
  EXPECT_EXIT_CODE(t->finish(), 0);
}

// Answers to dialogues are edited but never kept, and a history file that
// cannot be written is passed over in silence.
TEST_F(AtTerminal, AnswersStayOutOfTheHistory) {
  history = tmp.file("no-such-folder/history");
  std::unique_ptr<Terminal> t = open_session();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({"newfs", key::enter}));
  ASSERT_TRUE(t->wait_for("type `y' >")) << t->screen();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({"no", key::enter}));
  ASSERT_TRUE(t->wait_for(kPrompt, 2)) << t->screen();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({key::up, key::enter}));
  ASSERT_TRUE(t->wait_for("type `y' >", 2)) << "Up did not bring back the command line\n" << t->screen();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({"x", key::enter}));
  ASSERT_TRUE(t->wait_for(kPrompt, 3)) << t->screen();
  ASSERT_TRUE(t->wait_editing()) << t->screen();
  t->type(keys({"exit", key::enter}));
  RunResult r = t->finish();
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out.find("error"), std::string::npos) << r.out;
  EXPECT_EQ(load().entry(load().root(), 3).name, "DRUMS       ");
}

}  // namespace
}  // namespace zvktest
