#include "cli/video.h"

int main(int argc, char** argv) { return runVideo(argc, argv); }
