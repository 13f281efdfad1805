#include "dump/tStatusExplanation.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "status/tStatus.h"

namespace nDRAVI100 {

namespace {

struct tExplanation {
  tStatus code;      // as zembril prints it: negative for an error
  const char* text;  // the lines after "<code>: ", each ending in a newline
};

// One entry per code; nCode::kCopyFailed is here twice because zembril
// raises its number both as that error and, with the other sign, as the
// warning nCode::kTemporaryFileLeft, and they mean different things.
constexpr std::array<tExplanation, 13> kExplanations = {{
    {-nCode::kCommandFileRead,
     "error: reading the command file failed.\n"
     "  A read of the file given to /file reported an error part way through, or a\n"
     "  line holds a NUL byte (zembril printed \"zembril: File read error!\"); nothing\n"
     "  was saved.\n"
     "  Check: that the file is a regular file, and the kernel log for I/O errors.\n"},
    {-nCode::kBadDispatchScope,
     "error: a command reached the maps with a scope that names no map.\n"
     "  Neither a command line nor a command file can produce one: the grammar only\n"
     "  knows U, K and S. This is an internal check; please report it as a bug.\n"},
    {-nCode::kBadAddScope,
     "error: /add was given a scope that names no map.\n"
     "  Neither a command line nor a command file can produce one: the grammar only\n"
     "  knows U, K and S. This is an internal check; please report it as a bug.\n"},
    {-nCode::kCannotOpen,
     "error: a file cannot be opened or created.\n"
     "  The command file of /file, an existing map file, or the .tmp file of a save\n"
     "  cannot be opened or created; or a run that must change the map cannot take the\n"
     "  lock: only the owner of dravimap.lock (root) may, and only while it is safe.\n"
     "  Check: the command file's path; \"zembril-dump --check\" for the map directory.\n"},
    {-nCode::kCannotClose,
     "error: closing a file failed.\n"
     "  Closing the map file after reading it, or its .tmp file after writing it,\n"
     "  reported an error; nothing was saved.\n"
     "  Check: free space and the health of the file system of the map directory.\n"},
    {-nCode::kMapFileTooShort,
     "error: the map file cannot be read.\n"
     "  Reading an existing map file failed (an I/O error or too little memory for\n"
     "  its records), it is not a regular file, or a copy into it did not finish while\n"
     "  a run without the lock waited. A file merely cut short is no error.\n"
     "  Check: \"zembril-dump --check\" and the kernel log for I/O errors.\n"},
    {-nCode::kCannotWrite,
     "error: the new map file cannot be written.\n"
     "  Writing or syncing the .tmp file failed (a full disk, a quota), the maps are\n"
     "  too large for the file format, or the emptied map file cannot be removed.\n"
     "  Check: free space and quota of the map directory; the map file is unchanged.\n"},
    {-nCode::kCopyFailed,
     "error: copying the new map file into place failed.\n"
     "  The rename of the .tmp file failed (a bind-mounted map file) and so did the\n"
     "  copy that stands in for it: once it marked the map file, the next run finishes\n"
     "  it from the .tmp file. Or a damaged map file could not be kept aside, so stays.\n"
     "  Check: why the rename fails, and free space; \"zembril-dump --check\".\n"},
    {nCode::kTemporaryFileLeft,
     "warning: the temporary file was left behind.\n"
     "  The rename of the .tmp file failed and its copy took the map file's place,\n"
     "  but the .tmp file cannot be removed afterwards; the map file is up to date.\n"
     "  Check: why the rename fails; the next save replaces the leftover.\n"},
    {-nCode::kBadVersion,
     "error: the map file's version is not 1.\n"
     "  zembril takes such a file for damaged: it keeps it as <map file>.damaged (or\n"
     "  .damaged.N) and goes on, so no run that holds the lock ends with it.\n"
     "  Check: what wrote the file; \"zembril-dump --salvage\" on the .damaged file.\n"},
    {-nCode::kBadMagic,
     "error: the map file does not start with the map file magic.\n"
     "  zembril takes such a file for damaged: it keeps it as <map file>.damaged (or\n"
     "  .damaged.N) and goes on, unless a copy mark names the .tmp file beside it:\n"
     "  then it finishes that copy. Only a run without the lock ends with this code.\n"
     "  Check: what wrote the file; \"zembril-dump --check\" shows the map files.\n"},
    {-nCode::kUsage,
     "error: usage error.\n"
     "  The command line or a command-file line does not follow the grammar (an\n"
     "  unknown switch or word, a wrong number of arguments or fields, /x64 on a\n"
     "  32-bit build), or /root names no existing directory; nothing was saved.\n"
     "  Check: the command against zembril(8); blanks in a command file are removed.\n"},
    {nCode::kAlreadyBound,
     "warning: the class is bound already.\n"
     "  /add found the class bound to a non-empty path in that map and left it as\n"
     "  it was; in a command file the warning is dropped after each line.\n"
     "  Check: \"zembril-dump --scope=U\" (or K) shows it; /delete it first to rebind.\n"},
}};

}  // namespace

std::optional<std::string> explainStatusCode(const std::string& code) {
  tStatus value = 0;
  const char* const end = code.data() + code.size();
  const auto [stop, error] = std::from_chars(code.data(), end, value);
  if (code.empty() || error != std::errc() || stop != end) return std::nullopt;
  const auto* found = std::find_if(kExplanations.begin(), kExplanations.end(),
                                   [&](const tExplanation& entry) { return entry.code == value; });
  if (found == kExplanations.end()) return std::nullopt;
  return std::to_string(value) + ": " + found->text;
}

}  // namespace nDRAVI100
