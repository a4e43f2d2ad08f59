#include "cli/exit.h"

#include <cstdarg>

#include "cli/progress.h"

void failRun(int status, std::FILE* stream, const char* format, ...) {
  clearActiveProgress();
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::fflush(stream);
  throw RunExit{status};
}
