// The radio interfaces shared by the lines, one per type and device, owned
// here. Keys are "<type name>|<device>", compared case-sensitively: two paths
// that differ in case are two devices.
#pragma once

#include <memory>
#include <string>

#include "foundation/unicode_string_list.h"
#include "station/ifc.h"

class TVEKRadioIfcPool {
 public:
  TVEKRadioIfcPool();
  TVEKRadioIfcPool(const TVEKRadioIfcPool&) = delete;
  TVEKRadioIfcPool& operator=(const TVEKRadioIfcPool&) = delete;
  ~TVEKRadioIfcPool();

  static std::u16string Key(TVEKRadioIfcType type, const std::u16string& device);

  TVEKRadioIfc* Find(TVEKRadioIfcType type, const std::u16string& device) const;
  // Takes ownership; a second interface for the same key raises (and is
  // freed).
  TVEKRadioIfc* Add(std::unique_ptr<TVEKRadioIfc> ifc);
  // Lines still bound to a freed interface are unbound.
  void FreeAll();
  int Count() const { return list_.Count(); }
  TVEKRadioIfc* Item(int index) const;

  // Given to the interfaces that VekCreateRadioIfcLine creates.
  TVEKRadioIfcSeams Seams;

 private:
  TUnicodeStringList list_;
};
