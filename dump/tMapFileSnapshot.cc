#include "dump/tMapFileSnapshot.h"

#include <sys/stat.h>

#include <algorithm>

#include "cli/tFailure.h"

namespace nDRAVI100 {

namespace {

// Keeps the records a filter keeps, as a map would: of two records for one
// class the later wins. While the records of every section come in
// ascending order of class, as a file that this tool wrote has them, no
// class comes twice, and a record that is not kept is only counted. Once
// one does not, a record not kept may be the later of two for a class
// kept, and every class counts only once: the file is then read again with
// every class kept (`everyClass`), those of records not kept as marks that
// settle drops.
class tSnapshotSink final : public tRecordSink {
 public:
  tSnapshotSink(tMapFileSnapshot& into, const tBindingFilter& keeping)
      : snapshot(into), filter(keeping) {}

  void restart() {
    for (auto& section : entries) section.clear();
    records = {};
    snapshot.heldBytes.clear();
    snapshot.anyInFile = false;
    unordered = false;
  }

  void take(int section, const tWalkedString& className, const tWalkedString& libraryPath,
            bool sortsLast) override {
    const auto at = static_cast<std::size_t>(section);
    ++records.at(at);
    if (!sortsLast) unordered = true;
    // Records out of order are read again with every class: what this read
    // would keep of them is not needed.
    if (unordered && !everyClass) return;
    const bool kept = keeps(section, className, libraryPath);
    if (!kept && !everyClass) return;
    std::vector<tEntry>& taken = entries.at(at);
    if (!taken.empty()) dropIfSameClass(taken, className);
    taken.push_back({hold(className), kept ? hold(libraryPath) : tSnapshotString{}, kept});
  }

  // Turns what was taken into the snapshot's bindings and counts.
  void settle() {
    for (std::size_t section = 0; section < 2; ++section) {
      std::vector<tEntry>& taken = entries.at(section);
      std::vector<tSnapshotBinding>& bindings = snapshot.bindings.at(section);
      bindings.clear();
      if (!everyClass) {
        snapshot.counts.at(section) = records.at(section);
        for (const tEntry& entry : taken) bindings.push_back({entry.className, entry.library});
        continue;
      }
      // The later of two records for one class wins: a stable sort keeps
      // them in file order, and the last of each class is the binding.
      bool failed = false;
      const int fd = snapshot.file.descriptor();
      std::stable_sort(taken.begin(), taken.end(), [&](const tEntry& left, const tEntry& right) {
        return compareWalkedStrings(fd, walked(left.className), walked(right.className), failed) <
               0;
      });
      std::uint64_t classes = 0;
      for (std::size_t first = 0; first < taken.size();) {
        std::size_t last = first;
        while (last + 1 < taken.size() &&
               compareWalkedStrings(fd, walked(taken[first].className),
                                    walked(taken[last + 1].className), failed) == 0) {
          ++last;
        }
        ++classes;
        if (taken[last].kept) bindings.push_back({taken[last].className, taken[last].library});
        first = last + 1;
      }
      snapshot.counts.at(section) = classes;
    }
  }

  bool everyClass = false;
  bool unordered = false;

 private:
  struct tEntry {
    tSnapshotString className;
    tSnapshotString library;
    bool kept = false;
  };

  // A string longer than any argument of a command line matches none.
  static bool isOneOf(const tWalkedString& text, const std::vector<std::string>& names) {
    if (names.empty()) return true;
    return text.held && std::find(names.begin(), names.end(), text.bytes) != names.end();
  }

  bool keeps(int section, const tWalkedString& className, const tWalkedString& libraryPath) const {
    const bool inScope =
        section == 0 ? filter.scope != tScopeChoice::kOnly : filter.scope != tScopeChoice::uOnly;
    return filter.keep && inScope && isOneOf(className, filter.classes) &&
           isOneOf(libraryPath, filter.libraries);
  }

  tSnapshotString hold(const tWalkedString& text) {
    if (!text.held || text.length > filter.longestHeld) {
      snapshot.anyInFile = true;
      return {true, text.offset, text.length};
    }
    const tSnapshotString held{false, snapshot.heldBytes.size(), text.length};
    snapshot.heldBytes.append(text.bytes);
    return held;
  }

  // A record for the class of the one before it overrides that one, which
  // then holds nothing any more: it goes, with the bytes it held (the last
  // held), so that a file of one class repeated costs one binding and not
  // one for each record.
  void dropIfSameClass(std::vector<tEntry>& taken, const tWalkedString& className) {
    const tEntry& previous = taken.back();
    if (previous.className.inFile || !className.held ||
        snapshot.heldOf(previous.className) != className.bytes) {
      return;
    }
    snapshot.heldBytes.resize(previous.className.at);
    taken.pop_back();
  }

  tWalkedString walked(const tSnapshotString& text) const {
    if (text.inFile) return {false, {}, text.at, text.length};
    return {true, snapshot.heldOf(text), 0, text.length};
  }

  tMapFileSnapshot& snapshot;
  const tBindingFilter& filter;
  std::array<std::vector<tEntry>, 2> entries;
  std::array<std::uint64_t, 2> records{};
};

}  // namespace

tMapFileSnapshot readMapFileSnapshot(const std::string& path, bool checkHead, bool waitForCopy,
                                     const std::string& root, const tBindingFilter& filter) {
  tMapFileSnapshot snapshot;
  tMapFileReading how;
  how.checkHead = checkHead;
  how.waitForCopy = waitForCopy;
  tSnapshotSink sink(snapshot, filter);
  const auto walk = [&] {
    static_cast<tMapFileRead&>(snapshot) = walkMapFile(
        path, how, sink, [&] { sink.restart(); }, snapshot.file, root);
  };
  walk();
  if (sink.unordered) {
    sink.everyClass = true;
    walk();
  }
  sink.settle();
  return snapshot;
}

bool tMapFileSnapshot::forEachPiece(const tSnapshotString& text,
                                    const std::function<void(std::string_view)>& piece) const {
  if (!text.inFile) {
    if (text.length > 0) piece(heldOf(text));
    return true;
  }
  return forEachPieceOf(file.descriptor(), {false, {}, text.at, text.length}, piece);
}

std::string tMapFileSnapshot::textOf(const tSnapshotString& text) const {
  std::string bytes;
  (void)forEachPiece(text, [&](std::string_view piece) { bytes.append(piece); });
  return bytes;
}

std::string tMapFileSnapshot::prefixOf(const tSnapshotString& text, std::uint64_t count) const {
  return textOf({text.inFile, text.at, std::min(text.length, count)});
}

std::string_view tMapFileSnapshot::heldOf(const tSnapshotString& text) const {
  if (text.inFile) return {};
  return std::string_view(heldBytes).substr(static_cast<std::size_t>(text.at),
                                            static_cast<std::size_t>(text.length));
}

std::string fileKindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "a directory";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "a regular file";
  }
}

std::string countsOf(const tMapFileSnapshot& snapshot) {
  return std::to_string(snapshot.counts[0]) + " U and " + std::to_string(snapshot.counts[1]) +
         " K bindings";
}

std::string damageOf(const tMapFileSnapshot& snapshot) {
  return snapshot.scan.problem + " at offset " + std::to_string(snapshot.scan.offset);
}

std::string troubleOf(const tMapFileSnapshot& snapshot) {
  switch (snapshot.state) {
    case tMapFileState::cannotOpen:
      return "cannot be opened (" + tFailure::ofErrno(snapshot.error).message() + ")";
    case tMapFileState::notRegular:
      return "not a regular file (" + fileKindOf(snapshot.mode) + ")";
    case tMapFileState::unsettled:
      return "changed while it was read, on each of " + std::to_string(kMapFileReadAttempts) +
             " reads";
    case tMapFileState::copyUnfinished:
      return "a copy into it began and did not finish";
    default:
      return "cannot be read (" + tFailure::ofErrno(snapshot.error).message() + ")";
  }
}

}  // namespace nDRAVI100
