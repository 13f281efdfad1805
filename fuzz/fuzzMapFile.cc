// The map file reader: any bytes, and a file that loads re-saves to bytes
// that load to the same maps and re-save to the same bytes. The salvaging
// scanner agrees with the reader on every input and never claims more bytes
// than there are. Reading, with or without keeping the maps, finds the file
// as written exactly when saving its maps gives its bytes back: a run that
// wrongly thought so would keep a file it must mend, and one that wrongly
// did not would rewrite the map for nothing. A save from the file's image
// writes what a save of the same maps written afresh does, also once the
// maps have been changed: the bytes after the last section, which hold no
// binding, are read as the changes (an add, a delete, a delete by library)
// made to the loaded maps before they are saved.
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzzCheck.h"
#include "mapFile/tMapFile.h"

namespace {

using nDRAVI100::tClassNameMap;
using nDRAVI100::tStatus;

// A descriptor of an anonymous file holding `bytes`, at offset 0.
int fileHolding(const std::string& bytes) {
  const int fd = ::memfd_create("map", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

// Reads `bytes` through a descriptor, keeping the maps (when given) or only
// checking.
nDRAVI100::tMapFileScan readDescriptor(const std::string& bytes, tClassNameMap* first,
                                       tClassNameMap* second, tStatus& status) {
  const int fd = fileHolding(bytes);
  nDRAVI100::tMapFileScan scan = nDRAVI100::readMapFileDescriptor(fd, 2, first, second, status);
  ::close(fd);
  return scan;
}

tStatus load(const std::string& bytes, tClassNameMap& first, tClassNameMap& second) {
  tStatus status = 0;
  (void)readDescriptor(bytes, &first, &second, status);
  return status;
}

std::string save(const tClassNameMap& first, const tClassNameMap& second) {
  const int fd = fileHolding("");
  tStatus status = 0;
  nDRAVI100::writeMapFileDescriptor(fd, first, &second, status);
  FUZZ_CHECK(status == 0);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  FUZZ_CHECK(::pread(fd, bytes.data(), bytes.size(), 0) == size);
  ::close(fd);
  return bytes;
}

// Applies the changes that `commands` names, two bytes each, to the maps:
// the first byte picks the map and the change, the second the binding it
// starts from. A name made here holds no NUL: a string of a map file ends
// at its first, so no such name comes back from a save.
void applyChanges(std::string_view commands, tClassNameMap& first, tClassNameMap& second) {
  constexpr std::size_t kMostChanges = 16;
  for (std::size_t at = 0; at + 1 < commands.size() && at < 2 * kMostChanges; at += 2) {
    const auto op = static_cast<unsigned char>(commands[at]);
    const auto pick = static_cast<unsigned char>(commands[at + 1]);
    tClassNameMap& map = (op & 0x80U) != 0 ? second : first;
    if (map.empty()) {
      map.assign(std::string(1, static_cast<char>(pick | 1U)), "/new.so");
      continue;
    }
    // Copies: a change may move what the views show.
    const nDRAVI100::tBindingView binding =
        *(map.begin() + static_cast<std::ptrdiff_t>(pick % map.size()));
    const std::string className(binding.className);
    const std::string libraryPath(binding.libraryPath);
    switch (op % 4) {
      case 0:  // a class added right after this one, bound to its path
        map.assign(className + static_cast<char>('!' + (op >> 2)), libraryPath);
        break;
      case 1:  // this class bound to a path of its own
        map.assign(className, libraryPath + "~");
        break;
      case 2:
        (void)map.erase(className);
        break;
      default:
        (void)map.eraseBoundTo(libraryPath);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  tClassNameMap first;
  tClassNameMap second;
  tStatus status = 0;
  const nDRAVI100::tMapFileScan loaded = readDescriptor(bytes, &first, &second, status);
  FUZZ_CHECK(status == 0 || status == -nDRAVI100::nCode::kMapFileTooShort ||
             status == -nDRAVI100::nCode::kBadVersion || status == -nDRAVI100::nCode::kBadMagic);

  tClassNameMap firstScanned;
  tClassNameMap secondScanned;
  const int fd = fileHolding(bytes);
  const nDRAVI100::tMapFileScan scan =
      nDRAVI100::scanMapFileDescriptor(fd, 2, firstScanned, &secondScanned);
  ::close(fd);
  FUZZ_CHECK(scan.code == status);
  FUZZ_CHECK(scan.offset <= size);
  FUZZ_CHECK(!scan.readFailed);
  tStatus checked = 0;
  const bool checkedAsWritten = readDescriptor(bytes, nullptr, nullptr, checked).asWritten;
  FUZZ_CHECK(checked == status);
  FUZZ_CHECK(loaded.asWritten == checkedAsWritten);
  FUZZ_CHECK(loaded.asWritten == (status == 0 && save(first, second) == bytes));
  // No map file can be taken for a copy mark, nor a mark for a map file.
  FUZZ_CHECK(!(status == 0 && nDRAVI100::decodeCopyMark(bytes)));
  if (status != 0) return 0;
  FUZZ_CHECK(firstScanned == first);
  FUZZ_CHECK(secondScanned == second);

  applyChanges(std::string_view(bytes).substr(loaded.offset), first, second);
  const std::string saved = save(first, second);
  // The maps view their strings in the file's image, and the writer copies
  // the records that stand there as it would write them; copies own their
  // bytes and hold no image, so that every record is written afresh.
  FUZZ_CHECK(saved == save(tClassNameMap(first), tClassNameMap(second)));
  tClassNameMap firstAgain;
  tClassNameMap secondAgain;
  FUZZ_CHECK(load(saved, firstAgain, secondAgain) == 0);
  FUZZ_CHECK(firstAgain == first);
  FUZZ_CHECK(secondAgain == second);
  FUZZ_CHECK(save(firstAgain, secondAgain) == saved);
  return 0;
}
