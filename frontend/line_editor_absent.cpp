// Built where libedit is missing: the console then reads a terminal word
// by word, as it reads a pipe.
#include "frontend/line_editor.h"

namespace korvane {

std::unique_ptr<LineEditor> LineEditor::open() { return nullptr; }

}  // namespace korvane
