// A new version of a file, written beside it and moved into its place.
#pragma once

#include <cstdio>
#include <string>

#include "persistentStorage/tFile.h"
#include "status/tStatus.h"

namespace nDRAVI100 {

// Writes the new content of `targetPath` into a temporary file in the same
// directory and then renames it over the target, so that the target always
// holds either its old or its new content, whole, even after a crash or a
// power loss. Unless the object is committed (or the temporary file had to
// be kept as the only complete copy), destroying it closes and removes the
// temporary file.
class tReplacementFile {
 public:
  // Removes a temporary file that an unfinished run left behind and creates
  // it anew, exclusively and without following a link, with the owner, group
  // and permission bits of the target (or 0666 less the umask, owned by the
  // caller, when there is no target yet). Raises -50204 when it cannot be
  // created or given the target's owner or bits; stream() is then null.
  tReplacementFile(const std::string& targetPath, tStatus& status);
  ~tReplacementFile();

  tReplacementFile(const tReplacementFile&) = delete;
  tReplacementFile& operator=(const tReplacementFile&) = delete;

  // Returns the stream to write the new content to, or null.
  std::FILE* stream() const { return file.get(); }

  // Flushes the stream and syncs the temporary file to disk, raising -50208
  // when either fails, then closes it, raising -50205 when that fails.
  void finishWriting(tStatus& status);

  // Moves the finished temporary file over the target (see moveIntoPlace).
  // Does nothing when the word holds an error or writing was not finished.
  void commit(tStatus& status);

  // Returns the fixed name of the temporary file that stands beside `target`.
  static std::string temporaryPathFor(const std::string& targetPath);

 private:
  std::string targetPath;
  std::string temporaryPath;
  tFile file;
  bool created = false;
  bool settled = false;
};

// Renames the complete, synced file `temporary` over `target` and syncs the
// directory. When the rename fails (a bind-mounted target, for example),
// syncs the directory first, so that the temporary file survives as the
// complete copy whatever happens next, then copies it onto the target in
// place and removes it, raising the warning 50209 when it cannot be removed.
// When the copy fails, its error is in the word. The temporary file is
// kept when the copy may have changed the target (-50209), since it is then
// the one complete copy of the new maps; when the copy could not open
// either file (-50204) the target is as it was and the temporary file is
// removed. Does not test the word on entry.
void moveIntoPlace(const std::string& temporary, const std::string& target, tStatus& status);

// Copies the file at `source` to `destination` in place, 256 bytes at a
// time, and syncs the copy to disk. The first 256 bytes go last, after the
// rest has been synced, so that a copy cut short begins with zeros; and
// before the first change the clock is let move past the destination's
// times (waitForNewFileTimes), so that a reader without the lock sees that
// the file changed under it. A file that cannot be opened, or a destination
// that is not a regular file, raises -50204; a read error, a short or failed
// write, or a failed truncation, sync or close of the destination raises
// -50209. Does not test the word on entry.
void copyFile(const std::string& source, const std::string& destination, tStatus& status);

// Syncs the directory that holds `path`, so that a rename, creation or
// removal in it survives a power loss. Nothing can be done about a failure
// here: the change itself has been made.
void syncParentDirectory(const std::string& path);

}  // namespace nDRAVI100
