#include "engine/cli_dtmf.h"

#include "foundation/tags.h"
#include "foundation/types.h"

void RaiseInvalidDtmfCommandCode() { throw EInvalidDTMFCommandCode("Invalid DTMF command code"); }

bool VekDtmfKindFromText(const std::u16string& keyword, uint8_t& kind) {
  static const struct {
    const char16_t* text;
    uint8_t kind;
  } kTable[] = {
      {u"RESET", VEK_DTMF_CMD_RESET},     {u"R", VEK_DTMF_CMD_RESET},
      {u"RES", VEK_DTMF_CMD_RESET},       {u"NETWORK", VEK_DTMF_CMD_NETWORK},
      {u"NET", VEK_DTMF_CMD_NETWORK},     {u"N", VEK_DTMF_CMD_NETWORK},
      {u"EXECUTE", VEK_DTMF_CMD_EXECUTE}, {u"EXEC", VEK_DTMF_CMD_EXECUTE},
      {u"E", VEK_DTMF_CMD_EXECUTE},       {u"CONNECT", VEK_DTMF_CMD_CONNECT},
      {u"CONN", VEK_DTMF_CMD_CONNECT},    {u"C", VEK_DTMF_CMD_CONNECT},
  };
  const std::u16string upper = DaxUpperCaseAsciiW(keyword);
  for (const auto& row : kTable) {
    if (upper == row.text) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

std::u16string VekDtmfCommandToText(const TVEKCLIDtmfCommand& command) {
  std::u16string text = DaxAnsiToUnicodeRaw(command.Code);
  switch (command.Kind) {
    case VEK_DTMF_CMD_RESET:
      return text + u":RESET";
    case VEK_DTMF_CMD_NETWORK:
      return text + u":NETWORK:" + command.Network;
    case VEK_DTMF_CMD_EXECUTE:
      return text + u":EXECUTE:" + command.CommandLine;
    case VEK_DTMF_CMD_CONNECT: {
      const std::string port = std::to_string(command.Port);
      return text + u":CONNECT:" + command.Host + u":" + std::u16string(port.begin(), port.end()) +
             u":" + command.Network;
    }
    default:
      RaiseInvalidDtmfCommandCode();
  }
}

namespace {

// Units beyond Latin-1 become "?", which no tone produces, so such a code
// can never match (a low-byte copy could turn a letter into a digit).
std::string CodeBytes(const std::u16string& code) {
  std::string out;
  out.reserve(code.size());
  for (char16_t c : code) out.push_back(c < 256 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Part(const std::u16string& entry, int n) {
  std::u16string field;
  DaxGetFieldW(entry, u':', n, field);
  return DaxTrimW(field);
}

}  // namespace

void VekParseDtmfCommands(const std::u16string& text, TVEKCLIDtmfCommands& commands) {
  commands.clear();
  const int count = DaxFieldCountW(text, u';');
  for (int i = 1; i <= count; ++i) {
    std::u16string entry;
    DaxGetFieldW(text, u';', i, entry);
    entry = DaxTrimW(entry);
    if (entry.empty()) continue;
    TVEKCLIDtmfCommand cmd;
    cmd.Code = CodeBytes(DaxUpperCaseAsciiW(Part(entry, 1)));
    if (cmd.Code.empty()) continue;
    bool overlaps = false;
    for (const auto& known : commands) {
      if (known.Code.find(cmd.Code) != std::string::npos ||
          cmd.Code.find(known.Code) != std::string::npos) {
        overlaps = true;
        break;
      }
    }
    if (overlaps) continue;
    const std::u16string keyword = Part(entry, 2);
    if (keyword.empty() || !VekDtmfKindFromText(keyword, cmd.Kind)) continue;
    switch (cmd.Kind) {
      case VEK_DTMF_CMD_RESET:
        break;
      case VEK_DTMF_CMD_NETWORK:
        cmd.Network = Part(entry, 3);
        if (cmd.Network.empty()) continue;
        break;
      case VEK_DTMF_CMD_EXECUTE:
        cmd.CommandLine = Part(entry, 3);
        if (cmd.CommandLine.empty()) continue;
        break;
      case VEK_DTMF_CMD_CONNECT:
        cmd.Host = Part(entry, 3);
        cmd.Network = Part(entry, 5);
        if (cmd.Host.empty() || cmd.Network.empty() || !VekTryParsePort(Part(entry, 4), cmd.Port))
          continue;
        break;
    }
    commands.push_back(std::move(cmd));
  }
}

