// A text message of the VEK network, incoming or outgoing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/exception.h"

// A line index outside the message.

class TVEKMessage {
 public:
  TVEKMessage() = default;
  virtual ~TVEKMessage() { Clear(); }

  // Empties both ids and all lines.
  void Clear();
  void AddLine(const std::u16string& text) { Lines.push_back(text); }
  int GetLineCount() const noexcept { return static_cast<int>(Lines.size()); }
  // Raises ERangeError "Invalid line index" outside 0..count - 1.
  const std::u16string& GetLine(int index) const;
  void CheckLineIndex(int index) const;

  std::vector<std::u16string> Lines;
  // Outgoing: the addressee's client id, empty for a public message.
  std::string ReceiverId;
  // Received: the sender's client id.
  std::string SenderId;
  // Filled from the client list when the sender is found.
  std::u16string SenderName;
  std::u16string SenderCity;
  bool Private = false;
};

// A message to receiver_id (trimmed of characters up to the blank at both
// ends), private exactly when that id is not empty, with one line.
std::unique_ptr<TVEKMessage> VekCreateMessage(const std::string& receiver_id, const std::u16string& first_line);
