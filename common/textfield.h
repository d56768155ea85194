// Fixed-width text fields: a bounded copy with NUL padding, where a text as
// long as its field is stored without a terminator, and a bounded reader.
#ifndef TARVO_COMMON_TEXTFIELD_H
#define TARVO_COMMON_TEXTFIELD_H

#include <cstddef>
#include <cstring>

/// Length of the text in a field: up to the first NUL or the field's end.
inline size_t TextFieldLength(const char* field, size_t width) { return strnlen(field, width); }

/// Copies at most `width` bytes of `text` (up to its NUL) into the field and
/// fills the rest with NUL bytes. A null text leaves the field all NUL.
inline void CopyTextField(char* field, size_t width, const char* text) {
  size_t n = text ? strnlen(text, width) : 0;
  memcpy(field, text, n);
  memset(field + n, 0, width - n);
}

/// True when two fields hold the same text, each read up to its own NUL or end.
inline bool TextFieldsEqual(const char* a, size_t aWidth, const char* b, size_t bWidth) {
  size_t n = TextFieldLength(a, aWidth);
  return n == TextFieldLength(b, bWidth) && memcmp(a, b, n) == 0;
}

#endif  // TARVO_COMMON_TEXTFIELD_H
