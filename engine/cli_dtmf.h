// The DTMF command table: what the engine does when an operator keys a digit
// sequence on the radio. Parsed from [Radio] DtmfCommands, printed in the
// configuration report and in the engine's log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/exception.h"

enum : uint8_t {
  VEK_DTMF_CMD_RESET = 0,
  VEK_DTMF_CMD_NETWORK = 1,
  VEK_DTMF_CMD_EXECUTE = 2,
  VEK_DTMF_CMD_CONNECT = 3,
};

struct TVEKCLIDtmfCommand {
  uint8_t Kind = VEK_DTMF_CMD_RESET;
  std::string Code;  // DTMF characters, upper case
  std::u16string Network;      // NETWORK, CONNECT
  std::u16string Host;         // CONNECT
  std::u16string CommandLine;  // EXECUTE
  int32_t Port = 0;            // CONNECT
};

using TVEKCLIDtmfCommands = std::vector<TVEKCLIDtmfCommand>;

// "Invalid DTMF command code"
DAX_DECLARE_EXCEPTION(EInvalidDTMFCommandCode, Exception);
[[noreturn]] void RaiseInvalidDtmfCommandCode();

// RESET R RES, NETWORK NET N, EXECUTE EXEC E, CONNECT CONN C; ASCII letters
// in any case. False leaves kind unchanged.
bool VekDtmfKindFromText(const std::u16string& keyword, uint8_t& kind);

// "12:RESET", "34:NETWORK:Region", "5:EXECUTE:prog", "6:CONNECT:host:10024:Net".
// A kind outside 0..3 raises EInvalidDTMFCommandCode.
std::u16string VekDtmfCommandToText(const TVEKCLIDtmfCommand& command);

// Fills the table from the configuration text: entries split at ";", fields
// at ":", each trimmed. Malformed entries, and entries whose code contains or
// is contained in an accepted code, are skipped silently.
void VekParseDtmfCommands(const std::u16string& text, TVEKCLIDtmfCommands& commands);

