// An ordered list of UTF-16 strings with an object pointer each: the INI
// reader's sections and keys, and station's device lists.
#pragma once

#include <string>
#include <vector>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EStringListError, Exception);

enum TDaxDuplicates { dupIgnore, dupAccept, dupError };

// Ordered UTF-16 strings, each with an object pointer the list does not own.
// Without case sensitivity two strings compare by their UTF-16LE bytes, each
// folded through the Latin-1 lower-case map, so ASCII and Latin-1 letters
// match regardless of case. In sorted mode the duplicates policy applies.
class TUnicodeStringList {
 public:
  TUnicodeStringList() = default;
  TUnicodeStringList(const TUnicodeStringList&) = delete;
  TUnicodeStringList& operator=(const TUnicodeStringList&) = delete;

  // Appends (or, sorted, inserts at its place) and returns the index. Sorted
  // with dupIgnore an equal string adds nothing and takes the new object;
  // with dupError it raises "String list does not allow duplicates".
  int AddObject(const std::u16string& s, void* object);
  int Add(const std::u16string& s) { return AddObject(s, nullptr); }
  const std::u16string& GetString(int index) const;
  void* GetObject(int index) const;
  void SetObject(int index, void* object);
  // The first entry that compares equal, or -1.
  int IndexOf(const std::u16string& s) const;
  int Count() const { return static_cast<int>(items_.size()); }
  void Delete(int index);
  void Clear() { items_.clear(); }

  TDaxDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDaxDuplicates d) { duplicates_ = d; }
  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  bool CaseSensitive() const { return case_sensitive_; }
  void SetCaseSensitive(bool on);

  // <0, 0, >0 by the rule above.
  static int CompareStrings(const std::u16string& a, const std::u16string& b,
                            bool case_sensitive);

 private:
  struct Item {
    std::u16string s;
    void* object;
  };
  void CheckIndex(int index) const;
  // Sorted search: true and the first equal index, or false and the insert
  // position.
  bool Find(const std::u16string& s, int& index) const;
  void Sort();

  std::vector<Item> items_;
  bool case_sensitive_ = false;
  bool sorted_ = false;
  TDaxDuplicates duplicates_ = dupIgnore;
};
