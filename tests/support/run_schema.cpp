#include "run_schema.h"

#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace slotsync::testing {

std::string RunSchemaErrors(const std::string& json) {
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("slotsync-run-" + std::to_string(getpid()) + ".json");
  std::ofstream(file, std::ios::binary | std::ios::trunc) << json;
  // Debian's interpreter, with Debian's validator, whatever else is first on PATH.
  const std::string command = "/usr/bin/python3 -W ignore -m jsonschema -i '" + file.string() +
                              "' '" SLOTSYNC_RUN_SCHEMA "' 2>&1";
  std::string said;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "the validator could not be started";
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) said += buffer.data();
  const int status = pclose(pipe);
  std::filesystem::remove(file);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return said.empty() ? "the validator failed without a word" : said;
}

}  // namespace slotsync::testing
