// The object behind "checkinput": one radio interface made from a spec of
// the command line, opened on its own, whose active input wires are read on
// every capture level so an operator can find the carrier wire.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/exception.h"
#include "foundation/types_base.h"
#include "station/ifc.h"

// The front end's own error class.
DAX_DECLARE_EXCEPTION(EVEKRunError, Exception);

class TVEKRunCheckInput {
 public:
  // spec: type:device[:wire[:mode[:p5[:p6]]]]. Raises EVEKRunError on a bad
  // spec, an unknown type or a wire that cannot be allocated. Opens nothing.
  explicit TVEKRunCheckInput(const std::u16string& spec, const TVEKRadioIfcSeams& seams = {});
  ~TVEKRunCheckInput();
  TVEKRunCheckInput(const TVEKRunCheckInput&) = delete;
  TVEKRunCheckInput& operator=(const TVEKRunCheckInput&) = delete;

  // Opens the device unless it is open. A failing open raises the
  // interface's "OPEN DEVICE: ..." error: nothing would ever open it again.
  void Poll(uint32_t now);
  // The names of the readable wires (only the named one, when a wire was
  // given) that are active at `level`, separated by single blanks.
  std::u16string GetActiveInputs(int32_t level);
  void Stop();

  TVEKRadioIfcType Type() const { return type_; }
  const std::u16string& Device() const { return device_; }
  const std::u16string& Wire() const { return wire_; }
  TVEKWireInvertedMode InvertedMode() const { return inverted_mode_; }
  int LastWireError() const { return last_wire_error_; }

 private:
  std::u16string type_text_, device_, wire_, param5_, param6_;
  TVEKRadioIfcType type_ = rit_UNKNOWN;
  std::unique_ptr<TVEKRadioIfc> interface_;
  TVEKIfcWires wires_;
  int32_t wire_index_ = -1;
  int last_wire_error_ = 0;
  TVEKWireInvertedMode inverted_mode_ = wim_NORMAL;
};
