#include "foundation/unicode_string_list.h"

#include <algorithm>
#include <cstdint>

namespace {

inline uint8_t FoldLatin1(uint8_t b) {
  if (b >= 0x41 && b <= 0x5A) return static_cast<uint8_t>(b + 0x20);
  if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<uint8_t>(b + 0x20);
  return b;
}

}  // namespace

int TUnicodeStringList::CompareStrings(const std::u16string& a, const std::u16string& b,
                                       bool case_sensitive) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    // Byte by byte in UTF-16LE order: the low byte of a unit comes first.
    uint8_t al = static_cast<uint8_t>(a[i] & 0xFF), ah = static_cast<uint8_t>(a[i] >> 8);
    uint8_t bl = static_cast<uint8_t>(b[i] & 0xFF), bh = static_cast<uint8_t>(b[i] >> 8);
    if (!case_sensitive) {
      al = FoldLatin1(al);
      ah = FoldLatin1(ah);
      bl = FoldLatin1(bl);
      bh = FoldLatin1(bh);
    }
    if (al != bl) return al < bl ? -1 : 1;
    if (ah != bh) return ah < bh ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

void TUnicodeStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count())
    throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

bool TUnicodeStringList::Find(const std::u16string& s, int& index) const {
  int lo = 0, hi = Count();
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (CompareStrings(items_[static_cast<size_t>(mid)].s, s, case_sensitive_) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  index = lo;
  return lo < Count() && CompareStrings(items_[static_cast<size_t>(lo)].s, s, case_sensitive_) == 0;
}

void TUnicodeStringList::Sort() {
  const bool cs = case_sensitive_;
  std::stable_sort(items_.begin(), items_.end(), [cs](const Item& x, const Item& y) {
    return CompareStrings(x.s, y.s, cs) < 0;
  });
}

int TUnicodeStringList::AddObject(const std::u16string& s, void* object) {
  if (!sorted_) {
    items_.push_back({s, object});
    return Count() - 1;
  }
  int index = 0;
  if (Find(s, index)) {
    if (duplicates_ == dupIgnore) {
      items_[static_cast<size_t>(index)].object = object;
      return index;
    }
    if (duplicates_ == dupError) throw EStringListError("String list does not allow duplicates");
    // Accept: after the equal ones, so insertion order holds among them.
    while (index < Count() &&
           CompareStrings(items_[static_cast<size_t>(index)].s, s, case_sensitive_) == 0)
      ++index;
  }
  items_.insert(items_.begin() + index, Item{s, object});
  return index;
}

const std::u16string& TUnicodeStringList::GetString(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].s;
}

void* TUnicodeStringList::GetObject(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TUnicodeStringList::SetObject(int index, void* object) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)].object = object;
}

int TUnicodeStringList::IndexOf(const std::u16string& s) const {
  if (sorted_) {
    int index = 0;
    return Find(s, index) ? index : -1;
  }
  for (size_t i = 0; i < items_.size(); ++i)
    if (CompareStrings(items_[i].s, s, case_sensitive_) == 0) return static_cast<int>(i);
  return -1;
}

void TUnicodeStringList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
}

void TUnicodeStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) Sort();
  sorted_ = sorted;
}

void TUnicodeStringList::SetCaseSensitive(bool on) {
  if (on == case_sensitive_) return;
  case_sensitive_ = on;
  if (sorted_) Sort();
}
