#include "core/paths.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace {

// The real folder of a path's last component, and that component: one
// directory entry has one such pair whatever links lead to its folder.
std::string entryOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t cut = p.find_last_of('/');
  std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
  std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
  if (name == "." || name == "..") {  // a folder named by a relative step: its own real path
    folder = p;
    name.clear();
  }
  char real[PATH_MAX];
  if (::realpath(folder.c_str(), real) != nullptr) folder = real;
  return folder + "/" + name;
}

std::string baseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t cut = p.find_last_of('/');
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

struct Known {
  const NamedPath* named;
  bool exists;
  struct stat st;
  std::string base;
};

Known know(const NamedPath& n) {
  Known k{&n, false, {}, baseName(n.path)};
  k.exists = ::stat(n.path.c_str(), &k.st) == 0;
  return k;
}

// One directory entry. An output replaces its entry (never writes through
// it), so two outputs clash only as one entry.
bool sameEntry(const Known& a, const Known& b) {
  return a.base == b.base && entryOf(a.named->path) == entryOf(b.named->path);
}

// For an input also one file under two names: an output over a link to an
// input, or over another of its hard links, would not harm it, but is
// surely not what was meant.
bool same(const Known& a, const Known& b) {
  if (a.exists && b.exists && a.st.st_dev == b.st.st_dev && a.st.st_ino == b.st.st_ino) return true;
  return sameEntry(a, b);
}

std::string clash(const Known& out, const Known& other, const char* kind) {
  return out.named->role + " " + out.named->path + " names the same " + kind + " as " +
         other.named->role + " " + other.named->path;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
  return same(know(NamedPath{"", a}), know(NamedPath{"", b}));
}

std::string pathClash(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputFiles,
                      const std::vector<NamedPath>& outputFolders) {
  std::vector<Known> in, earlier;
  for (const NamedPath& i : inputs) in.push_back(know(i));
  for (const auto* outputs : {&outputFiles, &outputFolders})
    for (const NamedPath& o : *outputs) {
      const Known out = know(o);
      const bool file = outputs == &outputFiles;
      if (file && out.exists && S_ISDIR(out.st.st_mode)) return o.role + " " + o.path + " is a folder";
      const char* kind = file ? "file" : "folder";
      for (const Known& i : in)
        if (same(out, i)) return clash(out, i, kind);
      for (const Known& e : earlier)
        if (sameEntry(out, e)) return clash(out, e, kind);
      earlier.push_back(out);
    }
  return "";
}
