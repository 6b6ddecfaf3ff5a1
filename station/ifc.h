// Radio interfaces: a device (serial port, VOX level, signal file) offering
// named on/off wires, with its closed/open/failed states and the reopen rule
// (at most one attempt per 3000 ms). Wire specs from the configuration name
// a wire as TYPE:DEVICE[:WIRE[:MODE[:P5[:P6]]]]. Used by the engine thread
// only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/backoff.h"
#include "foundation/types_base.h"

class TDaxSerialPort;
class TVEKRadioIfcLine;
class TVEKRadioIfcPool;

using TVEKWireName = std::u16string;

inline constexpr uint8_t kVekWireReadable = 0x01;
inline constexpr uint8_t kVekWireWritable = 0x02;

struct TVEKIfcWireRecord {
  TVEKWireName Name;
  uint8_t Flags = 0;  // kVekWireReadable | kVekWireWritable
};
using TVEKIfcWires = std::vector<TVEKIfcWireRecord>;

// Codes shared by every interface type; types add codes of their own.
enum : int {
  VEK_WIRE_OK = 0,
  VEK_WIRE_NOT_IMPLEMENTED = 1,
  VEK_WIRE_NOT_FOUND = 2,
  VEK_WIRE_ALREADY_USED = 3,
  VEK_WIRE_INVALID_ACCESS = 4,
};

enum TVEKRadioIfcState : uint8_t {
  ris_Closed = 0,
  ris_Open = 1,
  ris_Failed = 2,
};

inline constexpr uint32_t kVekIfcReopenIntervalMs = 3000;
// A device that stays broken is tried every 3 s; its failure is reported
// once, then at an interval growing from 10 s to an hour with a count.
inline constexpr uint32_t kVekIfcReportFirstMs = 10000;
inline constexpr uint32_t kVekIfcReportMaxMs = 3600000;

using TVEKIfcTextEvent = std::function<void(const std::u16string&)>;
using TVEKTickSource = std::function<uint32_t()>;

// Where time and hardware come from; empty members mean DaxTickMs and the
// machine's serial ports.
struct TVEKRadioIfcSeams {
  TVEKTickSource Clock;
  TDaxSerialPort* SerialPort = nullptr;
};

class TVEKRadioIfc {
 public:
  TVEKRadioIfc(const TVEKRadioIfc&) = delete;
  TVEKRadioIfc& operator=(const TVEKRadioIfc&) = delete;
  // Derived destructors close the device; this one unbinds remaining lines.
  virtual ~TVEKRadioIfc();

  // The type's operations. Codes: 0 success, else the type's own codes.
  virtual int Open() = 0;
  virtual void Close() = 0;
  virtual int Check() = 0;
  virtual TVEKIfcWires GetWires() { return {}; }
  virtual TVEKIfcWires GetTypeWires() { return {}; }
  virtual std::u16string ErrorText(int code) = 0;
  virtual int WriteWire(int index, bool value) = 0;
  // `level` is the sound card's capture level; only VOX looks at it.
  virtual int ReadWire(int index, int32_t level, bool& value) = 0;
  virtual bool IsWireInverted(int index) = 0;
  virtual bool IsWireWritable(int index) = 0;
  virtual TVEKWireName WireName(int index) = 0;
  virtual int AllocateWire(bool write, const TVEKWireName& name, TVEKWireInvertedMode mode,
                           const std::u16string& p5, const std::u16string& p6, int& index) = 0;

  void OpenDevice(uint32_t now);
  void CloseDevice();
  // Closes, and records `code` (when not 0) as the last error so that
  // callers asking why the device is down get a reason.
  void MarkFailed(uint32_t now, int code = 0);
  void CheckDevice(uint32_t now);
  // A failed device is opened again when due, proved by a test access and
  // by putting the attached lines' values back; only then is it reported
  // reopened and do the lines announce their values.
  void Reopen(uint32_t now);
  bool IsReady(uint32_t now);
  bool IsOpened() const { return state_ == ris_Open; }

  void AttachLine(TVEKRadioIfcLine* line);
  void DetachLine(TVEKRadioIfcLine* line);

  // OnError when set, else raises the text as an Exception.
  void DoError(const std::u16string& text);
  // A failure of the device: raised without OnError; with it, reported
  // through the repeat gate (the first of an episode, then spaced, with the
  // count of those held back).
  void ReportFailure(uint32_t now, const std::u16string& text);
  void DoInfo(const std::u16string& text);

  // "ok", "not implemented", ...; any other code raises "unknown error code".
  static std::u16string WireErrorText(int code);

  TVEKRadioIfcType Type() const { return type_; }
  const std::u16string& TypeName() const { return type_name_; }
  const std::u16string& Name() const { return name_; }
  const std::u16string& Device() const { return device_; }
  TVEKRadioIfcState State() const { return state_; }
  int LastError() const { return last_error_; }
  uint32_t LastAttempt() const { return last_attempt_; }
  const std::vector<TVEKRadioIfcLine*>& Lines() const { return lines_; }
  uint32_t Now() const;

  TVEKIfcTextEvent OnError;
  TVEKIfcTextEvent OnInfo;

 protected:
  TVEKRadioIfc(TVEKRadioIfcType type, std::u16string name, std::u16string device,
               const TVEKRadioIfcSeams& seams);
  // For derived destructors: the virtual Close is gone once they finish.
  void CloseOnDestroy();

 private:
  // Check() and the lines' values after a reopen; false (marked failed and
  // reported) when the device does not work after all.
  bool ProveReopened(uint32_t now);

  TVEKRadioIfcType type_;
  std::u16string type_name_;
  std::u16string name_;
  std::u16string device_;
  TVEKRadioIfcState state_ = ris_Closed;
  int last_error_ = 0;
  TVEKTickSource clock_;
  uint32_t last_attempt_ = 0;
  TDaxRepeatGate failure_reports_{kVekIfcReportFirstMs, kVekIfcReportMaxMs};
  std::vector<TVEKRadioIfcLine*> lines_;
};

// rit_UNKNOWN gives none; a value outside the enumeration raises
// "Radio interface type "<name>" is not implemented".
std::unique_ptr<TVEKRadioIfc> VekCreateRadioIfc(TVEKRadioIfcType type, const std::u16string& name,
                                                const std::u16string& device,
                                                const TVEKRadioIfcSeams& seams = {});

// Raises Exception "<status text>: "<offending text>"" for a spec with fewer
// than two fields, an unknown type or an unusable mode.
void VekParseWireSpec(const std::u16string& spec, TVEKRadioIfcType& type, std::u16string& device,
                      std::u16string& wire, TVEKWireInvertedMode& mode, std::u16string& p5,
                      std::u16string& p6);

// True for the signals the station writes (PTT, LIGHT, STATIC), false for COS.
bool VekIfcSignalIsWrite(TVEKIfcSignalType signal);

// Binds the signal to the wire its wire spec names, sharing the pool's
// interface for the same type and device or creating (and pooling) one with
// the two handlers and the pool's seams. Wire-spec errors raise; a wire that cannot be allocated
// gives none and its text in `error_text`.
std::unique_ptr<TVEKRadioIfcLine> VekCreateRadioIfcLine(
    TVEKIfcSignalType signal, const std::u16string& spec, TVEKRadioIfcPool& pool,
    const TVEKIfcTextEvent& on_info, std::u16string& error_text, const TVEKIfcTextEvent& on_error);
