// Pure pieces of the handshake and the login, kept apart from the thread so
// they can be checked on their own. The login steps themselves are
// TVEKProtocol members (proto_login.cpp).
#pragma once

#include <cstdint>
#include <string>

// Line 1 of the handshake answer: a decimal integer, else 9999999.
int32_t VekNewestClientVersion(const std::string& line1);

// The backup server a login answer announces: BN decoded as a host name
// (Punycode labels) and BP a port 1..65535. False when the answer announces
// none that is usable.
bool VekParseBackupAnnouncement(const std::string& answerLine, std::u16string& host, int32_t& port);

// The privilege of an accepted AL value (clpr_USER ...), or clpr_NONE for a
// refusal or an unknown value.
uint8_t VekAccessLevelPrivilege(const std::string& accessLevel);
