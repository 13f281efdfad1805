// An open stdio stream that is closed on every path.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace nDRAVI100 {

// Owns one FILE*. The destructor closes the stream and ignores the result,
// which is right for a stream that was only read, or whose writes are being
// abandoned anyway; a stream whose writes must reach the file is closed with
// close(), whose result says whether they did.
class tFile {
 public:
  tFile() = default;
  explicit tFile(std::FILE* stream) : handle(stream) {}
  ~tFile() {
    if (handle != nullptr) (void)std::fclose(handle);
  }

  tFile(const tFile&) = delete;
  tFile& operator=(const tFile&) = delete;
  tFile(tFile&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
  tFile& operator=(tFile&& other) noexcept {
    if (this != &other) {
      tFile dropped(std::exchange(handle, std::exchange(other.handle, nullptr)));
    }
    return *this;
  }

  // Opens `path` with fopen's `mode`. On failure the object is empty and
  // errno says why.
  static tFile open(const std::string& path, const char* mode) {
    return tFile(std::fopen(path.c_str(), mode));
  }

  // Returns the stream, or null when there is none.
  std::FILE* get() const { return handle; }
  explicit operator bool() const { return handle != nullptr; }

  // Closes the stream and returns true when fclose succeeded, that is, when
  // everything written has been handed to the system. The object is empty
  // afterwards, whatever the result; an empty object returns false.
  [[nodiscard]] bool close() {
    std::FILE* closing = std::exchange(handle, nullptr);
    return closing != nullptr && std::fclose(closing) == 0;
  }

 private:
  std::FILE* handle = nullptr;
};

}  // namespace nDRAVI100
