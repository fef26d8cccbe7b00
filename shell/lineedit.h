// The line reader of the command loop and its dialogues. When standard
// input and standard error are terminals and the program is built with
// libedit, lines are edited (Emacs keys, arrows), command lines are kept in
// a history that outlives the session, and Tab completes. Otherwise every
// prompt is printed and every answer read exactly as plain input.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "complete.h"

using Completer = std::function<Completion(std::string_view line)>;

// Start editing if the streams are terminals: load the history, complete
// with completer. Without a terminal nothing happens.
void lineedit_begin(Completer completer);

// Save the history and leave the terminal as it was found.
void lineedit_end();

// True while lines are edited.
bool lineedit_active();

// Print prompt on the error stream and read a command line into buf, as
// input_line does. The line is kept in the history. On a terminal, Ctrl-C
// discards the line and prompts again.
bool read_command(const char* prompt, char* buf, int size);

// Print prompt and read the answer to a dialogue question into buf; not
// kept in the history.
bool read_answer(const char* prompt, char* buf, int size);

// Print prompt and read a one-character answer: its first character ('\n'
// for an empty answer), the rest of its line dropped; EOF at end of input.
int read_answer_char(const char* prompt);

// Where the history is kept: $ZVKFM_HISTORY, else
// $XDG_STATE_HOME/zvkfm/history, else ~/.local/state/zvkfm/history; empty
// when none of them can be named.
std::string history_path();
