// A new version of a file, written beside it and moved into its place.
#pragma once

#include <cstdio>
#include <string>

#include "tool/tStatus.h"

namespace nDRAVI100 {

// Writes the new content of `targetPath` into a temporary file in the same
// directory and then renames it over the target, so that the target always
// holds either its old or its new content, whole, even after a crash or a
// power loss. Unless the object is committed (or the temporary file had to
// be kept as the only complete copy), destroying it closes and removes the
// temporary file.
class tReplacementFile {
 public:
  // Removes a temporary file that a killed run left behind and creates it
  // anew, exclusively and without following a link, with the permission bits
  // of the target (or 0666 less the umask when there is no target yet).
  // Raises -50204 when it cannot be created; stream() is then null.
  tReplacementFile(const std::string& targetPath, tStatus& status);
  ~tReplacementFile();

  tReplacementFile(const tReplacementFile&) = delete;
  tReplacementFile& operator=(const tReplacementFile&) = delete;

  // Returns the stream to write the new content to, or null.
  std::FILE* stream() const { return file; }

  // Flushes the stream and syncs the temporary file to disk, raising -50208
  // when either fails, then closes it, raising -50205 when that fails.
  void finishWriting(tStatus& status);

  // Renames the finished temporary file over the target and syncs the
  // directory. When the rename fails, copies the temporary file onto the
  // target instead and removes it, raising the warning 50209 when it cannot
  // be removed; when that copy fails too, its error stays in the word and the
  // temporary file is kept, since it then holds the only complete copy.
  void commit(tStatus& status);

  // Returns the fixed name of the temporary file that stands beside `target`.
  static std::string temporaryPathFor(const std::string& targetPath);

  // Syncs the directory that holds `path`, so that a rename or removal in it
  // survives a power loss. Nothing can be done about a failure here: the
  // change itself has been made.
  static void syncParentDirectory(const std::string& path);

 private:
  std::string targetPath;
  std::string temporaryPath;
  std::FILE* file = nullptr;
  bool created = false;
  bool settled = false;
};

}  // namespace nDRAVI100
