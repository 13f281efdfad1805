// Reading a map file: streamed through a small buffer when it is only
// checked, read whole into an image that the maps view when it is loaded.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "mapFile/tDescriptorSource.h"
#include "mapFile/tFieldReader.h"
#include "mapFile/tMapFile.h"
#include "mapFile/tMapFileFormat.h"
#include "os/tLargeAllocator.h"
#include "os/tRegularFile.h"

namespace nDRAVI100 {

namespace {

// A whole file read into memory that maps can share: the maps loaded from
// it view their strings in it instead of copying them, and a save writes
// the records that it still holds as they stand.
struct tFileImage {
  std::shared_ptr<const char> owner;
  std::string_view bytes;
  int error = 0;  // errno of a failed read; the bytes then say nothing
};

// A file larger than this is checked, through a small buffer, before any of
// it is read into an image, and only the bytes of its sections are: a file
// whose records end early, or whose sections are followed by more bytes
// than it holds in them, costs no memory of its size. Below it, a file is
// read whole at once, as the bindings of an ordinary map file are: a
// million of them take about 70 MiB.
constexpr std::uint64_t kLargestUncheckedImage = std::uint64_t{128} << 20;

// No limit on the bytes read into an image.
constexpr std::uint64_t kWholeFile = std::numeric_limits<std::uint64_t>::max();

// Reads what `fd` holds from its offset on, up to `limit` bytes, into one
// block, sized by `size` (its fstat) and grown should the file be longer, from
// allocateLarge: the same memory as a map's own large arrays, in huge pages
// where it is large. Throws std::bad_alloc when the block cannot be had.
tFileImage readFileImage(int fd, std::uint64_t limit, std::uint64_t size) {
  // One byte more than the file has, so that its end is seen by a read
  // that returns nothing, not by one more allocation.
  std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(
                             std::min(size, limit), std::numeric_limits<std::size_t>::max() - 1)) +
                         1;
  tLargeBlock block(static_cast<char*>(allocateLarge(capacity, capacity)));
  std::size_t filled = 0;
  tFileImage image;
  while (filled < limit) {
    if (filled == capacity) {
      // The file grew since fstat: the caller's own fstat sees it too.
      const std::size_t larger = capacity * 2;
      tLargeBlock grown(static_cast<char*>(allocateLarge(larger, larger)));
      std::memcpy(grown.get(), block.get(), filled);
      block = std::move(grown);
      capacity = larger;
    }
    const long got = readRetrying(
        fd, block.get() + filled,
        static_cast<std::size_t>(std::min<std::uint64_t>(capacity - filled, limit - filled)));
    if (got < 0) image.error = errno;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  image.bytes = {block.get(), filled};
  image.owner = std::shared_ptr<const char>(block.release(), tFreeBlock{});
  return image;
}

}  // namespace

static tMapFileScan scanDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, bool checkHead = true);

// What a map asks for before it views a file image (see
// tClassNameMap::assignViewed). A save writes a viewed record from the
// image as it stands, so only the loader here, which views nothing but
// records read exactly as the writer writes them, can make one.
class tMapImageKey {
  tMapImageKey() = default;
  friend tMapFileScan scanDescriptor(int fd, int sections, tClassNameMap* first,
                                     tClassNameMap* second, bool checkHead);
};

namespace {

// Reads one section into `map`, keeping the whole records it reads, or only
// checks it when `map` is null. Returns false when the section ends early;
// `start` is then where the count or the record that could not be read
// begins. Clears `asWritten` unless every record is one the writer would
// write, in the order it would write them.
bool readSection(const tMapImageKey& key, tFieldReader& reader, tClassNameMap* map,
                 std::uint64_t& start, const char*& problem, bool& asWritten) {
  start = reader.offset();
  std::uint32_t count = 0;
  if (!reader.word(count)) {
    problem = "file ends inside a section's count";
    return false;
  }
  // Room for the records the file can really hold, and for a few more: growing
  // the array one doubling at a time would copy it and fault in its pages
  // again and again, and a run that adds a binding or two to a large map
  // would copy it all once more, holding both copies at its peak. The room
  // is counted in bindings, 32 bytes each, not in the 8 bytes of the
  // smallest record, so that the reserve never outgrows the file: a map of
  // empty records would otherwise reserve four times its size.
  if (map != nullptr) {
    const auto records = static_cast<std::size_t>(
        std::min<std::uint64_t>(count, reader.roomFor(sizeof(tBindingView))));
    map->reserve(map->size() + records + records / 64 + 16);
  }
  if (map == nullptr) {
    if (reader.skipRecords(count, start, asWritten)) return true;
    problem = "file ends inside a record";
    return false;
  }
  // A map filled from empty takes the records as the writer writes them in
  // one tight loop; the first record that is not, and every one after it,
  // go the way below.
  std::uint32_t record = 0;
  if (map->empty()) {
    record = reader.takeWrittenRecords(
        count, [&](std::string_view className, std::string_view libraryPath) {
          map->appendViewedInOrder(key, className, libraryPath);
        });
  }
  std::string_view className;
  std::string_view libraryPath;
  bool recordAsWritten = true;
  for (; record < count; ++record) {
    start = reader.offset();
    if (!reader.record(className, libraryPath, recordAsWritten)) {
      problem = "file ends inside a record";
      return false;
    }
    // Of two records for the same class the later wins. The writer's
    // classes are unique and ascending: each sorts after all before it. A
    // record as the writer writes it is viewed where it stands, so that a
    // save writes it from there; any other is copied, and written afresh.
    if (recordAsWritten) {
      const bool last = map->assignViewed(key, className, libraryPath);
      asWritten = asWritten && last;
    } else {
      map->assign(className, libraryPath);
      asWritten = false;
    }
  }
  return true;
}

// Reads a whole map file of `sections` sections from `reader` into `first`
// and `second`, or only checks a section whose map is null; see
// scanMapFileDescriptor. Leaves readFailed to the caller, who knows where
// the bytes came from.
tMapFileScan scanFields(const tMapImageKey& key, tFieldReader& reader, int sections,
                        tClassNameMap* first, tClassNameMap* second, bool checkHead) {
  tMapFileScan scan;
  auto stop = [&](tStatus code, std::uint64_t offset, std::string problem) {
    scan.code = code;
    scan.offset = offset;
    scan.problem = std::move(problem);
    return scan;
  };

  if (!readMapFileHead(reader, checkHead, scan)) return scan;
  bool asWritten = true;
  for (int section = 0; section < sections; ++section) {
    std::uint64_t start = 0;
    const char* problem = "";
    if (!readSection(key, reader, section == 0 ? first : second, start, problem, asWritten)) {
      return stop(-nCode::kMapFileTooShort, start, problem);
    }
    ++scan.wholeSections;
  }
  scan.offset = reader.offset();
  scan.bytesAfter = !reader.atEnd();
  // The writer puts nothing after the last section.
  scan.asWritten = asWritten && !scan.bytesAfter;
  return scan;
}

}  // namespace

// Reads the file open at `fd` as scanFields does. A file that is only
// checked streams through a buffer that stays in the processor's cache; a
// file that is loaded is read whole into an image that the maps keep and
// view their strings in.
static tMapFileScan scanDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, bool checkHead) {
  const tMapImageKey key;
  auto check = [&] {
    tDescriptorSource source(fd);
    tFieldReader reader(source, true);
    tMapFileScan scan = scanFields(key, reader, sections, nullptr, nullptr, checkHead);
    scan.asWritten = scan.asWritten && reader.zerosAsWritten();
    scan.readFailed = source.failed(scan.readError);
    return scan;
  };
  if (first == nullptr) return check();
  // A large file is checked first, and only the bytes up to where its
  // sections end, or its damage begins, are read into the image: what
  // follows them holds no binding.
  tMapFileScan checked;
  std::uint64_t limit = kWholeFile;
  const std::uint64_t size = sizeHint(fd);
  if (size > kLargestUncheckedImage) {
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    checked = check();
    if (!checked.readFailed && (start < 0 || ::lseek(fd, start, SEEK_SET) < 0)) {
      checked.readFailed = true;
      checked.readError = errno;
    }
    if (checked.readFailed) return checked;
    limit = checked.offset;
  }
  tMapFileScan scan;
  try {
    const tFileImage image = readFileImage(fd, limit, size);
    for (tClassNameMap* map : {first, second}) {
      if (map != nullptr) map->shareImage(key, image.owner, image.bytes);
    }
    tFieldReader reader(image.bytes);
    scan = scanFields(key, reader, sections, first, second, checkHead);
    scan.readFailed = image.error != 0;
    scan.readError = image.error;
  } catch (const std::bad_alloc&) {
    // Bindings that this run cannot hold: read as a read that failed, so
    // that nothing is saved over them and nothing is moved. A file known to
    // be damaged stays damaged, its records unread.
    for (tClassNameMap* map : {first, second}) {
      if (map != nullptr) map->clear();
    }
    if (limit != kWholeFile && checked.code != 0) {
      checked.wholeSections = 0;
      return checked;
    }
    scan = {};
    scan.readFailed = true;
    scan.readError = ENOMEM;
    return scan;
  }
  if (limit == kWholeFile || scan.readFailed) return scan;
  // The image ends where the check stopped: the check says why, and what
  // follows.
  if (checked.code != 0 && scan.offset == checked.offset) {
    scan.code = checked.code;
    scan.problem = checked.problem;
    scan.wholeSections = checked.wholeSections;
  }
  scan.bytesAfter = checked.bytesAfter;
  scan.asWritten = scan.asWritten && !checked.bytesAfter;
  return scan;
}

namespace {

// Turns a scan into the word's code and empties the section that ended
// early; a whole section before it keeps what it read.
void settleScan(const tMapFileScan& scan, tClassNameMap& first, tClassNameMap* second,
                tStatus& status) {
  if (scan.code == 0) return;
  raiseError(status, -scan.code);
  if (scan.code == -nCode::kMapFileTooShort && scan.wholeSections < 2) {
    tClassNameMap* failed = scan.wholeSections == 0 ? &first : second;
    if (failed != nullptr && scan.offset >= kMapFileHeadSize) failed->clear();
  }
}

}  // namespace

tMapFileScan scanMapFileDescriptor(int fd, int sections, tClassNameMap& first,
                                   tClassNameMap* second, bool checkHead) {
  return scanDescriptor(fd, sections, &first, second, checkHead);
}

tMapFileScan readMapFileDescriptor(int fd, int sections, tClassNameMap* first,
                                   tClassNameMap* second, tStatus& status) {
  if (isError(status)) return {};
  tMapFileScan scan = scanDescriptor(fd, sections, first, second);
  if (scan.readFailed) {
    raiseError(status, nCode::kMapFileTooShort);
  } else if (first != nullptr) {
    settleScan(scan, *first, second, status);
  } else if (scan.code != 0) {
    raiseError(status, -scan.code);
  }
  return scan;
}

}  // namespace nDRAVI100
