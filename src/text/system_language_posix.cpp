#include <cstdlib>
#include <string_view>

#include "text/messages.h"

namespace slotsync::text {
namespace {

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

// As gettext reads the environment: the first of LC_ALL, LC_MESSAGES and LANG
// names the locale; in the C locale messages stay English whatever LANGUAGE
// says, otherwise LANGUAGE's list of preferences comes first.
Language SystemLanguage() {
  const char* locale = Variable("LC_ALL");
  if (locale == nullptr) locale = Variable("LC_MESSAGES");
  if (locale == nullptr) locale = Variable("LANG");
  if (locale == nullptr) return Language::kEnglish;
  const std::string_view name(locale);
  const std::string_view base = name.substr(0, name.find_first_of(".@"));
  if (base == "C" || base == "POSIX") return Language::kEnglish;
  if (const char* preferences = Variable("LANGUAGE")) {
    std::string_view list(preferences);
    while (!list.empty()) {
      const std::size_t colon = list.find(':');
      if (const auto language = LanguageFromName(list.substr(0, colon))) return *language;
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  return LanguageFromName(name).value_or(Language::kEnglish);
}

}  // namespace slotsync::text
