#include "cli/video.h"
#include "core/output_file.h"

int main(int argc, char** argv) {
  const int status = runVideo(argc, argv);
  // Stopped by a signal, its files finished: end as that signal would.
  if (status > 128 && status < 128 + 32) endBySignal(status - 128);
  return status;
}
