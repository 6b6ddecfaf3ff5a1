#include "station/ifc_pool.h"

TVEKRadioIfcPool::TVEKRadioIfcPool() {
  list_.SetCaseSensitive(true);
  list_.SetDuplicates(dupError);
  list_.SetSorted(true);
}

TVEKRadioIfcPool::~TVEKRadioIfcPool() { FreeAll(); }

std::u16string TVEKRadioIfcPool::Key(TVEKRadioIfcType type, const std::u16string& device) {
  return VekEnumText(type) + u"|" + device;
}

TVEKRadioIfc* TVEKRadioIfcPool::Find(TVEKRadioIfcType type, const std::u16string& device) const {
  const int i = list_.IndexOf(Key(type, device));
  return i < 0 ? nullptr : static_cast<TVEKRadioIfc*>(list_.GetObject(i));
}

TVEKRadioIfc* TVEKRadioIfcPool::Add(std::unique_ptr<TVEKRadioIfc> ifc) {
  list_.AddObject(Key(ifc->Type(), ifc->Device()), ifc.get());
  return ifc.release();
}

TVEKRadioIfc* TVEKRadioIfcPool::Item(int index) const {
  return static_cast<TVEKRadioIfc*>(list_.GetObject(index));
}

void TVEKRadioIfcPool::FreeAll() {
  for (int i = 0; i < list_.Count(); ++i) delete static_cast<TVEKRadioIfc*>(list_.GetObject(i));
  list_.Clear();
}
