#pragma once

// Buffers for the password and the texts made from it, wiped when they are
// released, so that nothing of a login is left in the process's memory
// after the connect for a core file, a debugger or a heap dump to find.
//
// std::string is not enough on its own: a short text lives inside the
// string object (on the stack, say) and is never handed to an allocator,
// and a text that grows leaves its old buffer behind unwiped. A Secret
// wipes its own storage, inline or not, when it dies, and its allocator
// wipes every buffer it gives back.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace slotsync::platform {

// Zeroes the bytes in a way the optimiser may not drop as a dead store
// (explicit_bzero, SecureZeroMemory).
void WipeMemory(void* data, std::size_t size) noexcept;

// Zeroes a string's whole storage, its terminator and unused capacity too,
// and leaves it empty.
template <typename Char, typename Traits, typename Allocator>
void WipeString(std::basic_string<Char, Traits, Allocator>& text) noexcept {
  WipeMemory(text.data(), (text.capacity() + 1) * sizeof(Char));
  text.clear();
}

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    WipeMemory(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};

template <typename Char>
class Secret {
 public:
  using Text = std::basic_string<Char, std::char_traits<Char>, WipingAllocator<Char>>;

  Secret() = default;
  // Implicit from the texts that already hold the secret, so that settings
  // built the usual ways still compile; the caller's text stays the caller's.
  Secret(const Char* text) : text_(text) {}    // NOLINT(google-explicit-constructor)
  Secret(const std::basic_string<Char>& text)  // NOLINT(google-explicit-constructor)
      : text_(text.data(), text.size()) {}
  explicit Secret(std::basic_string_view<Char> text) : text_(text) {}
  Secret(const Secret&) = default;
  Secret(Secret&&) noexcept = default;
  Secret& operator=(const Secret&) = default;
  Secret& operator=(Secret&&) noexcept = default;
  ~Secret() { Wipe(); }

  // Takes the text over and wipes the string it came in.
  static Secret Taking(std::basic_string<Char>&& text) {
    Secret secret{std::basic_string_view<Char>(text)};
    WipeString(text);
    return secret;
  }

  std::basic_string_view<Char> View() const { return text_; }
  const Char* CStr() const { return text_.c_str(); }
  bool Empty() const { return text_.empty(); }
  Text& Edit() { return text_; }
  void Wipe() noexcept { WipeString(text_); }

 private:
  Text text_;
};

using SecretString = Secret<char>;         // GBK, as every text of the library
using SecretU16String = Secret<char16_t>;  // UTF-16, for the wide ODBC calls

}  // namespace slotsync::platform
