#include "platform/text.h"

#include <cstdlib>
#include <cstring>

size_t TextLength(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

Text::Text(Text&& other) noexcept
    : chars_(other.chars_), size_(other.size_), capacity_(other.capacity_) {
  other.chars_ = nullptr;
  other.size_ = other.capacity_ = 0;
}

Text& Text::operator=(const Text& other) {
  if (this != &other) {
    Clear();
    Append(other);
  }
  return *this;
}

Text& Text::operator=(Text&& other) noexcept {
  if (this != &other) {
    std::free(chars_);
    chars_ = other.chars_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.chars_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  return *this;
}

Text::~Text() { std::free(chars_); }

void Text::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  size_t grown = capacity_ * 2;
  if (grown < capacity) grown = capacity;
  if (grown < 15) grown = 15;
  // Guard the byte count against overflow before asking for it.
  if (grown >= SIZE_MAX / sizeof(wchar_t) - 1) std::abort();
  void* moved = std::realloc(chars_, (grown + 1) * sizeof(wchar_t));
  if (moved == nullptr) std::abort();
  chars_ = static_cast<wchar_t*>(moved);
  capacity_ = grown;
}

Text& Text::Append(const wchar_t* text) { return Append(text, TextLength(text)); }

Text& Text::Append(const wchar_t* text, size_t count) {
  if (count > SIZE_MAX / 2 - size_) std::abort();
  // `text` may point into this very buffer, which growing can move.
  bool fromSelf = chars_ != nullptr && text >= chars_ && text <= chars_ + size_;
  size_t offset = fromSelf ? static_cast<size_t>(text - chars_) : 0;
  Reserve(size_ + count);
  if (chars_ == nullptr) return *this;  // nothing ever appended, count is 0
  if (fromSelf) text = chars_ + offset;
  std::memmove(chars_ + size_, text, count * sizeof(wchar_t));
  size_ += count;
  chars_[size_] = L'\0';
  return *this;
}

Text& Text::AppendUnsigned(uint32_t value) {
  wchar_t digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) Append(digits[--count]);
  return *this;
}

void Text::Clear() {
  size_ = 0;
  if (chars_ != nullptr) chars_[0] = L'\0';
}

void TextList::Append(const wchar_t* text) {
  items_.Append(text);
  items_.Append(L'\0');
  ++count_;
}

TextList::Iterator& TextList::Iterator::operator++() {
  item_ += TextLength(item_) + 1;
  --remaining_;
  return *this;
}
