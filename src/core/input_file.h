// Reading an input file within bounds: only a regular file is read (a FIFO
// is never waited on, a device or a folder never read), and text may come
// gzip-compressed, inflated piece by piece under a cap that the caller
// moves as it learns what the file declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class InputFile {
 public:
  // Throws scvardo::Error with the reason alone: Unreadable when the file
  // cannot be opened, Input when it is not a regular file.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // The size when opened.
  std::uint64_t size() const { return size_; }
  // Up to `n` bytes, 0 at the end; Unreadable on an I/O error.
  std::size_t readSome(void* data, std::size_t n);
  // Exactly `n` bytes; Input when the file ends first.
  void readExactly(void* data, std::size_t n);
  // Up to `n` bytes from the start, without moving the reading position.
  std::size_t peek(void* data, std::size_t n);

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// The whole content as text, inflated when it starts with the gzip magic
// (concatenated members too). `check` sees the text after every piece
// (at most 64 KiB more each time) and throws to stop reading: that is the
// caller's cap. Damaged gzip data, or compressed data far larger than the
// text they hold, throw Input.
std::string readText(InputFile& in, const std::function<void(const std::string& text)>& check);
