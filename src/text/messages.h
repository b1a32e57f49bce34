#pragma once

// The messages of the library and the command, in the language of whoever
// reads them. The English texts in the sources are the message ids; the
// Chinese ones come from po/zh_CN.po, compiled by msgfmt when the library is
// built and carried inside it, so no file has to be shipped or found beside
// the DLL. Every text handed out is GBK, like every text the library holds.
//
// Formats take "%s" and "%d" (both print the argument as given) and their
// numbered forms "%2$s", so that a translation may put the arguments in its
// own order; "%%" is one "%".

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace slotsync::text {

enum class Language { kEnglish, kChinese };

// "zh_CN", "zh_CN.GBK", "zh_SG.UTF-8@x", "zh" and "zh-Hans" speak Chinese;
// "en", "en_US.UTF-8", "C" and "POSIX" English; anything else is unknown.
std::optional<Language> LanguageFromName(std::string_view name);

// What the process's user reads: on Windows the user's UI language, elsewhere
// the locale the environment names for messages (LC_ALL, LC_MESSAGES, LANG,
// then LANGUAGE's list as gettext reads it).
Language SystemLanguage();

// The language asked for (--lang, SlotsyncOptions.language; NULL or empty:
// none), else the one SLOTSYNC_LANG names, else the system's. A name asked
// for that is neither language gets English.
Language ChosenLanguage(const char* requested);

// The language every message is given in from now on, in this process: the
// command sets it once, the library at the start of each call.
void SetMessageLanguage(Language language);
Language MessageLanguage();

// Sets the language ChosenLanguage(requested) gives, but looks at the
// environment only when the first message is made: a call that has nothing
// to say (the in-step path, at every start of every host) never does.
void ChooseMessageLanguage(const char* requested);

// Marks a text for the catalog without translating it, for tables of texts
// translated where they are used.
#define N_(text) text

// The message in the current language (GBK).
std::string Tr(const char* message);

namespace detail {
std::string FillFormat(std::string_view format, const std::string* args, std::size_t count);
std::string PluralMessage(const char* singular, const char* plural, long long count);

inline std::string FormatArgument(std::string_view text) {
  return std::string(text);
}
inline std::string FormatArgument(const std::string& text) {
  return text;
}
inline std::string FormatArgument(const char* text) {
  return text;
}
template <typename Number>
requires std::is_arithmetic_v<Number> std::string FormatArgument(Number number) {
  if constexpr (std::is_same_v<Number, bool>) {
    return number ? "1" : "0";
  } else if constexpr (std::is_same_v<Number, char>) {
    return std::string(1, number);
  } else {
    return std::to_string(number);
  }
}
}  // namespace detail

// Fills a format's arguments in, in any order the format names them.
template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  const std::string texts[] = {std::string(), detail::FormatArgument(args)...};
  return detail::FillFormat(format, texts + 1, sizeof...(Args));
}

// The message in the current language with its arguments filled in.
template <typename... Args>
std::string TrFormat(const char* message, const Args&... args) {
  return Format(Tr(message), args...);
}

// The singular or plural form for count, with its arguments filled in.
template <typename... Args>
std::string TrPlural(const char* singular, const char* plural, long long count,
                     const Args&... args) {
  return Format(detail::PluralMessage(singular, plural, count), args...);
}

}  // namespace slotsync::text
