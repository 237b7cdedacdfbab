// libedit, loaded when the console first needs it rather than linked: a
// linked libedit, and the three libraries it needs in turn, would be loaded
// by every run of the program, a fifth of a millisecond each time, though
// only the console at a terminal uses it. It is still the system's shared
// library, so its updates reach the program.
#pragma once

#include <histedit.h>

namespace korvane {

struct EditLibrary {
  decltype(&::el_init) init;
  decltype(&::el_end) end;
  decltype(&::el_set) set;
  decltype(&::el_get) get;
  decltype(&::el_gets) gets;
  decltype(&::el_line) line;
  decltype(&::el_insertstr) insertstr;
  decltype(&::el_cursor) cursor;
  decltype(&::el_push) push;
  decltype(&::history_init) historyInit;
  decltype(&::history_end) historyEnd;
  decltype(&::history) history;
};

// The library's functions, or null when it cannot be loaded (the console
// then reads lines without editing). Loaded once.
const EditLibrary* editLibrary();

}  // namespace korvane
