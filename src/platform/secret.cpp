#include "platform/secret.h"

#include "platform/win32_api.h"

#ifndef _WIN32
#include <string.h>  // explicit_bzero
#endif

namespace slotsync::platform {

void WipeMemory(void* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return;
#ifdef _WIN32
  SecureZeroMemory(data, size);
#else
  explicit_bzero(data, size);
#endif
}

}  // namespace slotsync::platform
