// Every file of the class map, named in one place.
#pragma once

#include <string>

namespace nDRAVI100 {

// Why the map directory is the one it is.
enum class tDirectorySource {
  directoryFile,    // the directory file's first line named it
  noDirectoryFile,  // the fallback: the directory file cannot be opened
  unreadableFile,   // the fallback: reading the directory file failed
  notRegularFile,   // the fallback: a FIFO, device, directory or socket is at its path
  emptyFile,        // the fallback: the directory file holds no byte
  emptyFirstLine,   // the fallback: the first line is empty, or only "/"
};

// The map directory and how it was found, for the tools that explain it.
struct tMapDirectoryLookup {
  std::string directory;  // the map directory, without a trailing '/'
  tDirectorySource source = tDirectorySource::noDirectoryFile;
  int error = 0;          // errno of the failed open or read, when there was one
  std::string firstLine;  // the directory file's first line as read, cut at 4097 bytes
  // Without a root: empty when only root and the caller could change the
  // directory file or the way to it; else which component another user
  // could change, and why (see openJudgingTheWay).
  std::string steeredBy;
};

// The paths of the class map of one system: the running one, or a system
// image in a directory that stands for its "/" (the root of an offline
// run). zembril, zembril-dump and zembril-sync take every path from here.
//
//   <root>/etc/tolvane/.mirtal/mirtal.dir   the directory file: its first
//                                          line, with "/etc" appended,
//                                          names the map directory
//   <root>/usr/local/tolvane/.mirtal/etc    the fallback map directory
//   <map directory>/dravimap, dravimap64    the map files, 32- and 64-bit
//   <map directory>/dravimap.lock           the lock file
//   <map file>.tmp                          the temporary file of a save
//   <map file>.damaged, .damaged.N          kept copies of damaged map files
//   <map file>.declared                     zembril-sync's record of what
//                                          declarations bound in that map
//   <root>/var/lib/zembril/declared32, 64   where zembril-sync 1.2.0 kept
//                                          its records, moved from there
//   <root>/usr/share/zembril/declarations   the packages' declarations
class tMapPaths {
 public:
  // The paths under `root`: an absolute directory, without or with trailing
  // slashes; empty or "/" is the running system. Reads nothing.
  explicit tMapPaths(std::string root = std::string());

  // Reads the directory file once, as a run does (see lookUpMapDirectory),
  // and returns the paths with the map directory it names.
  [[nodiscard]] static tMapPaths resolve(std::string root = std::string());

  // The root without its trailing '/': empty for the running system.
  [[nodiscard]] const std::string& root() const { return rootPath; }

  [[nodiscard]] std::string directoryFile() const;
  [[nodiscard]] std::string fallbackMapDirectory() const;
  [[nodiscard]] std::string declarationsDirectory() const;
  [[nodiscard]] std::string legacyRecordsDirectory() const;

  // Reads the directory file and returns the map directory: its first line,
  // less one trailing '/', with "/etc" appended and taken inside the root
  // (a relative name from the root itself; without a root, from the
  // working directory), or the fallback map directory when the file is
  // missing, unreadable, not a regular file or names nothing. Never waits
  // and never fails.
  [[nodiscard]] tMapDirectoryLookup lookUpMapDirectory() const;

  // What resolve() found; empty for paths that were never resolved.
  [[nodiscard]] const tMapDirectoryLookup& lookup() const { return found; }
  [[nodiscard]] const std::string& mapDirectory() const { return found.directory; }
  [[nodiscard]] std::string lockFile() const;
  [[nodiscard]] std::string mapFile(bool is64Bit) const;

  // The names of the files in a map directory, for the code that reaches
  // them through the directory's descriptor.
  static const char* lockFileName();
  static std::string mapFileName(bool is64Bit);
  // zembril-sync's record of a map file, beside it.
  static std::string recordName(bool is64Bit);
  // The same record where zembril-sync 1.2.0 kept it, in
  // legacyRecordsDirectory().
  static std::string legacyRecordName(bool is64Bit);
  // The temporary file of a save of `target` (a name or a path), beside it.
  static std::string temporaryNameFor(const std::string& target);
  // The name under which the `n`th damaged copy of `target` (a name or a
  // path) is kept: "<target>.damaged" for the first, "<target>.damaged.<n>"
  // after it.
  static std::string damagedNameFor(const std::string& target, int n = 0);

 private:
  std::string rootPath;
  tMapDirectoryLookup found;
};

}  // namespace nDRAVI100
