// What a word being typed may become, for the console's Tab key. Nothing
// here prints, and a name that holds a blank is never offered: the console
// could not take it as one word.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// The names stored in image `imageName` that begin with `start`, sorted; none
// when the image cannot be opened, is damaged, or another run holds it.
std::vector<std::string> storedNamesStartingWith(const char* imageName, std::string_view start);

// The host paths that begin with `start`, sorted, a folder's ending in "/"
// so that completion can go on inside it. Names beginning with a dot only
// when `start`'s last part does.
std::vector<std::string> hostPathsStartingWith(std::string_view start);

}  // namespace korvane
