// The map file: its layout, and the constants that every reader and writer
// of its bytes shares.
//
// A map file holds the persistent maps of one bitness: "dravimap" for 32-bit
// libraries, "dravimap64" for 64-bit ones, in the map directory. Every
// integer is an unsigned 32-bit little-endian value, and fields follow one
// another without padding; there is no trailer and no checksum.
//
//   offset 0  magic    the bytes 20 66 6D 64 (" fmd"), 0x646D6620 as a value
//   offset 4  version  1
//   offset 8  a map section for uMap, then one for kMap (for the kinds that
//             usesUKMaps names; any other kind's file holds one for sMap)
//
// A map section is a count, then that many records, in ascending key order:
//
//   key length    the class name's length + 1
//   key           the class name's bytes and one NUL
//   value length  the library path's length + 1
//   value         the library path's bytes and one NUL
//
// An empty map is a count of 0. A string ends at the first NUL of its bytes;
// a record this tool never writes (a length of 0, or bytes without a NUL) is
// read as the bytes it has. Of two records with the same key the later wins.
// Bytes after the last section hold no binding; a file that has any is
// not as this tool writes it, and the next save drops them.
//
// Example: uMap binding "A" to "lib.so" and an empty kMap are 33 bytes:
//   20 66 6D 64  01 00 00 00
//   01 00 00 00  02 00 00 00 41 00  07 00 00 00 6C 69 62 2E 73 6F 00
//   00 00 00 00
//
// The copy mark. Where a save cannot rename its temporary file over the map
// file, it copies the temporary file's bytes in place, and first writes
// over the map file's head a mark that names those bytes:
//
//   offset 0   the bytes 7F 63 70 79 ("\x7F" "cpy"), which are not the magic
//   offset 4   FF FF FF FF, a version no map file has
//   offset 8   the temporary file's size, 64-bit little-endian
//   offset 16  the digest of its bytes (see digestOfFile), 64-bit
//
// The copy writes the head of the new content over the mark last. A map file
// that carries the mark is a copy that began and did not finish, and it can
// be finished only from the temporary file whose size and digest it names.
// Damage cannot make a mark: a stray write or a cut file would have to
// write these 24 bytes, digest included, of a file beside it.
//
// Its bytes are read in tMapFileReader.cc (a field at a time: tFieldReader.h),
// written in tMapFileWriter.cc, and the copy mark made and read in
// tCopyMark.cc. How the file is loaded, saved and recovered:
// persistentStorage/tMapFileAccess.cc.
#pragma once

#include <cstdint>

namespace nDRAVI100 {

constexpr std::uint32_t kMapFileMagic = 0x646D6620;
constexpr std::uint32_t kMapFileVersion = 1;
constexpr std::uint32_t kCopyMarkTag = 0x7970637F;
constexpr std::uint32_t kCopyMarkVersion = 0xFFFFFFFF;

}  // namespace nDRAVI100
