#include <windows.h>

#include "text/messages.h"

namespace slotsync::text {

// The language of the user's Windows menus and dialogs: Chinese (PRC) and
// Chinese (Singapore) read Simplified Chinese; Taiwan, Hong Kong and Macao
// read Traditional, which the catalog does not hold.
Language SystemLanguage() {
  const LANGID language = GetUserDefaultUILanguage();
  if (PRIMARYLANGID(language) != LANG_CHINESE) return Language::kEnglish;
  const WORD region = SUBLANGID(language);
  return region == SUBLANG_CHINESE_SIMPLIFIED || region == SUBLANG_CHINESE_SINGAPORE
             ? Language::kChinese
             : Language::kEnglish;
}

}  // namespace slotsync::text
