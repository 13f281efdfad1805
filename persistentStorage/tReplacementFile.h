// A new version of a file, written beside it and moved into its place.
#pragma once

#include <string>
#include <string_view>

#include "os/tDirectory.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Writes the new content of a file in a directory into a
// temporary file beside it and then renames it over the target, so that the
// target always holds either its old or its new content, whole, even after
// a crash or a power loss. Unless the object is committed (or the temporary
// file had to be kept as the only complete copy), destroying it closes and
// removes the temporary file.
class tReplacementFile {
 public:
  // Removes a temporary file that an unfinished run left behind and creates
  // it anew, exclusively and without following a link, with the owner, group
  // and permission bits of the target (or 0666 less the umask, owned by the
  // caller, when there is no target yet, or a link is in its place). Raises
  // nCode::kCannotOpen when it cannot be created or given the target's owner or bits;
  // descriptor() is then -1. The target is the file `target` in the
  // directory `in`, which must outlive the object.
  tReplacementFile(const tDirectory& in, const std::string& target, tStatus& status);
  ~tReplacementFile();

  tReplacementFile(const tReplacementFile&) = delete;
  tReplacementFile& operator=(const tReplacementFile&) = delete;

  // Returns the descriptor to write the new content to, or -1.
  [[nodiscard]] int descriptor() const { return fd; }

  // Appends `bytes` to the new content, raising nCode::kCannotWrite when that
  // fails.
  void write(std::string_view bytes, tStatus& status);

  // Syncs the temporary file to disk, raising nCode::kCannotWrite when that
  // fails, then closes the descriptor written through, raising
  // nCode::kCannotClose when that fails.
  // A second descriptor of the same open file stays for commit: a copy that
  // stands in for a failed rename reads the content from it, never from
  // whatever has the name by then.
  void finishWriting(tStatus& status);

  // Moves the finished temporary file over the target (see moveIntoPlace).
  // Does nothing when the word holds an error or writing was not finished.
  void commit(tStatus& status);

 private:
  const tDirectory& directory;
  std::string targetName;
  std::string temporaryName;
  int fd = -1;       // written through, until finishWriting
  int written = -1;  // the same open file, kept for commit
  bool created = false;
  bool settled = false;
};

// What the target held before moveIntoPlace, which decides what a copy that
// fails before it touched the target leaves behind.
enum class tTargetBefore {
  whole,    // the target's old content is whole: the temporary file of a failed move goes
  damaged,  // the target is damaged or marked: the temporary file is all there is, and stays
};

// Renames the complete, synced file `temporaryName`, open at `source`, over
// `targetName` in `directory` and syncs the directory. When the rename fails
// (a bind-mounted target, for example), syncs the directory first, so that
// the temporary file survives as the complete copy whatever happens next,
// then copies `source` onto the target in place (see copyFile) and removes
// the temporary file, raising the warning nCode::kTemporaryFileLeft when it cannot be
// removed.
// When the copy fails, its error is in the word, and the temporary file
// stays: once the copy marked the target, the next run that takes the lock
// finishes the copy from it. Only a copy that never touched a `whole` target
// removes it, since that failed run then changed nothing. Does not test the
// word on entry.
void moveIntoPlace(const tDirectory& directory, const std::string& temporaryName, int source,
                   const std::string& targetName, tTargetBefore before, tStatus& status);

// Copies the regular file open at `source` to `destinationName` in
// `directory` in place and syncs the copy to disk, so that a copy cut short
// at any point is either not begun or marked. The destination is opened
// only once it is known to be a regular file, never through a link. Before
// the first change the clock is let move past the destination's times
// (waitForNewFileTimes), so that a reader without the lock sees that the
// file changed under it. Then the copy mark that names the source's size
// and digest goes over the destination's head and is synced; then
// everything but the source's first 256 bytes is copied and synced; the
// first 256 bytes, which cover the mark, go last. A destination that cannot
// be opened or is not a regular file raises nCode::kCannotOpen; a read
// error, a failed write, truncation, sync or close raises
// nCode::kCopyFailed. Returns true once the
// destination may have been changed. Does not test the word on entry.
bool copyFile(int source, const tDirectory& directory, const std::string& destinationName,
              tStatus& status);

}  // namespace nDRAVI100
