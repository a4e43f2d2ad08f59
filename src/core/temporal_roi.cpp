#include "core/temporal_roi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

bool parseTemporalRoi(const std::string& text, int& fromIdx, int& toIdx) {
  const char* s = text.c_str();
  long long values[2];
  for (long long& v : values) {
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s, &end, 10);
    if (end == s || errno == ERANGE || v > INT_MAX || v < INT_MIN) return false;
    s = end;
  }
  fromIdx = static_cast<int>(values[0]);
  toIdx = static_cast<int>(values[1]);
  return true;
}

TemporalRoiRead readTemporalRoiFile(const std::string& path, int& fromIdx, int& toIdx) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return TemporalRoiRead::Absent;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return TemporalRoiRead::NotRegular;
  }
  std::string text(kTemporalRoiMaxBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t k = ::read(fd, &text[got], text.size() - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  ::close(fd);
  if (got > kTemporalRoiMaxBytes) return TemporalRoiRead::TooLarge;
  text.resize(got);
  return parseTemporalRoi(text, fromIdx, toIdx) ? TemporalRoiRead::Ok : TemporalRoiRead::Malformed;
}
