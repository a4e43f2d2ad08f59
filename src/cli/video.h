// sc-vardo-video: a video file, a camera or a folder of images through the
// background subtractor, writing masks, mask and overlay videos, models.
#pragma once

// Returns the process exit status (those of sc-vardo: 0 ok, 1 input
// unusable, 2 bad switch, 3 an output lost, 4 not enough memory; 128+N
// after signal N stopped the run, its files finished).
int runVideo(int argc, char** argv);
