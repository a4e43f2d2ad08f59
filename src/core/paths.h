// Whether an output would land on an input or on another output: checked by
// every tool before it reads anything, so that no input is overwritten and
// no two outputs of one run write one file.
#pragma once

#include <string>
#include <vector>

struct NamedPath {
  std::string role;  // as the message names it: "--overlay", "the input"
  std::string path;
};

// Whether two paths name one file or folder: the same directory entry (one
// real folder, one name), or two existing names of one file (device and
// inode, links followed).
bool sameFile(const std::string& a, const std::string& b);

// "" when no output names the same file or folder as an input (a file or
// a folder, as sameFile) or the same directory entry as another output
// (outputs replace their entries, so two links to one file may both be
// outputs), and none of `outputFiles` is an existing folder; else one line
// naming the first clash.
std::string pathClash(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputFiles,
                      const std::vector<NamedPath>& outputFolders = {});
