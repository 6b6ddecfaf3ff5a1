#include "net/link_attr.h"

#include "foundation/exception.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/logininfo.h"

std::string VekBuildLoginLine(int32_t version, const TVEKLoginInfo& info,
                              const std::u16string& network, uint32_t flags,
                              TAnsiUnicodeConverter& converter) {
  const TVEKAccount& account = info.Account();
  const std::u16string password = info.PasswordToSend();
  const std::u16string band = info.GetBandText();
  std::string line = "CT:";
  line += VekTagBuild("VX", std::to_string(version));
  line += VekTagBuild("EA", converter.UnicodeToAnsi(account.EMailAddress));
  line += VekTagBuild("PW", converter.UnicodeToAnsi(password));
  line += VekTagBuild("ON", converter.UnicodeToAnsi(info.NameText()));
  line += VekTagBuild("CL", Vek012ToDigit(account.ClientType));
  line += VekTagBuild("BC", VekFitEncodedLength(converter, 22, DaxTrimW(band)));
  line += VekTagBuild("DS", VekFitEncodedLength(converter, 50, DaxTrimW(account.Description)));
  line += VekTagBuild("NN", converter.UnicodeToAnsi(account.Country));
  line += VekTagBuild("CT", VekFitEncodedLength(converter, 43, DaxTrimW(info.PlaceText())));
  line += VekTagBuild("NT", VekFitEncodedLength(converter, 20, DaxTrimW(network)));
  if (flags != 0) {
    line += VekTagBuild("CEF", std::to_string(flags));
    if (flags & VEK_EXT_UTF8) {
      line += VekTagBuild(
          "U8TF", VekAccountRecord(account.ClientType, account.EMailAddress, info.NameText(),
                                   password, band, account.Description, info.PlaceText(),
                                   account.Country, network));
    }
  }
  line += "\r\n";
  return line;
}

TVEKLinkAttr::TVEKLinkAttr() : converter_(std::make_unique<TAnsiUnicodeConverter>()) {}

void TVEKLinkAttr::SetLoginInfo(TVEKLoginInfo* info) {
  std::lock_guard<std::mutex> g(lock_);
  if (info != nullptr) {
    const std::string previous = converter_->CharsetName();
    try {
      converter_->SetCharset(info->Account().CharsetName);
    } catch (...) {
      // The previous login info stays, so its charset must stay too: a
      // converter left on the unknown name would narrow its texts.
      if (!previous.empty()) converter_->SetCharset(DaxAnsiToUnicodeRaw(previous));
      throw;
    }
  }
  login_info_ = info;
}

void TVEKLinkAttr::SetProtoListFormat(TVEKProtoListFormat format) {
  uint32_t f = flags_.load();
  while (!flags_.compare_exchange_weak(
      f, (f & ~VEK_EXT_LIST_FORMAT_MASK) | (static_cast<uint32_t>(format) & 3))) {
  }
}

void TVEKLinkAttr::SetFlag(uint32_t bit, bool on) {
  if (on)
    flags_.fetch_or(bit);
  else
    flags_.fetch_and(~bit);
}

std::u16string TVEKLinkAttr::Network() const {
  std::lock_guard<std::mutex> g(lock_);
  return network_;
}

void TVEKLinkAttr::SetNetwork(const std::u16string& network) {
  std::lock_guard<std::mutex> g(lock_);
  network_ = network;
}

std::string TVEKLinkAttr::BuildConnectionString(const std::u16string& network) {
  std::lock_guard<std::mutex> g(lock_);
  TVEKLoginInfo* info = login_info_.load();
  if (info == nullptr) throw Exception("login info not provided");
  return VekBuildLoginLine(version_.load(), *info, network, flags_.load(), *converter_);
}

std::string TVEKLinkAttr::BuildLoginLineWith(const TVEKLoginInfo& info,
                                             const std::u16string& network, uint32_t flags) {
  std::lock_guard<std::mutex> g(lock_);
  return VekBuildLoginLine(version_.load(), info, network, flags, *converter_);
}

std::u16string TVEKLinkAttr::ServerToUnicode(const std::string& bytes) {
  std::lock_guard<std::mutex> g(lock_);
  return converter_->AnsiToUnicode(bytes);
}

std::u16string TVEKLinkAttr::ServerBufToUnicode(const char* p, int32_t length) {
  std::lock_guard<std::mutex> g(lock_);
  return converter_->BufToUnicode(p, length);
}

std::string TVEKLinkAttr::UnicodeToServer(const std::u16string& text) {
  std::lock_guard<std::mutex> g(lock_);
  return converter_->UnicodeToAnsi(text);
}
