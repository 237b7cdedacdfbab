#include "frontend/edit_library.h"

#include <dlfcn.h>

namespace korvane {
namespace {

// The names systems give the library: Debian's and others' (.so.2),
// Fedora's (.so.0); the plain name only where a development package is.
constexpr const char* Sonames[] = {"libedit.so.2", "libedit.so.0", "libedit.so"};

template <class F>
bool bind(void* lib, const char* name, F* f) {
  *f = reinterpret_cast<F>(::dlsym(lib, name));
  return *f != nullptr;
}

const EditLibrary* load() {
  void* lib = nullptr;
  for (const char* name : Sonames)
    if ((lib = ::dlopen(name, RTLD_NOW | RTLD_LOCAL))) break;
  if (!lib) return nullptr;
  static EditLibrary e;
  if (bind(lib, "el_init", &e.init) && bind(lib, "el_end", &e.end) && bind(lib, "el_set", &e.set) &&
      bind(lib, "el_get", &e.get) && bind(lib, "el_gets", &e.gets) &&
      bind(lib, "el_line", &e.line) && bind(lib, "el_insertstr", &e.insertstr) &&
      bind(lib, "el_cursor", &e.cursor) && bind(lib, "el_push", &e.push) &&
      bind(lib, "history_init", &e.historyInit) && bind(lib, "history_end", &e.historyEnd) &&
      bind(lib, "history", &e.history))
    return &e;
  ::dlclose(lib);
  return nullptr;
}

}  // namespace

const EditLibrary* editLibrary() {
  static const EditLibrary* e = load();
  return e;
}

}  // namespace korvane
