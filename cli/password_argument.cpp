#include "password_argument.h"

#include <algorithm>
#include <cstring>

#include "options.h"
#include "platform/secret.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

constexpr std::string_view kBlank = "***";

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// The arguments after the program's name, as the parser sees them.
std::vector<ArgumentPosition> PositionsIn(const std::vector<std::string>& args) {
  return PasswordPositions(std::vector<std::string_view>(args.begin(), args.end()));
}

}  // namespace

void BlankPasswordArguments(int argc, char** argv) {
  if (argc < 2) return;
  std::vector<std::string> args;
  bool contiguous = true;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
    contiguous = contiguous && argv[i] == argv[i - 1] + std::strlen(argv[i - 1]) + 1;
  }
  const std::vector<ArgumentPosition> positions = PositionsIn(args);
  for (const ArgumentPosition& at : positions) {
    std::string& arg = args[at.index];
    platform::WipeMemory(arg.data() + at.offset, arg.size() - at.offset);
    arg.replace(at.offset, std::string::npos, kBlank);
  }
  char* const end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
  std::size_t needed = 0;
  for (const std::string& arg : args) needed += arg.size() + 1;
  if (!contiguous || argv[1] + needed > end) {
    for (const ArgumentPosition& at : positions) {
      char* value = argv[at.index + 1] + at.offset;
      const std::size_t length = std::strlen(value);
      platform::WipeMemory(value, length);
      std::memcpy(value, kBlank.data(), std::min(length, kBlank.size()));
    }
  } else if (!positions.empty()) {
    // The program's name stays where it is; every argument after it is
    // written anew, and the pointers follow.
    char* at = argv[1];
    for (int i = 1; i < argc; ++i) {
      const std::string& arg = args[static_cast<std::size_t>(i - 1)];
      std::memcpy(at, arg.c_str(), arg.size() + 1);
      argv[i] = at;
      at += arg.size() + 1;
    }
    platform::WipeMemory(at, static_cast<std::size_t>(end - at));
  }
  for (std::string& arg : args) platform::WipeString(arg);
}

std::vector<CommandLineArgument> SplitWindowsCommandLine(std::u16string_view line) {
  std::vector<CommandLineArgument> args;
  std::size_t i = 0;
  // The program's name: up to the next quote when it begins with one, else
  // up to the first blank; no escapes.
  {
    CommandLineArgument program;
    if (i < line.size() && line[i] == u'"') {
      const std::size_t close = line.find(u'"', i + 1);
      const std::size_t end = close == std::u16string_view::npos ? line.size() : close;
      program.text = line.substr(i + 1, end - i - 1);
      i = std::min(end + 1, line.size());
    } else {
      while (i < line.size() && !IsBlank(line[i])) program.text.push_back(line[i++]);
    }
    program.end = i;
    args.push_back(std::move(program));
  }
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    CommandLineArgument arg;
    arg.begin = i;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      if (line[i] == u'\\') {
        std::size_t count = 0;
        while (i < line.size() && line[i] == u'\\') ++count, ++i;
        // 2n backslashes before a quote are n, and the quote is one; 2n+1
        // are n and a quote that is text. Elsewhere backslashes are text.
        if (i < line.size() && line[i] == u'"') {
          arg.text.append(count / 2, u'\\');
          if (count % 2 == 1) {
            arg.text.push_back(u'"');
            ++i;
          }
        } else {
          arg.text.append(count, u'\\');
        }
      } else if (line[i] == u'"') {
        // A quote opens; inside, a doubled quote is one quote of text and
        // closes, a single one closes.
        if (!quoted) {
          quoted = true;
          ++i;
        } else if (i + 1 < line.size() && line[i + 1] == u'"') {
          arg.text.push_back(u'"');
          quoted = false;
          i += 2;
        } else {
          quoted = false;
          ++i;
        }
      } else {
        arg.text.push_back(line[i++]);
      }
    }
    arg.end = i;
    args.push_back(std::move(arg));
  }
  return args;
}

std::u16string BlankPasswordInCommandLine(std::u16string_view line, std::size_t capacity) {
  std::vector<CommandLineArgument> split = SplitWindowsCommandLine(line);
  std::vector<std::string> args;
  for (std::size_t i = 1; i < split.size(); ++i) args.push_back(text::Utf16ToUtf8(split[i].text));
  const std::vector<ArgumentPosition> positions = PositionsIn(args);
  for (std::string& arg : args) platform::WipeString(arg);
  for (CommandLineArgument& arg : split) platform::WipeString(arg.text);
  std::size_t grows = 0;
  for (const ArgumentPosition& at : positions) {
    const CommandLineArgument& arg = split[at.index + 1];
    const std::size_t length = at.offset == 0 ? 3 : 14;  // "***", "--password=***"
    if (length > arg.end - arg.begin) grows += length - (arg.end - arg.begin);
  }
  const bool fixed = line.size() + grows <= capacity;
  std::u16string blanked(line);
  // From the last one back, so that the positions before stay valid.
  for (auto at = positions.rbegin(); at != positions.rend(); ++at) {
    const CommandLineArgument& arg = split[at->index + 1];
    const std::size_t length = arg.end - arg.begin;
    std::u16string replacement = at->offset == 0 ? u"***" : u"--password=***";
    if (!fixed && replacement.size() > length) replacement.resize(length, u'*');
    if (!fixed && at->offset != 0 && length < 14) replacement = std::u16string(length, u'*');
    platform::WipeMemory(blanked.data() + arg.begin, length * sizeof(char16_t));
    blanked.replace(arg.begin, length, replacement);
  }
  return blanked;
}

}  // namespace slotsync::cli
