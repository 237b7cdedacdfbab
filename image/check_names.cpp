// The checker's names: the set of kept entries' names, a new name for each
// later entry that repeats one, and the choice of a name no entry holds.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "image/check_state.h"

namespace korvane::check_detail {

// Fills the name set with the kept entries' names, first come first;
// `repeats` gets the later entries that repeat one.
void Checker::collectNames(std::vector<uint32_t>* repeats) {
  names_.reserve(n_);
  for (uint32_t slot = 0; slot < entries_.size(); ++slot) {
    uint32_t holder = 0;
    if (!kept(slot)) continue;
    if (!names_.find(entries_[slot].nameView(), &holder))
      names_.insert(slot);
    else if (repeats)
      repeats->push_back(slot);
  }
}

// Two different files under one name: the later one cannot be reached by
// its name, so it gets a new one, chosen once every kept name is known so
// that it repeats none of them.
void Checker::nameEntries() {
  std::vector<uint32_t> repeats;
  collectNames(&repeats);
  for (uint32_t slot : repeats) {
    FileEntry& e = entries_[slot];
    uint32_t holder = 0;
    (void)names_.find(e.nameView(), &holder);
    Finding f = entryFinding(Problem::NameRepeated, slot);
    setOther(&f, holder);
    f.newName = uniqueName(e.nameView());
    report(f);
    std::memset(e.name, 0, NameFieldSize);
    std::memcpy(e.name, f.newName.data(), f.newName.size());
    change(slot);
    names_.insert(slot);
  }
}

// The name itself when free, else "base~k" for the smallest k not taken,
// the base shortened to fit. Distinct k give distinct names, so fewer than
// blockCount + 2 tries find a free one.
std::string Checker::uniqueName(std::string_view base) const {
  uint32_t holder = 0;
  if (!names_.find(base, &holder)) return std::string(base);
  for (uint64_t k = 1; k <= uint64_t{n_} + 1; ++k) {
    std::string suffix(1, '~');
    suffix += std::to_string(k);
    std::string name(base.substr(0, MaxNameLength - suffix.size()));
    name += suffix;
    if (!names_.find(name, &holder)) return name;
  }
  return {};  // not reached
}

}  // namespace korvane::check_detail
