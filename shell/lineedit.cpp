#include "lineedit.h"

#include <cstdlib>
#include <cstring>

#include "console.h"

#if ZVK_HAVE_LIBEDIT
#include <histedit.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cwchar>
#endif

namespace {

// Plain reads: the prompt printed, then the input stream read directly.
bool plain_line(const char* prompt, char* buf, int size) {
    err_print("%s", prompt);
    return input_line(buf, size);
}

int plain_char(const char* prompt) {
    err_print("%s", prompt);
    int answer = input_char();
    if (answer != '\n' && answer != EOF) {
        int c;
        do {
            c = input_char();
        } while (c != '\n' && c != EOF);
    }
    return answer;
}

}  // namespace

std::string history_path() {
    const char* own = std::getenv("ZVKFM_HISTORY");
    if (own && *own) return own;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/zvkfm/history";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.local/state/zvkfm/history";
    return "";
}

#if ZVK_HAVE_LIBEDIT

namespace {

constexpr int HISTORY_LINES = 1000;

struct Editor {
    EditLine* el = nullptr;
    History* hist = nullptr;
    locale_t locale = nullptr;  // the user's character set, for the editor only
    Completer completer;
    std::string prompt;   // what the editor shows and redraws
    std::string rest;     // the part of a long line not yet taken
    std::string last_tab; // the line and cursor of an ambiguous Tab
    bool at_end = false;  // end of input met: it stays the end
};

Editor editor;
volatile std::sig_atomic_t resized = 0;

void on_resize(int) { resized = 1; }

// Runs the editor in the user's character set and the rest in the C locale.
class EditorLocale {
public:
    EditorLocale() : before_(editor.locale ? uselocale(editor.locale) : nullptr) {}
    ~EditorLocale() {
        if (before_) uselocale(before_);
    }
    EditorLocale(const EditorLocale&) = delete;
    EditorLocale& operator=(const EditorLocale&) = delete;

private:
    locale_t before_;
};

char* editor_prompt(EditLine*) { return editor.prompt.data(); }

// The part of prompt up to its last newline goes out as it is; only the
// last line is the editor's prompt, which it redraws.
std::size_t prompt_line_start(const char* prompt) {
    const char* nl = std::strrchr(prompt, '\n');
    return nl ? static_cast<std::size_t>(nl - prompt + 1) : 0;
}

// The editor's key reader: one character, read only when the terminal has
// one, so that a signal ends the wait at once. 1, 0 at end, -1 on a signal.
int read_key(EditLine* el, wchar_t* key) {
    const int fd = fileno(console.in);
    std::mbstate_t state{};
    for (;;) {
        const int w = input_wait(fd);
        if (w == 0) {
            errno = EINTR;
            return -1;
        }
        if (resized) {
            resized = 0;
            el_resize(el);
        }
        if (w < 0) continue;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        const std::size_t r = std::mbrtowc(key, &c, 1, &state);
        if (r == static_cast<std::size_t>(-2)) continue;  // more bytes of one character
        if (r == static_cast<std::size_t>(-1)) *key = static_cast<unsigned char>(c);
        return 1;
    }
}

int terminal_columns() {
    winsize ws{};
    if (ioctl(fileno(console.err), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// The choices of an ambiguous Tab, in columns under the line.
void list_choices(const std::vector<Candidate>& choices) {
    std::size_t width = 0;
    for (const Candidate& c : choices) width = std::max(width, c.shown.size());
    width += 2;
    const std::size_t per_line = std::max<std::size_t>(1, static_cast<std::size_t>(terminal_columns()) / width);
    err_print("\n");
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const bool last = (i + 1) % per_line == 0 || i + 1 == choices.size();
        if (last) err_print("%s\n", choices[i].shown.c_str());
        else err_print("%-*s", static_cast<int>(width), choices[i].shown.c_str());
    }
}

// Longest common beginning of every candidate's word.
std::string common_beginning(const std::vector<Candidate>& choices) {
    std::string common = choices[0].word;
    for (const Candidate& c : choices) {
        std::size_t n = 0;
        while (n < common.size() && n < c.word.size() && common[n] == c.word[n]) ++n;
        common.resize(n);
    }
    return common;
}

// Tab: complete as far as the choices agree; a second Tab that cannot go
// further lists them.
unsigned char complete_key(EditLine* el, int) {
    const LineInfo* li = el_line(el);
    const std::string before(li->buffer, li->cursor);
    const std::string whole = std::string(li->buffer, li->lastchar) + '\0' + std::to_string(before.size());
    const Completion c = editor.completer(before);
    if (c.candidates.empty()) return CC_REFRESH_BEEP;
    const std::size_t typed = before.size() - c.start;
    const std::string common = common_beginning(c.candidates);
    std::string add = common.size() > typed ? common.substr(typed) : "";
    if (c.candidates.size() == 1 && c.candidates[0].ends_word) add += ' ';
    if (!add.empty()) {
        editor.last_tab.clear();
        return el_insertstr(el, add.c_str()) == 0 ? CC_REFRESH : CC_REFRESH_BEEP;
    }
    if (c.candidates.size() == 1) return CC_REFRESH;
    if (editor.last_tab != whole) {
        editor.last_tab = whole;
        return CC_REFRESH_BEEP;
    }
    list_choices(c.candidates);
    return CC_REDISPLAY;
}

void history_load() {
    const std::string path = history_path();
    HistEvent ev;
    if (!path.empty()) history(editor.hist, &ev, H_LOAD, path.c_str());
}

// Make the folders of the default history place (never those of a file
// named by $ZVKFM_HISTORY).
void make_history_folders(const std::string& path) {
    const char* own = std::getenv("ZVKFM_HISTORY");
    if (own && *own) return;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
}

void history_save() {
    const std::string path = history_path();
    if (path.empty()) return;
    make_history_folders(path);
    HistEvent ev;
    history(editor.hist, &ev, H_SAVE, path.c_str());
}

void history_add(const std::string& line) {
    std::string entry = line;
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == ' ' || entry.back() == '\t')) entry.pop_back();
    if (entry.find_first_not_of(" \t") == std::string::npos) return;
    HistEvent ev;
    history(editor.hist, &ev, H_ENTER, entry.c_str());
}

// One line from the editor, its newline kept; false at end of input or when
// a signal ended the read. A Ctrl-C on a command line starts it afresh.
bool edited_line(const char* prompt, std::string& line, bool command) {
    if (!editor.rest.empty()) {
        err_print("%s", prompt);
        line.swap(editor.rest);
        editor.rest.clear();
        return true;
    }
    const std::size_t start = prompt_line_start(prompt);
    if (start > 0) err_print("%.*s", static_cast<int>(start), prompt);
    editor.prompt = prompt + start;
    for (;;) {
        std::fflush(console.out);
        if (editor.at_end) return false;  // the newline after Ctrl-D ends the screen
        if (console_signal) {
            err_print("%s", editor.prompt.c_str());  // as plain reads show it
            return false;
        }
        int count = 0;
        const char* got;
        {
            EditorLocale in_user_locale;
            editor.last_tab.clear();
            got = el_gets(editor.el, &count);
        }
        if (got && count > 0) {
            line.assign(got);
            if (command) history_add(line);
            return true;
        }
        if (count == 0) {
            editor.at_end = true;  // Ctrl-D on an empty line
            err_print("\n");
            return false;
        }
        if (!(command && console_signal == SIGINT)) return false;
        console_signal = 0;
        el_reset(editor.el);
        err_print("\n");
    }
}

// Cut line to what a buffer of size takes, keeping the rest for the next read.
void take_piece(std::string& line, char* buf, int size) {
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buf, line.data(), n);
    buf[n] = '\0';
    editor.rest = line.substr(n);
}

// Set up the editor in the user's character set; false when it cannot run.
bool editor_start(Completer completer) {
    EditorLocale in_user_locale;
    editor.el = el_init("zvkfm", console.in, console.err, console.err);
    editor.hist = history_init();
    if (!editor.el || !editor.hist) return false;
    editor.completer = std::move(completer);
    HistEvent ev;
    history(editor.hist, &ev, H_SETSIZE, HISTORY_LINES);
    history(editor.hist, &ev, H_SETUNIQUE, 1);
    history_load();
    el_set(editor.el, EL_SIGNAL, 0);
    el_set(editor.el, EL_EDITOR, "emacs");
    el_set(editor.el, EL_PROMPT, editor_prompt);
    el_set(editor.el, EL_HIST, history, editor.hist);
    el_set(editor.el, EL_GETCFN, read_key);
    el_set(editor.el, EL_ADDFN, "zvk-complete", "Complete the word before the cursor", complete_key);
    el_set(editor.el, EL_BIND, "^I", "zvk-complete", nullptr);
    return true;
}

}  // namespace

void lineedit_begin(Completer completer) {
    if (editor.el || !isatty(fileno(console.in)) || !isatty(fileno(console.err))) return;
    editor.locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (!editor_start(std::move(completer))) return lineedit_end();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_resize;  // no restart: the key reader resizes the editor
    sigemptyset(&sa.sa_mask);
    sigaction(SIGWINCH, &sa, nullptr);
}

void lineedit_end() {
    if (editor.el && console_signal) err_print("\n");  // the shell's prompt on a line of its own
    if (editor.hist && editor.el) {
        EditorLocale in_user_locale;
        history_save();
    }
    if (editor.el) {
        el_end(editor.el);
        std::signal(SIGWINCH, SIG_DFL);
    }
    if (editor.hist) history_end(editor.hist);
    if (editor.locale) freelocale(editor.locale);
    editor = Editor{};
}

bool lineedit_active() { return editor.el != nullptr; }

namespace {

// A line from the editor when there is one (a command line, or an answer
// to a question), else a plain read.
bool read_line(const char* prompt, char* buf, int size, bool command) {
    if (!editor.el) return plain_line(prompt, buf, size);
    std::string line;
    if (!edited_line(prompt, line, command)) return false;
    take_piece(line, buf, size);
    return true;
}

}  // namespace

bool read_command(const char* prompt, char* buf, int size) { return read_line(prompt, buf, size, true); }

bool read_answer(const char* prompt, char* buf, int size) { return read_line(prompt, buf, size, false); }

int read_answer_char(const char* prompt) {
    if (!editor.el) return plain_char(prompt);
    std::string line;
    if (!edited_line(prompt, line, false)) return EOF;
    return line.empty() ? '\n' : static_cast<unsigned char>(line[0]);
}

// Under AddressSanitizer: libedit never frees the names given with
// EL_ADDFN (two wide strings, made by wcsdup); the leak checker is told so.
#if defined(__SANITIZE_ADDRESS__)
#define ZVK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZVK_ADDRESS_SANITIZER 1
#endif
#endif
#if ZVK_ADDRESS_SANITIZER
extern "C" const char* __lsan_default_suppressions() { return "leak:wcsdup\n"; }
#endif

#else  // built without libedit: plain reads everywhere

void lineedit_begin(Completer) {}
void lineedit_end() {}
bool lineedit_active() { return false; }
bool read_command(const char* prompt, char* buf, int size) { return plain_line(prompt, buf, size); }
bool read_answer(const char* prompt, char* buf, int size) { return plain_line(prompt, buf, size); }
int read_answer_char(const char* prompt) { return plain_char(prompt); }

#endif
