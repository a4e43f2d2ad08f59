#include "core/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "scvardo/error.hpp"

namespace {

using scvardo::Error;

constexpr std::size_t kPiece = 64 * 1024;

[[noreturn]] void unreadable(int err) { throw Error(Error::Kind::Unreadable, std::strerror(err)); }

// Why a file of this mode is not read, or "".
const char* notRegular(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISDIR(mode)) return "it is a folder, not a file";
  return "it is not a regular file (a FIFO, device or socket)";
}

}  // namespace

InputFile::InputFile(const std::string& path) {
  // Looked at before opening, so that no device is opened at all; checked
  // again on the open file, which is what is read.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) unreadable(errno);
  if (*notRegular(st.st_mode) != '\0') throw Error(Error::Kind::Input, notRegular(st.st_mode));
  // Non-blocking, so that a FIFO put in its place meanwhile does not hang.
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) unreadable(errno);
  if (::fstat(fd_, &st) != 0) {
    const int err = errno;
    ::close(fd_);
    unreadable(err);
  }
  if (*notRegular(st.st_mode) != '\0') {
    ::close(fd_);
    throw Error(Error::Kind::Input, notRegular(st.st_mode));
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::readSome(void* data, std::size_t n) {
  for (;;) {
    const ssize_t k = ::read(fd_, data, n);
    if (k >= 0) return static_cast<std::size_t>(k);
    if (errno != EINTR) unreadable(errno);
  }
}

void InputFile::readExactly(void* data, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (n > 0) {
    const std::size_t k = readSome(bytes, n);
    if (k == 0) throw Error(Error::Kind::Input, "it ends early (it was shortened while being read)");
    bytes += k;
    n -= k;
  }
}

std::size_t InputFile::peek(void* data, std::size_t n) {
  for (;;) {
    const ssize_t k = ::pread(fd_, data, n, 0);
    if (k >= 0) return static_cast<std::size_t>(k);
    if (errno != EINTR) unreadable(errno);
  }
}

namespace {

[[noreturn]] void damaged(const char* why) { throw Error(Error::Kind::Input, why); }

std::string inflateAll(InputFile& in, std::vector<unsigned char>& raw, std::size_t have,
                       const std::function<void(const std::string&)>& check) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) throw std::bad_alloc();  // gzip only
  struct End {
    z_stream& z;
    ~End() { inflateEnd(&z); }
  } end{z};
  std::string text;
  std::uint64_t consumed = 0;
  bool inputEnded = false, memberEnded = false;
  z.next_in = raw.data();
  z.avail_in = static_cast<uInt>(have);
  for (;;) {
    if (z.avail_in == 0 && !inputEnded) {
      const std::size_t k = in.readSome(raw.data(), raw.size());
      inputEnded = k == 0;
      z.next_in = raw.data();
      z.avail_in = static_cast<uInt>(k);
    }
    if (z.avail_in == 0 && inputEnded) {
      if (!memberEnded) damaged("its gzip data end early");
      return text;
    }
    if (memberEnded) {  // another member follows
      if (inflateReset(&z) != Z_OK) damaged("its gzip data are damaged");
      memberEnded = false;
    }
    const std::size_t before = text.size();
    text.resize(before + kPiece);
    z.next_out = reinterpret_cast<Bytef*>(&text[before]);
    z.avail_out = static_cast<uInt>(kPiece);
    const uInt inBefore = z.avail_in;
    const int rc = inflate(&z, Z_NO_FLUSH);
    consumed += inBefore - z.avail_in;
    text.resize(before + (kPiece - z.avail_out));
    if (rc == Z_STREAM_END)
      memberEnded = true;
    else if (rc == Z_MEM_ERROR)
      throw std::bad_alloc();
    else if (rc != Z_OK && rc != Z_BUF_ERROR)
      damaged("its gzip data are damaged");
    // Text compresses; compressed data much larger than their text are
    // padding (empty blocks or members), not a model.
    if (consumed > text.size() + text.size() / 64 + kPiece)
      damaged("its compressed data hold far less text than their size");
    check(text);
  }
}

}  // namespace

std::string readText(InputFile& in, const std::function<void(const std::string&)>& check) {
  std::vector<unsigned char> raw(kPiece);
  std::size_t have = 0;
  // The first bytes decide: gzip's magic, or plain text.
  while (have < 2) {
    const std::size_t k = in.readSome(raw.data() + have, raw.size() - have);
    if (k == 0) break;
    have += k;
  }
  if (have >= 2 && raw[0] == 0x1f && raw[1] == 0x8b) return inflateAll(in, raw, have, check);
  std::string text(reinterpret_cast<const char*>(raw.data()), have);
  check(text);
  for (;;) {
    const std::size_t before = text.size();
    text.resize(before + kPiece);
    const std::size_t k = in.readSome(&text[before], kPiece);
    text.resize(before + k);
    if (k == 0) return text;
    check(text);
  }
}
