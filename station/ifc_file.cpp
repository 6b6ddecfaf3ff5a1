#include "station/ifc_file.h"

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/fileutils.h"

TVEKRadioIfcFILE::TVEKRadioIfcFILE(const std::u16string& name, const std::u16string& device,
                                   const TVEKRadioIfcSeams& seams)
    : TVEKRadioIfc(rit_FILE, name, device, seams), path_(DaxHookUnicodeToSys(device)) {}

TVEKRadioIfcFILE::~TVEKRadioIfcFILE() { CloseOnDestroy(); }

int TVEKRadioIfcFILE::Fail(const std::exception& e) {
  error_text_ = DaxHookSysToUnicode(e.what());
  return kFileError;
}

void TVEKRadioIfcFILE::CreateSignalFile() {
  TDaxBinaryFile f;
  DaxRewriteBinary(f, path_);
  DaxCheckFileWriteError(DaxCloseBinaryFile(f), path_);
}

void TVEKRadioIfcFILE::DeleteSignalFile() {
  const int code = DaxDeleteFileNoRaise(path_);
  if (code != 0 && code != ENOENT) DaxCheckFileDeleteError(code, path_);
}

int TVEKRadioIfcFILE::Open() {
  if (!(write_ && inverted_)) return 0;
  try {
    CreateSignalFile();
  } catch (const std::exception& e) {
    return Fail(e);
  }
  return 0;
}

void TVEKRadioIfcFILE::Close() {
  if (!write_) return;
  try {
    DeleteSignalFile();
  } catch (const std::exception& e) {
    Fail(e);
  }
}

int TVEKRadioIfcFILE::Check() {
  bool value = false;
  return ReadWire(0, 0, value);
}

TVEKIfcWires TVEKRadioIfcFILE::GetWires() {
  return {{u"FILE", kVekWireReadable | kVekWireWritable}};
}

TVEKIfcWires TVEKRadioIfcFILE::GetTypeWires() { return GetWires(); }

std::u16string TVEKRadioIfcFILE::ErrorText(int code) {
  if (code == 0) return {};
  return error_text_;
}

int TVEKRadioIfcFILE::WriteWire(int, bool value) {
  try {
    if (value != inverted_)
      CreateSignalFile();
    else
      DeleteSignalFile();
  } catch (const std::exception& e) {
    return Fail(e);
  }
  return 0;
}

int TVEKRadioIfcFILE::ReadWire(int, int32_t, bool& value) {
  try {
    uint32_t attr = 0;
    const int code = DaxGetFileAttributesNoRaise(path_, attr);
    // A missing directory means the signal is absent, not a broken device.
    if (code != 0 && code != ENOENT && code != ENOTDIR) DaxCheckGetAttrError(code, path_);
    value = (code == 0) != inverted_;
  } catch (const std::exception& e) {
    return Fail(e);
  }
  return 0;
}

int TVEKRadioIfcFILE::AllocateWire(bool write, const TVEKWireName&, TVEKWireInvertedMode mode,
                                   const std::u16string&, const std::u16string&, int& index) {
  if (allocated_) return VEK_WIRE_ALREADY_USED;
  write_ = write;
  inverted_ = mode == wim_INVERTED;
  allocated_ = true;
  index = 0;
  return VEK_WIRE_OK;
}
