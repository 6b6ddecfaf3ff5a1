// What the client says about itself at login: the configured account, the
// passwords in play and the display texts derived from the account.
#pragma once

#include <mutex>
#include <string>

#include "foundation/types_base.h"  // TVEKAccount

// The placeholder password of the default account.
inline constexpr char16_t VekDefaultAccountPassword[] = u"NoPassword";

// Placeholder values: "Callsign", "Operator", "@", "City", "CityPart",
// "Country", the placeholder password (also as DynamicPassword),
// "Description", "Band And Channel", "ASCII", clt_PC.
void VekDefaultAccount(TVEKAccount& account);

// The account is fixed after construction (or Reset); the password fields are
// written by the engine's password cycle while the protocol thread and the
// checker read them, so they sit behind a lock of their own.
class TVEKLoginInfo {
 public:
  explicit TVEKLoginInfo(const TVEKAccount& account);
  TVEKLoginInfo(const TVEKLoginInfo&) = delete;
  TVEKLoginInfo& operator=(const TVEKLoginInfo&) = delete;

  // The default account, its derived texts, and its placeholder password as
  // the password to send.
  void Reset();

  const TVEKAccount& Account() const { return account_; }
  // VekNameText and VekCityText of the account.
  const std::u16string& NameText() const { return name_text_; }
  const std::u16string& PlaceText() const { return place_text_; }
  // VekClientTypeText of the account; raises "Unknown Account.ClientType".
  std::u16string GetBandText() const;

  // The new / old dynamic password, or the account's DynamicPassword when
  // none has been obtained.
  std::u16string GetNewDynamicPassword() const;
  std::u16string GetOldDynamicPassword() const;

  std::u16string PasswordToSend() const;
  void SetPasswordToSend(const std::u16string& password);
  std::u16string OldDynamicPassword() const;
  void SetOldDynamicPassword(const std::u16string& password);
  std::u16string NewDynamicPassword() const;
  void SetNewDynamicPassword(const std::u16string& password);
  // The VEK server host the dynamic passwords belong to.
  std::u16string PasswordServer() const;
  void SetPasswordServer(const std::u16string& host);

 private:
  void Derive();

  TVEKAccount account_;
  std::u16string name_text_;
  std::u16string place_text_;
  mutable std::mutex lock_;  // the password fields below
  std::u16string old_dynamic_password_;
  std::u16string new_dynamic_password_;
  std::u16string password_to_send_;
  std::u16string password_server_;
};
