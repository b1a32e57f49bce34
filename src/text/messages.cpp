#include "text/messages.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "text/gbk.h"

namespace slotsync::text {

// po/zh_CN.po as msgfmt compiled it, written into the build as a table.
extern const unsigned char kChineseCatalog[];
extern const std::size_t kChineseCatalogSize;

namespace {

std::atomic<Language> currentLanguage{Language::kEnglish};

// A language chosen but not yet looked up (ChooseMessageLanguage): the name
// asked for, if any, until the first message needs it.
std::mutex choiceMutex;
std::atomic<bool> choicePending{false};
std::string requestedName;

Language CurrentLanguage() {
  if (choicePending.load(std::memory_order_acquire)) {
    const std::lock_guard lock(choiceMutex);
    if (choicePending.load(std::memory_order_relaxed)) {
      currentLanguage.store(ChosenLanguage(requestedName.empty() ? nullptr : requestedName.c_str()),
                            std::memory_order_relaxed);
      choicePending.store(false, std::memory_order_release);
    }
  }
  return currentLanguage.load(std::memory_order_relaxed);
}

// A compiled catalog (the .mo format): a header, then two tables of
// (length, offset) pairs, the message ids and their translations, in the
// same order. A plural entry holds its forms one after another, each ended
// by a zero byte; the id of such an entry is its singular form up to its
// zero byte. Chinese has one form only, the first.
class Catalog {
 public:
  Catalog(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {
    if (size_ < 28 || Word(0) != 0x950412deu) return;
    const std::uint32_t count = Word(8);
    const std::uint32_t ids = Word(12);
    const std::uint32_t texts = Word(16);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::string_view id = Entry(ids + 8 * i);
      const std::string_view text = Entry(texts + 8 * i);
      // The header (empty id) and untranslated entries are not messages.
      if (id.empty() || text.empty()) continue;
      const std::string_view singular = id.substr(0, id.find('\0'));
      const std::string_view first = text.substr(0, text.find('\0'));
      translations_.emplace(singular, Utf8ToGbk(first));
    }
  }

  const std::string* Find(std::string_view id) const {
    const auto found = translations_.find(id);
    return found == translations_.end() ? nullptr : &found->second;
  }

 private:
  std::uint32_t Word(std::size_t at) const {
    if (at + 4 > size_) return 0;
    return static_cast<std::uint32_t>(bytes_[at]) |
           static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes_[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
  }

  std::string_view Entry(std::size_t at) const {
    const std::uint32_t length = Word(at);
    const std::uint32_t offset = Word(at + 4);
    if (offset > size_ || length > size_ - offset) return {};
    return {reinterpret_cast<const char*>(bytes_ + offset), length};
  }

  const unsigned char* bytes_;
  std::size_t size_;
  std::unordered_map<std::string_view, std::string> translations_;
};

// Read once, on the first Chinese message: an English run never pays for it.
const Catalog& ChineseCatalog() {
  static const Catalog catalog(kChineseCatalog, kChineseCatalogSize);
  return catalog;
}

const std::string* Translation(const char* message) {
  if (CurrentLanguage() != Language::kChinese) return nullptr;
  return ChineseCatalog().Find(message);
}

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// The argument a directive names: "%s" the next one, "%2$s" the second.
bool ReadDirective(std::string_view format, std::size_t& at, std::size_t& next,
                   std::size_t& index) {
  std::size_t cursor = at + 1;
  std::size_t number = 0;
  while (cursor < format.size() && format[cursor] >= '0' && format[cursor] <= '9') {
    number = number * 10 + static_cast<std::size_t>(format[cursor] - '0');
    ++cursor;
  }
  if (number > 0 && cursor < format.size() && format[cursor] == '$') {
    ++cursor;
  } else {
    cursor = at + 1;
    number = 0;
  }
  if (cursor >= format.size() || (format[cursor] != 's' && format[cursor] != 'd')) return false;
  index = number > 0 ? number - 1 : next++;
  at = cursor + 1;
  return true;
}

}  // namespace

std::optional<Language> LanguageFromName(std::string_view name) {
  const std::string_view base = name.substr(0, name.find_first_of(".@"));
  if (base == "C" || base == "POSIX" || base == "en" || StartsWith(base, "en_") ||
      StartsWith(base, "en-")) {
    return Language::kEnglish;
  }
  // Simplified Chinese only: the catalog is not Traditional Chinese.
  if (base == "zh" || base == "zh_CN" || base == "zh_SG" || base == "zh-CN" || base == "zh-SG" ||
      base == "zh-Hans" || StartsWith(base, "zh-Hans-")) {
    return Language::kChinese;
  }
  return std::nullopt;
}

Language ChosenLanguage(const char* requested) {
  // A language asked for that the catalog does not hold reads the English
  // texts, which are the catalog's source, rather than the system's.
  if (requested != nullptr && *requested != '\0') {
    return LanguageFromName(requested).value_or(Language::kEnglish);
  }
  if (const char* variable = std::getenv("SLOTSYNC_LANG"); variable != nullptr && *variable) {
    return LanguageFromName(variable).value_or(Language::kEnglish);
  }
  return SystemLanguage();
}

void SetMessageLanguage(Language language) {
  const std::lock_guard lock(choiceMutex);
  choicePending.store(false, std::memory_order_relaxed);
  currentLanguage.store(language, std::memory_order_relaxed);
}

Language MessageLanguage() {
  return CurrentLanguage();
}

void ChooseMessageLanguage(const char* requested) {
  const std::lock_guard lock(choiceMutex);
  // A short name, so that no call allocates: a longer one is no language
  // the catalog holds, and gets English as ChosenLanguage would.
  const std::string_view name = requested != nullptr ? requested : "";
  if (name.size() > 15) {
    choicePending.store(false, std::memory_order_relaxed);
    currentLanguage.store(Language::kEnglish, std::memory_order_relaxed);
    return;
  }
  requestedName.assign(name);
  choicePending.store(true, std::memory_order_release);
}

std::string Tr(const char* message) {
  if (const std::string* translated = Translation(message)) return *translated;
  return message;
}

namespace detail {

std::string PluralMessage(const char* singular, const char* plural, long long count) {
  if (const std::string* translated = Translation(singular)) return *translated;
  return count == 1 ? singular : plural;
}

// A directive without its argument, or one the format does not know, is
// written as it stands: a wrong translation shows, it does not crash.
std::string FillFormat(std::string_view format, const std::string* args, std::size_t count) {
  std::string out;
  out.reserve(format.size() + 16 * count);
  std::size_t next = 0;
  std::size_t at = 0;
  while (at < format.size()) {
    const std::size_t percent = format.find('%', at);
    out.append(format.substr(at, percent - at));
    if (percent == std::string_view::npos) break;
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      out += '%';
      at = percent + 2;
      continue;
    }
    std::size_t cursor = percent;
    std::size_t index = 0;
    if (ReadDirective(format, cursor, next, index) && index < count) {
      out += args[index];
    } else {
      cursor = std::max(cursor, percent + 1);
      out.append(format.substr(percent, cursor - percent));
    }
    at = cursor;
  }
  return out;
}

}  // namespace detail
}  // namespace slotsync::text
