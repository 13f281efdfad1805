// A file at one of the tool's own paths, opened only when it is a regular file.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace nDRAVI100 {

// A regular file opened for reading (or writing), closed when the object
// goes.
//
// The tool's own paths (the directory file, the map files, the temporary
// file) are opened only once they are known to hold a regular file: a FIFO
// there would make the run wait for a writer forever, a device could be
// read without end, and opening some devices has effects of its own. So the
// file is first located without opening it (O_PATH, or fstatat where no
// descriptor is needed), checked,
// and only then opened: through /proc/self/fd, as that very inode, or by
// name again without blocking and checked once more (see tReopening).
// Anything but a regular file is refused.
class tRegularFile {
 public:
  // How a file located and found regular is then opened.
  enum class tReopening {
    // As the very inode located, through /proc/self/fd, whatever happened
    // to its name meanwhile; by name where /proc is not mounted (an image
    // being built in a chroot).
    asLocated,
    // By name: for a file on a way that only root and the caller can
    // change (see openJudgingTheWay), so that what the name leads to
    // changes by their hand alone, and a device put there between the two
    // steps would be theirs. A run's first look into /proc/self/fd costs
    // the kernel about 20 µs, a tenth of what an install step does beyond
    // rewriting its file.
    byName,
  };

  // Locates a file: called with the flags to open it with, it opens it and
  // returns the descriptor, or -1 with errno set. A locator that has just
  // fstat'd the descriptor it returns, with nothing done to it since, may
  // put the result in `found`, which then stands for that fstat; left as it
  // is given (zeroed), the descriptor is fstat'd here.
  using tLocator = std::function<int(int flags, struct stat& found)>;

  // Opens the file that `locate` finds with `access` (O_RDONLY, O_RDWR or
  // O_WRONLY), without blocking and without becoming its controlling
  // terminal, and keeps it open only when fstat shows a regular file.
  // The file is reopened as tReopening::asLocated.
  static tRegularFile open(const tLocator& locate, int access);

  // Opens by name, as tReopening::byName does, a file already located and
  // stat'd path-only (`located`: what fstatat, or openJudgingTheWay, said
  // of it) on a way that only root and the caller can change; `locate` is
  // called with the flags to open it with. The path-only descriptor that
  // open() would make here is needed for nothing but its fstat.
  static tRegularFile openLocated(const struct stat& located, const tLocator& locate, int access);

  // Opens `path` read-only, resolved as openInRoot resolves it: inside
  // `root` (empty: the running system), links followed there.
  static tRegularFile openForReading(const std::string& path,
                                     const std::string& root = std::string());

  // Opens `name` in the directory open at `directory` with `access`, never
  // through a symbolic link: a link there is refused (notRegular()).
  static tRegularFile openAt(int directory, const std::string& name, int access,
                             tReopening reopening = tReopening::asLocated);

  tRegularFile() = default;
  ~tRegularFile();
  tRegularFile(const tRegularFile&) = delete;
  tRegularFile& operator=(const tRegularFile&) = delete;
  tRegularFile(tRegularFile&& other) noexcept;
  tRegularFile& operator=(tRegularFile&& other) noexcept;

  // The descriptor, or -1 when the file could not be opened or was refused.
  [[nodiscard]] int descriptor() const { return fd; }
  [[nodiscard]] explicit operator bool() const { return fd >= 0; }
  // errno of the failed open or fstat; 0 when it opened or was refused.
  [[nodiscard]] int error() const { return openError; }
  // True when something that is not a regular file is at the path.
  [[nodiscard]] bool notRegular() const { return refused; }
  // What fstat said of the open descriptor (or of what was refused).
  [[nodiscard]] const struct stat& status() const { return opened; }

  // Appends what is left of the file to `bytes`, for small files read
  // whole. Returns 0, or the errno of the read that failed.
  [[nodiscard]] int readRest(std::string& bytes) const;

  // Closes the descriptor and returns true when close succeeded; the object
  // is empty afterwards.
  [[nodiscard]] bool close();

  // Hands the descriptor over to the caller; the object is empty afterwards.
  [[nodiscard]] int release();

 private:
  int fd = -1;
  int openError = 0;
  bool refused = false;
  struct stat opened {};
};

// Returns true when a failed call's errno says that no file can be at the
// path: it is not there, a directory above it is not one, or the path is too
// long to name anything. Every reader of the tool's files decides "missing"
// here, so that a file one of them finds absent no other takes for a
// failure.
bool isMissingFileError(int error);

// Returns true when two fstat results show the same version of one file:
// the same inode, size and modification time. A read between them that saw
// the same version saw it whole, provided every writer that changes the
// file in place lets the clock move past its old times first (see
// waitForNewFileTimes). The change time is not compared: a save that renames
// a new file over this one changes it (the link count drops), but not a
// byte the reader reads, and the inode it read whole is then a whole old
// version.
bool sameFileVersion(const struct stat& before, const struct stat& after);

// read(2) that retries EINTR: the count read, 0 at the end, -1 with errno.
long readRetrying(int fd, char* into, std::size_t room);

// Writes all `count` bytes at `bytes` to `fd` (at `offset` when it is not
// negative), retrying EINTR and short writes. Returns false, with errno set,
// when a write fails or puts out nothing.
bool writeFully(int fd, const char* bytes, std::size_t count, long offset = -1);

// Writes the bytes of every piece of `pieces`, in order, to `fd` at its
// offset, as writeFully writes one: with one writev where the kernel takes
// them all, retrying EINTR and short writes. Returns false, with errno set,
// when a write fails or puts out nothing.
bool writeAllPieces(int fd, std::span<const std::string_view> pieces);

// Asks the kernel to start writing the changed pages of `fd`'s file to its
// device, and returns without waiting for them. Only a hint: a writer that
// syncs the file later waits for less, and where the kernel cannot start
// the writing nothing is lost, so a failure is not reported.
void startWriteBack(int fd);

// Reads exactly `count` bytes at `offset` of `fd`. Returns false when the
// file ends first or a read fails.
bool readFullyAt(int fd, char* into, std::size_t count, long offset);

// Calls `readOnce` until it returns true, meaning that it read one version
// of a file (sameFileVersion held around the read), at most `attempts`
// times, pausing 20 ms before the second attempt and twice as long before
// each later one: a rewrite in place of a large file takes a while. Returns
// whether an attempt returned true.
template <typename ReadOnce>
bool readOneVersion(int attempts, ReadOnce readOnce) {
  std::chrono::milliseconds pause{20};
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (readOnce()) return true;
    if (attempt < attempts) {
      std::this_thread::sleep_for(pause);
      pause *= 2;
    }
  }
  return false;
}

// Returns once a change made to the file described by `file` from now on
// is sure to give it a modification time other than the one it has: the
// kernel stamps file times from a coarse clock, so two changes within one
// tick can leave the same times behind. Waits until the coarse clock is past
// the later of the file's modification and change times (past the end of
// that second on a file system that keeps whole seconds): a tick at most,
// or a second there. A time ahead of the clock is waited out too, unless
// its second is two or more ahead of the clock's (a clock stepped back, a
// file stamped by a machine whose clock ran ahead): then the call returns
// at once.
void waitForNewFileTimes(const struct stat& file);

}  // namespace nDRAVI100
