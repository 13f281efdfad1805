// Reading and writing the bytes of a map file.
//
// The layout is described once, at the top of tMapFile.cc. These functions
// work on open streams so that the store, the tests and the fuzz targets all
// use the same code; the store's loadMapFile and saveMapFile (also in
// tMapFile.cc) add the files, the temporary file and the rename around them.
#pragma once

#include <cstdio>
#include <string>

#include "classMap/tClassMapStore.h"
#include "tool/tStatus.h"

namespace nDRAVI100 {

// Returns true for the kinds whose map file holds `uMap` and `kMap` (0, 2
// and 4); the map file of any other kind holds `sMap`, and kinds 1 and 3 have
// none. Sets nothing.
bool usesUKMaps(tOS os);

// Returns true when `map` can be written without a count or length that
// overflows the format's 32 bits.
bool fitsMapFileFormat(const tClassNameMap& map);

// Writes one map section of `map` to `out`. The first write that puts out
// fewer bytes than asked raises -50208 and ends the section.
void writeMap(const tClassNameMap& map, std::FILE* out, tStatus& status);

// Reads one map section from `in` into `map`; a record for a class that is
// already there replaces its library path. When the section ends early,
// raises -50207 and empties `map`, also of the records this section added.
// Memory grows only with the bytes that actually arrive, whatever the stored
// count and lengths claim.
void readMap(tClassNameMap& map, std::FILE* in, tStatus& status);

// Writes a whole map file: the header, then `first` and, when it is given,
// `second`. A failed write raises -50208.
void writeMapFileContents(std::FILE* out, const tClassNameMap& first, const tClassNameMap* second,
                          tStatus& status);

// Reads a whole map file into `first` and, when it is given, `second`. A file
// too short raises -50207, a wrong magic -50257 and a version other than 1
// -50250. Bytes after the last section are not read.
void readMapFileContents(std::FILE* in, tClassNameMap& first, tClassNameMap* second,
                         tStatus& status);

// Copies the file at `source` to `destination`, 256 bytes at a time, and
// syncs the copy to disk. A file that cannot be opened raises -50204; a read
// error, a short or failed write, or a failed sync or close of the
// destination raises -50209. Does not test the word on entry.
void copyFile(const std::string& source, const std::string& destination, tStatus& status);

}  // namespace nDRAVI100
