// Voice-operated COS: no device, one read-only wire that is on while the
// sound card's capture level (0..32767) reaches the threshold given as the
// wire spec's device text.
#pragma once

#include "station/ifc.h"

class TVEKRadioIfcVOX : public TVEKRadioIfc {
 public:
  // Enabled when `device` is a strict integer of 0 or more.
  TVEKRadioIfcVOX(const std::u16string& name, const std::u16string& device,
                  const TVEKRadioIfcSeams& seams = {});
  ~TVEKRadioIfcVOX() override;

  // 0 when enabled, else 2.
  int Open() override;
  void Close() override {}
  int Check() override { return 0; }
  TVEKIfcWires GetWires() override;
  TVEKIfcWires GetTypeWires() override;
  // The system's message for the code.
  std::u16string ErrorText(int code) override;
  // Always 5: the wire cannot be written.
  int WriteWire(int index, bool value) override;
  int ReadWire(int index, int32_t level, bool& value) override;
  bool IsWireInverted(int) override { return false; }
  bool IsWireWritable(int) override { return false; }
  TVEKWireName WireName(int) override { return u"VOX"; }
  // Write access gives 4; reading is granted any number of times.
  int AllocateWire(bool write, const TVEKWireName& name, TVEKWireInvertedMode mode,
                   const std::u16string& p5, const std::u16string& p6, int& index) override;

  bool Enabled() const { return enabled_; }
  int32_t Threshold() const { return threshold_; }

 private:
  bool enabled_ = false;
  int32_t threshold_ = 0;
};
