// fsck.korvane: checks a korvane disk image and, with -y, mends it. This file
// only reads the switches and prints; the checking is in image/check.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "image/check.h"
#include "image/std_streams.h"

namespace korvane {
namespace {

// Exit codes as fsck(8) has them; 1 and 4 add up when some problems were
// mended and others left.
constexpr int ExitClean = 0;
constexpr int ExitFixed = 1;
constexpr int ExitLeft = 4;
constexpr int ExitOperational = 8;
constexpr int ExitUsage = 16;

constexpr const char* Usage =
    "Usage: fsck.korvane [-n | -y] [--] IMAGE\n"
    "  -n      check only, change nothing (the default)\n"
    "  -y      mend every problem that can be mended safely\n"
    "  -p, -a  the same as -y, for fsck(8)\n"
    "  -f      accepted for fsck(8); every check is a full one\n"
    "  -h      show this help\n";

struct Args {
  char mode = 0;  // 'n', 'y', or 0 when not given
  bool help = false;
  const char* image = nullptr;
};

// Reads the switches, which may be grouped ("-fy"); after "--" everything is
// a name, so an image called "-n.img" can be given. False on a usage error,
// after saying why.
bool parseArgs(int argc, char** argv, Args* a) {
  bool names = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--" && !names) {
      names = true;
      continue;
    }
    if (names || arg.size() < 2 || arg[0] != '-') {
      if (a->image) return std::cerr << "fsck.korvane: only one image at a time\n", false;
      a->image = argv[i];
      continue;
    }
    for (char c : arg.substr(1)) {
      char mode = c == 'n' ? 'n' : (c == 'y' || c == 'p' || c == 'a') ? 'y' : 0;
      if (c == 'h') {
        a->help = true;
      } else if (mode && a->mode && a->mode != mode) {
        return std::cerr << "fsck.korvane: -n and -y (or -p, -a) exclude each other\n", false;
      } else if (mode) {
        a->mode = mode;
      } else if (c != 'f') {
        return std::cerr << "fsck.korvane: unknown switch -" << c << "\n", false;
      }
    }
  }
  if (!a->help && !a->image) return std::cerr << "fsck.korvane: no image given\n", false;
  return true;
}

// A stored name between quotes, with every byte that is not printable ASCII
// written as \xNN: a damaged name may hold anything.
std::string quoted(std::string_view name) {
  std::string out = "\"";
  for (unsigned char c : name) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

std::string num(uint64_t n) { return std::to_string(n); }

std::string plural(uint64_t n, const char* one, const char* many) {
  return num(n) + " " + (n == 1 ? one : many);
}

std::string blockRange(const Finding& f) {
  if (f.first == f.last) return "Block " + num(f.first);
  return "Blocks " + num(f.first) + "-" + num(f.last);
}

std::string entry(uint64_t slot, const std::string& name) {
  return "entry " + num(slot + 1) + " " + quoted(name);
}

// A header finding: the rule broken, then, when it is mended, how.
std::string headerText(const Finding& f) {
  std::string range = num(tableStart(f.first)) + " to " + num(dataOffsetFor(f.first));
  std::string setEnd = "Set it to " + num(f.expected) + ", after the last entry";
  switch (f.kind) {
    case Problem::ImageTooShortForHeader:
      return "Image is " + num(f.value) + " bytes long, too short for the " + num(f.expected) +
             "-byte header.";
    case Problem::BlockCountTooLarge:
      return "Header: block count " + num(f.value) + " exceeds the largest possible, " +
             num(f.expected) + ".";
    case Problem::BlockCountWrong:
      return "Header: block count " + num(f.value) + " should be " + num(f.expected) +
             ", as the image's length and data offset say.  Set it";
    case Problem::DataOffsetWrong:
      return "Header: data offset " + num(f.value) + " should be " + num(f.expected) + " for " +
             plural(f.first, "block.", "blocks.") + (f.mendable ? "  Set it" : "");
    case Problem::ImageTooShort:
      return "Image is " + num(f.value) + " bytes long, shorter than the " + num(f.expected) +
             " bytes its " + plural(f.first, "block needs.", "blocks need.");
    case Problem::TableEndOutOfRange:
      return "Header: table end " + num(f.value) + " lies outside the table, " + range + "." +
             (f.mendable ? "  " + setEnd : "");
    case Problem::TableEndMisaligned:
      return "Header: table end " + num(f.value) + " is not on an entry boundary (the table " +
             "starts at " + num(tableStart(f.first)) + ", " + num(FileEntrySize) +
             " bytes per entry)." + (f.mendable ? "  " + setEnd : "");
    default:
      return "Header: table end " + num(f.value) + " leaves out " +
             plural(f.last, "whole entry", "whole entries") + " after it.  Set it to " +
             num(f.expected);
  }
}

std::string blocksText(const Finding& f) {
  bool one = f.first == f.last;
  switch (f.kind) {
    case Problem::SpareBitsSet:
      return "Bitmap: bits " + num(f.first) + "-" + num(f.last) +
             ", past the last block, are set.  Clear them";
    case Problem::BlocksUnmarked:
      return blockRange(f) + (one ? " belongs to a file but is" : " belong to files but are") +
             " marked free.  Mark " + (one ? "it" : "them") + " used";
    case Problem::BlocksLeaked:
      return blockRange(f) + (one ? " is" : " are") + " marked used but belong" +
             (one ? "s" : "") + " to no file.  Free " + (one ? "it" : "them");
    case Problem::OrphanSaved:
      return "Blocks from " + num(f.first) + ", a chain of " + plural(f.value, "block", "blocks") +
             ", belong to no file.  Save them as " + quoted(f.newName);
    default:
      return "Free " + blockRange(f).replace(0, 1, "b") + (one ? " is" : " are") +
             " not zeroed.  Zero " + (one ? "it" : "them");
  }
}

std::string cutText(const Finding& f) {
  return "Cut the file to " + plural(f.expected, "block", "blocks") + ", " +
         plural(f.keptBytes, "byte", "bytes");
}

std::string entryText(const Finding& f) {
  std::string who = entry(f.slot, f.name);
  who[0] = 'E';
  std::string other = entry(f.other, f.otherName);
  switch (f.kind) {
    case Problem::EntryEmpty:
      return who + " is empty.  Drop it";
    case Problem::FirstBlockFree:
      return who + ": first block " + num(f.value) + " is free and holds nothing.  Drop the entry";
    case Problem::FirstBlockFound:
      return who + ": first block " + num(f.value) + " leads to nothing of its own; the chain " +
             "no file holds from block " + num(f.first) + " fits its size.  Start the file there";
    case Problem::ChainRejoined:
      return who + ": block " + num(f.first) + " links to " + num(f.value) + "; the chain no " +
             "file holds from block " + num(f.expected) + " is the rest of it.  Link it back";
    case Problem::SizeWrong:
      return who + ": size " + num(f.value) + " disagrees with its chain of " +
             plural(f.first, "block", "blocks") + " and its last block's count.  Set the size to " +
             num(f.expected);
    case Problem::NameUnterminated:
      return who + ": name has no terminating NUL.  Cut it to " + num(MaxNameLength) + " bytes";
    case Problem::EntryRepeated:
      return who + " repeats " + other + " exactly.  Drop it";
    case Problem::EntryTorn:
      return who + " is torn at a sector boundary: it begins as " + other +
             " does and ends as another entry.  Drop it";
    case Problem::FirstBlockOutOfRange:
      return who + ": first block " + num(f.value) + " is outside the image.  Drop the entry";
    case Problem::FirstBlockTaken:
      return who + ": first block " + num(f.value) + " belongs to " + other +
             ".  Drop the entry";
    case Problem::LinkOutOfRange:
      return who + ": block " + num(f.first) + " links to " + num(f.value) +
             ", outside the image.  " + cutText(f);
    case Problem::ChainLoops:
      return who + ": block " + num(f.first) + " links back to block " + num(f.value) +
             " of the same file.  " + cutText(f);
    case Problem::ChainCrosses:
      return who + ": block " + num(f.first) + " links to block " + num(f.value) + " of " +
             other + ".  " + cutText(f);
    case Problem::ChainTooShort:
      return who + ": chain ends after " + plural(f.value, "block", "blocks") +
             ", its size needs " + num(f.expected) + ".  Cut the size to " +
             plural(f.keptBytes, "byte", "bytes");
    case Problem::ChainNotEnded:
      return who + ": last block " + num(f.first) + " links on to " + num(f.value) +
             ".  End the chain there";
    case Problem::LastBlockBytesWrong:
      return who + ": last block holds " + num(f.value) + " bytes by its count, " +
             num(f.expected) + " by the file size.  Set the count to " + num(f.expected);
    default:
      return who + ": name is already used by " + other + ".  Rename it to " +
             quoted(f.newName);
  }
}

void printFinding(const Finding& f, bool repair) {
  const char* answer = repair ? "? yes\n" : "? no\n";
  switch (f.kind) {
    case Problem::ImageTooShortForHeader:
    case Problem::BlockCountTooLarge:
    case Problem::BlockCountWrong:
    case Problem::DataOffsetWrong:
    case Problem::ImageTooShort:
    case Problem::TableEndOutOfRange:
    case Problem::TableEndMisaligned:
    case Problem::TableEndHidesEntries:
      std::cout << headerText(f) << (f.mendable ? answer : "\n");
      return;
    case Problem::SpareBitsSet:
    case Problem::BlocksUnmarked:
    case Problem::BlocksLeaked:
    case Problem::FreeBlocksNotZero:
    case Problem::OrphanSaved:
      std::cout << blocksText(f) << answer;
      return;
    default:
      std::cout << entryText(f) << answer;
  }
}

void printSummary(const char* image, const CheckSummary& s) {
  std::cout << image << ": ";
  if (!s.headerSound) {
    std::cout << plural(s.problems, "problem", "problems")
              << " found, 0 fixed; the header is damaged, nothing else was checked\n";
    return;
  }
  if (s.problems == 0)
    std::cout << "clean, ";
  else
    std::cout << plural(s.problems, "problem", "problems") << " found, " << s.fixed
              << " fixed, ";
  std::cout << s.files << "/" << s.blockCount << " files, " << s.usedBlocks << "/"
            << s.blockCount << " blocks\n";
}

int operationalError(const char* image, const Status& s) {
  std::cout.flush();
  std::cerr << "fsck.korvane: " << image << ": ";
  if (s.code == Error::Locked)
    std::cerr << "in use by another process\n";
  else if (s.code == Error::ShortRead)
    std::cerr << "the image ended while it was read\n";
  else if (s.code == Error::OpenFailed)
    std::cerr << "cannot open: " << std::strerror(s.sysErr) << "\n";
  else
    std::cerr << "I/O error: " << std::strerror(s.sysErr) << "\n";
  return ExitOperational;
}

// A field of /proc/self/mounts, its spaces and the like written as \ooo.
std::string unescapeMountField(const std::string& field) {
  auto octal = [&](size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Where korvanefs has `image` mounted, or "" when it has not. The mount
// holds the image's lock for as long as it lasts: rather than wait for it,
// the check is refused at once.
std::string mountPointOf(const char* image) {
  std::unique_ptr<char, decltype(&std::free)> path(realpath(image, nullptr), &std::free);
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  while (path && std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string source, point, type;
    if (fields >> source >> point >> type && type == "fuse.korvanefs" &&
        unescapeMountField(source) == path.get())
      return unescapeMountField(point);
  }
  return "";
}

int run(int argc, char** argv) {
  Args args;
  if (!parseArgs(argc, argv, &args)) return std::cerr << Usage, ExitUsage;
  if (args.help) return std::cout << Usage, ExitClean;
  CheckOptions options;
  options.repair = args.mode == 'y';
  if (std::string point = mountPointOf(args.image); !point.empty()) {
    std::cerr << "fsck.korvane: " << args.image << ": mounted on " << point
              << "; unmount it first (fusermount3 -u " << point << ")\n";
    return ExitOperational;
  }
  CheckSummary summary;
  auto print = [&](const Finding& f) { printFinding(f, options.repair); };
  if (Status s = checkImage(Env::host(), args.image, options, print, &summary); !s.ok())
    return operationalError(args.image, s);
  printSummary(args.image, summary);
  std::cout.flush();
  if (summary.problems == 0) return ExitClean;
  return (summary.fixed > 0 ? ExitFixed : 0) | (summary.problems > summary.fixed ? ExitLeft : 0);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  // A report written to a closed stdout would land in the image opened next.
  if (!korvane::guardStandardStreams()) return korvane::ExitOperational;
  return korvane::run(argc, argv);
}
