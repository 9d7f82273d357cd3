// Owning UTF-16 text and an ordered list of texts.
//
// The launcher carries its own two small containers instead of std::wstring
// and std::vector: a static build that uses those pulls in the C++ exception
// runtime and its demangler, which would be several times the size of the
// launcher itself. Allocation failure ends the process (there is nothing
// sensible a setup launcher can do without a few hundred bytes of heap).
#pragma once

#include <cstddef>
#include <cstdint>

class Text {
 public:
  Text() = default;
  explicit Text(const wchar_t* text) { Append(text); }
  Text(const Text& other) { Append(other); }
  Text(Text&& other) noexcept;
  Text& operator=(const Text& other);
  Text& operator=(Text&& other) noexcept;
  ~Text();

  Text& Append(const wchar_t* text);
  Text& Append(const wchar_t* text, size_t count);
  Text& Append(const Text& text) { return Append(text.c_str(), text.size()); }
  Text& Append(wchar_t character) { return Append(&character, 1); }
  /// Appends `value` as an unsigned decimal number, as "%u" would.
  Text& AppendUnsigned(uint32_t value);
  void Clear();

  /// Never null; the empty text is "".
  const wchar_t* c_str() const { return chars_ ? chars_ : L""; }
  /// Writable characters, for APIs that take a mutable string. Null only
  /// while nothing was ever appended.
  wchar_t* data() { return chars_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  void Reserve(size_t capacity);

  wchar_t* chars_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // characters, not counting the terminator
};

/// Texts kept in insertion order, duplicates included. Stored as one buffer
/// of NUL-terminated items, so appending never moves more than characters.
class TextList {
 public:
  void Append(const wchar_t* text);
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  /// Walks the items in order: `for (const wchar_t* item : list)`.
  class Iterator {
   public:
    Iterator(const wchar_t* item, size_t remaining) : item_(item), remaining_(remaining) {}
    const wchar_t* operator*() const { return item_; }
    Iterator& operator++();
    bool operator!=(const Iterator& other) const { return remaining_ != other.remaining_; }

   private:
    const wchar_t* item_;
    size_t remaining_;
  };
  Iterator begin() const { return Iterator(items_.c_str(), count_); }
  Iterator end() const { return Iterator(nullptr, 0); }

 private:
  Text items_;  // "first\0second\0..."
  size_t count_ = 0;
};

/// Length of a NUL-terminated wide string.
size_t TextLength(const wchar_t* text);
