// A line binds one station signal (PTT, COS, LIGHT, STATIC) to one wire of a
// pooled radio interface. Written values are remembered, so they go back on
// the wire when the interface reopens after a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/types_base.h"
#include "station/ifc.h"

// (kind, value): a remembered value was put on the wire again.
using TVEKIfcLineChangeEvent = std::function<void(uint8_t kind, uint8_t value)>;

class TVEKRadioIfcLineBase {
 public:
  explicit TVEKRadioIfcLineBase(TVEKIfcSignalType kind) : kind_(kind) {}
  TVEKRadioIfcLineBase(const TVEKRadioIfcLineBase&) = delete;
  TVEKRadioIfcLineBase& operator=(const TVEKRadioIfcLineBase&) = delete;
  virtual ~TVEKRadioIfcLineBase() = default;

  TVEKIfcSignalType Kind() const { return kind_; }
  void DoChange(uint8_t kind, uint8_t value);
  virtual void Reapply() = 0;

  TVEKIfcLineChangeEvent OnChange;

 private:
  TVEKIfcSignalType kind_;
};

class TVEKRadioIfcLine : public TVEKRadioIfcLineBase {
 public:
  // Attaches itself to `ifc` (which may be null).
  TVEKRadioIfcLine(TVEKIfcSignalType kind, TVEKRadioIfc* ifc, int wire_index);
  // Detaches; the last line to go closes the device.
  ~TVEKRadioIfcLine() override;

  // Remembers the value, then writes it when the interface is ready. A
  // failed write marks the interface failed and reports through its
  // OnError. 0 also when the device is down.
  int SetValue(bool value, uint32_t now);
  // False and 0 while the device is down or no interface is bound.
  int GetValue(int32_t level, bool& value, uint32_t now);
  // Writes the remembered value again on an open device and reports it
  // through OnChange; a failed write marks the interface failed instead
  // (as of `now`; the plain form reads the interface's clock).
  void Reapply() override;
  void Reapply(uint32_t now);
  // The two halves of a reapply, for the interface's reopen: the write of
  // the remembered value (0 also when there is nothing to write; a failure
  // marks the interface failed and is reported), and the OnChange report.
  int RewriteValue(uint32_t now);
  void AnnounceReapplied();
  // 0 when no interface is bound or it is ready, else its last error code.
  int TryOpenIfc(uint32_t now);
  void CloseIfc();

  bool HasIfc() const { return ifc_ != nullptr; }
  TVEKRadioIfc* Ifc() const { return ifc_; }
  std::u16string GetIfcName() const;
  TVEKRadioIfcType GetIfcType() const;
  bool IsIfcOpen() const;
  std::u16string GetWireName() const;
  bool IsInverted() const;
  int WireIndex() const { return wire_index_; }
  bool Value() const { return value_; }
  bool IsValueSet() const { return value_set_; }

 private:
  friend class TVEKRadioIfc;  // unbinds lines that outlive it
  bool HasValueToWrite() const;

  TVEKRadioIfc* ifc_;
  int wire_index_;
  bool value_ = false;
  bool value_set_ = false;
};
