// Writes our own looping search clip (ui/search_clip.h) to the file named on
// the command line. Built with the build machine's compiler, also in a cross
// build, where its output is embedded into the Windows DLL as a resource.

#include <cstdio>
#include <vector>

#include "ui/search_clip.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_search_clip OUTPUT.avi\n");
    return 2;
  }
  const std::vector<unsigned char> clip = slotsync::ui::MakeSearchClip();
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(clip.data(), 1, clip.size(), out) == clip.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
