// The command loop: prompt, word splitting, the command table with its
// argument forms and usage lines, help, the ways out, sync and the order of
// the two output streams.
#include <utility>

#include "session.h"

namespace zvktest {
namespace {

const std::vector<std::string> kHelp = {
    "usage: exit (=q, bye)\n",
    "usage: sync\n",
    "usage: ls [-t] (=dir)\n",
    "usage: pwd\n",
    "usage: cd [<dir.nr.>|..]\n",
    "usage: fatlist <filenr.>\n",
    "usage: rm [-e] <filenr.> (=del)\n",
    "usage: mv <src.filenr.> <dest.dir.nr.>\n",
    "usage: ln <clone.filenr.>\n",
    "usage: cp <src.filenr.> <dest.name> (=copy)\n",
    "usage: rmdir <filenr.>\n",
    "usage: mkdir <dir.name>\n",
    "usage: chname <filename> <filenr.>\n",
    "usage: chtype <typeid> <filenr.>\n",
    "usage: label\n",
    "usage: df [-c]\n",
    "usage: chlabel [<disk label>]\n",
    "usage: newfs\n",
    "usage: get <inp.filenr.> <out.filename> (=save, export)\n",
    "usage: put <inp.filename> [<out.filename>] <out.typeid> (=load, import)\n",
    "usage: loados <inp.filename> <out.filename>\n",
    "usage: help\n",
};

class CommandLoop : public ZvkTest {
 protected:
  Image img = Image::formatted(400, {10, 2, 20}, "LOOP");
  void SetUp() override {
    img.add_file(img.root(), 1, "PIANO", 3, 4);
    img.add_subdir(img.root(), 2, "SUB");
    save(img);
  }
};

TEST_F(CommandLoop, UnknownWordsBlankLinesAndCase) {
  RunResult r = zvk("EXIT\nLs\nfoo bar\n\n   \n \t \nhelpme\nexit\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({kInvalid, kInvalid, kInvalid, "", "", "", kInvalid, ""}, false));
  EXPECT_EQ(r.out, "") << "nothing may run after exit";
}

TEST_F(CommandLoop, WrongArgumentsPrintTheUsageLineAndChangeNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ls -x", kHelp[2]},        {"ls -t -t", kHelp[2]},     {"dir a b", kHelp[2]},
      {"dir -c", kHelp[2]},       {"cd 1 2", kHelp[4]},       {"fatlist", kHelp[5]},
      {"fatlist 1 2", kHelp[5]},  {"rm", kHelp[6]},           {"rm 1 2", kHelp[6]},
      {"rm -x 5", kHelp[6]},      {"rm -e 1 2", kHelp[6]},    {"del", kHelp[6]},
      {"del -E 1", kHelp[6]},     {"mv", kHelp[7]},           {"mv 1", kHelp[7]},
      {"mv 1 2 3", kHelp[7]},     {"ln", kHelp[8]},           {"ln 1 2", kHelp[8]},
      {"cp", kHelp[9]},           {"cp 1", kHelp[9]},         {"copy 1 a b", kHelp[9]},
      {"rmdir", kHelp[10]},       {"rmdir 2 3", kHelp[10]},   {"mkdir", kHelp[11]},
      {"mkdir a b", kHelp[11]},   {"chname", kHelp[12]},      {"chname a", kHelp[12]},
      {"chname a 1 2", kHelp[12]}, {"chtype", kHelp[13]},     {"chtype 3", kHelp[13]},
      {"chtype 3 1 1", kHelp[13]}, {"df -x", kHelp[15]},      {"df -c -c", kHelp[15]},
      {"df 1 2", kHelp[15]},      {"chlabel a b", kHelp[16]}, {"newfs x", kHelp[17]},
      {"get", kHelp[18]},         {"get 1", kHelp[18]},       {"save 1 a b", kHelp[18]},
      {"export", kHelp[18]},      {"put", kHelp[19]},         {"put a", kHelp[19]},
      {"load a b c d", kHelp[19]}, {"import", kHelp[19]},     {"loados", kHelp[20]},
      {"loados a", kHelp[20]},    {"loados a b c", kHelp[20]},
      {"rm -e 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20", kHelp[6]},
  };
  std::string script;
  std::vector<std::string> replies;
  for (const auto& [line, usage] : cases) {
    script += line + "\n";
    replies.push_back(usage);
  }
  RunResult r = zvk(script);
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript(replies));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(image_bytes(), img.bytes());
}

// Commands that accept any arguments ignore them.
TEST_F(CommandLoop, CommandsThatTakeAnyArguments) {
  RunResult r = zvk("pwd x y\nhelp me please\nsync now\nlabel -v\nq a b c\nls\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "", "", "", ""}, false));
  std::string help;
  for (const std::string& l : kHelp) help += l;
  std::string out = r.out;
  std::string pwd = pwd_text({{0, "ROOT        ", 3}});
  ASSERT_GE(out.size(), pwd.size() + help.size());
  EXPECT_EQ(out.substr(0, pwd.size() + help.size()), pwd + help);
  EXPECT_NE(out.find("  disk label=LOOP   \n"), std::string::npos) << out;
  EXPECT_EQ(out.find(" nr | type"), std::string::npos) << "ls ran after q";
}

TEST_F(CommandLoop, HelpListsEveryCommandOnce) {
  RunResult r = zvk("help\n");
  EXPECT_EXIT_CODE(r, 0);
  std::string help;
  for (const std::string& l : kHelp) help += l;
  EXPECT_EQ(r.out, help);
  EXPECT_EQ(r.err, transcript({""}));
}

TEST_F(CommandLoop, EveryWayOut) {
  for (const std::string& script : {std::string("exit\npwd\n"), std::string("q\npwd\n"),
                                    std::string("bye\npwd\n"), std::string("exit now\npwd\n")}) {
    SCOPED_TRACE(script);
    RunResult r = zvk(script);
    EXPECT_EXIT_CODE(r, 0);
    EXPECT_EQ(r.err, transcript({""}, false));
    EXPECT_EQ(r.out, "");
  }
  // End of input, also in the middle of a line.
  RunResult r = zvk("pwd");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, pwd_text({{0, "ROOT        ", 3}}));
  EXPECT_EQ(r.err, transcript({""}));
}

// A script given as a regular file behaves like one on a pipe.
TEST_F(CommandLoop, ScriptFromAFile) {
  RunOptions opt;
  opt.stdin_from_file = true;
  RunResult r = zvk("rm -e 1\nn\npwd\nfoo\n", opt);
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.out, pwd_text({{0, "ROOT        ", 3}}));
  EXPECT_EQ(r.err,
            transcript({"warning: if there is no further link to that file\n"
                        "         its blocks will be lost!\n"
                        "If you really want to delete the directory entry type `y' >",
                        "", kInvalid}));
  EXPECT_EQ(image_bytes(), img.bytes());
}

// Lines longer than 511 characters are read in pieces of 511, each piece a
// line of its own.
TEST_F(CommandLoop, LongLinesAreConsumedInPieces) {
  std::string xs(511, 'x');
  RunResult r = zvk(xs + "pwd\n" + xs + xs + "ls\n" + "ls" + std::string(700, ' ') + "\n");
  EXPECT_EXIT_CODE(r, 0);
  // pieces: x*511 | pwd | x*511 | x*511 | ls | "ls"+509 blanks | 191 blanks
  EXPECT_EQ(r.err, transcript({kInvalid, "", kInvalid, kInvalid, "", "", ""}));
  EXPECT_EQ(r.out, pwd_text({{0, "ROOT        ", 3}}) + ls_listing(img, img.root()) +
                       ls_listing(img, img.root()));
}

// Both streams on one pipe keep the order in which they were produced.
TEST_F(CommandLoop, StreamsInterleaveInProgramOrder) {
  Image v = Image::formatted(400);
  Dir sub = v.add_subdir(v.root(), 1, "SUB");
  v.add_file(sub, 1, "F", 3, 2);
  save(v);
  RunOptions opt;
  opt.merge_output = true;
  RunResult r = zvk("cd 1\nfatlist 0\nls\nfoo\npwd\n", opt);
  EXPECT_EXIT_CODE(r, 0);
  std::string expected = kBanner + kPrompt + kPrompt +
                         "\nparentdirectory.\nFAT-block-chain of file nr. 0:\nstartblk=\n3\n"
                         "warning: free block in chain.\n"
                         "filenr. of workdir. in parentdir.=1\n"
                         "warning: parentdirectory-size(FAT) wrong.\n" +
                         kPrompt + ls_listing(v, sub) + kPrompt + kInvalid + kPrompt +
                         pwd_text({{0, "ROOT        ", 3}, {1, "SUB         ", sub.b0}}) + kPrompt;
  EXPECT_EQ(r.out, expected);
}

// sync writes the FAT while the program keeps running; after it the volume is
// consistent even if the process dies without another word.
TEST_F(CommandLoop, SyncWritesTheFat) {
  host_file("song.bin", pattern(3000, 7));
  std::unique_ptr<Child> c = start();
  c->send("mkdir new\nput song.bin 29\nsync\n");
  ASSERT_TRUE(c->wait_for(kPrompt, 4)) << c->err();
  Image now = load();
  EXPECT_EQ(now.entry(now.root(), 3).type, 2);
  EXPECT_EQ(now.entry(now.root(), 4).type, 29);
  EXPECT_EQ(now.follow(now.entry(now.root(), 4).first).size(), 6u);
  EXPECT_TRUE(check_volume(now).empty()) << join_lines(check_volume(now));
  c->signal(SIGKILL);
  RunResult r = c->finish();
  EXPECT_EQ(r.term_signal, SIGKILL);
  expect_consistent();
}

// The directory and the free-block counter reach the volume at once.
TEST_F(CommandLoop, DirectoryAndCounterAreWrittenAtOnce) {
  std::unique_ptr<Child> c = start();
  c->send("mkdir now\n");
  ASSERT_TRUE(c->wait_for(kPrompt, 2)) << c->err();
  Image now = load();
  Entry e = now.entry(now.root(), 3);
  EXPECT_EQ(e.type, 2);
  EXPECT_EQ(e.name, "NOW         ");
  EXPECT_EQ(now.free_counter(), img.free_counter() - 2);
  c->send("exit\n");
  RunResult r = c->finish();
  EXPECT_EXIT_CODE(r, 0);
  expect_consistent();
}

// End of input writes the FAT back as exit does.
TEST_F(CommandLoop, EndOfInputWritesTheFat) {
  RunResult r = zvk("mkdir a\ncd 3\nmkdir b\n");
  EXPECT_EXIT_CODE(r, 0);
  EXPECT_EQ(r.err, transcript({"", "", ""}));
  expect_consistent();
  Image after = load();
  Dir a = after.subdir(after.root(), 3);
  EXPECT_EQ(after.entry(after.root(), 3).size, 1);
  EXPECT_EQ(after.entry(a, 1).type, 2);
}

}  // namespace
}  // namespace zvktest
