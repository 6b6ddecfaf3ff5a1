// A signal kept as the existence of a file, to hand PTT, COS or an
// indicator to or from another program. Failures of the file layer are kept
// as text and returned as -1.
#pragma once

#include <string>

#include "station/ifc.h"

class TVEKRadioIfcFILE : public TVEKRadioIfc {
 public:
  static constexpr int kFileError = -1;

  // `device` is the signal file's path.
  TVEKRadioIfcFILE(const std::u16string& name, const std::u16string& device,
                   const TVEKRadioIfcSeams& seams = {});
  ~TVEKRadioIfcFILE() override;

  // An inverted write wire starts with the file present (signal off).
  int Open() override;
  // A write wire's file is deleted.
  void Close() override;
  int Check() override;
  TVEKIfcWires GetWires() override;
  TVEKIfcWires GetTypeWires() override;
  // 0: empty; else the kept error text.
  std::u16string ErrorText(int code) override;
  int WriteWire(int index, bool value) override;
  int ReadWire(int index, int32_t level, bool& value) override;
  bool IsWireInverted(int) override { return inverted_; }
  bool IsWireWritable(int) override { return write_; }
  TVEKWireName WireName(int) override { return Device(); }
  // Once per interface; the name is not looked at.
  int AllocateWire(bool write, const TVEKWireName& name, TVEKWireInvertedMode mode,
                   const std::u16string& p5, const std::u16string& p6, int& index) override;

  const std::string& Path() const { return path_; }
  const std::u16string& LastErrorText() const { return error_text_; }

 private:
  void CreateSignalFile();
  void DeleteSignalFile();
  int Fail(const std::exception& e);

  std::string path_;
  std::u16string error_text_;
  bool write_ = false;
  bool inverted_ = false;
  bool allocated_ = false;
};
