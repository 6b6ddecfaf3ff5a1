#include "net/logininfo.h"

#include "foundation/texts.h"

void VekDefaultAccount(TVEKAccount& account) {
  account.Callsign = u"Callsign";
  account.OperatorName = u"Operator";
  account.EMailAddress = u"@";
  account.City = u"City";
  account.CityPart = u"CityPart";
  account.Country = u"Country";
  account.Password = VekDefaultAccountPassword;
  account.DynamicPassword = VekDefaultAccountPassword;
  account.Description = u"Description";
  account.BandChannel = u"Band And Channel";
  account.CharsetName = u"ASCII";
  account.ClientType = clt_PC;
}

TVEKLoginInfo::TVEKLoginInfo(const TVEKAccount& account) {
  VekAccountCopy(account_, account);
  Derive();
}

void TVEKLoginInfo::Derive() {
  name_text_ = VekNameText(account_);
  place_text_ = VekCityText(account_);
}

void TVEKLoginInfo::Reset() {
  VekDefaultAccount(account_);
  Derive();
  std::lock_guard<std::mutex> g(lock_);
  password_to_send_ = account_.Password;
}

std::u16string TVEKLoginInfo::GetBandText() const { return VekClientTypeText(account_); }

std::u16string TVEKLoginInfo::GetNewDynamicPassword() const {
  std::lock_guard<std::mutex> g(lock_);
  return new_dynamic_password_.empty() ? account_.DynamicPassword : new_dynamic_password_;
}

std::u16string TVEKLoginInfo::GetOldDynamicPassword() const {
  std::lock_guard<std::mutex> g(lock_);
  return old_dynamic_password_.empty() ? account_.DynamicPassword : old_dynamic_password_;
}

std::u16string TVEKLoginInfo::PasswordToSend() const {
  std::lock_guard<std::mutex> g(lock_);
  return password_to_send_;
}

void TVEKLoginInfo::SetPasswordToSend(const std::u16string& password) {
  std::lock_guard<std::mutex> g(lock_);
  password_to_send_ = password;
}

std::u16string TVEKLoginInfo::OldDynamicPassword() const {
  std::lock_guard<std::mutex> g(lock_);
  return old_dynamic_password_;
}

void TVEKLoginInfo::SetOldDynamicPassword(const std::u16string& password) {
  std::lock_guard<std::mutex> g(lock_);
  old_dynamic_password_ = password;
}

std::u16string TVEKLoginInfo::NewDynamicPassword() const {
  std::lock_guard<std::mutex> g(lock_);
  return new_dynamic_password_;
}

void TVEKLoginInfo::SetNewDynamicPassword(const std::u16string& password) {
  std::lock_guard<std::mutex> g(lock_);
  new_dynamic_password_ = password;
}

std::u16string TVEKLoginInfo::PasswordServer() const {
  std::lock_guard<std::mutex> g(lock_);
  return password_server_;
}

void TVEKLoginInfo::SetPasswordServer(const std::u16string& host) {
  std::lock_guard<std::mutex> g(lock_);
  password_server_ = host;
}
