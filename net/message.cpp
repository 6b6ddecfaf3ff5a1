#include "net/message.h"

#include "foundation/types.h"

void TVEKMessage::Clear() {
  ReceiverId.clear();
  SenderId.clear();
  Lines.clear();
}

void TVEKMessage::CheckLineIndex(int index) const {
  if (index < 0 || index >= GetLineCount()) throw ERangeError("Invalid line index");
}

const std::u16string& TVEKMessage::GetLine(int index) const {
  CheckLineIndex(index);
  return Lines[static_cast<size_t>(index)];
}

std::unique_ptr<TVEKMessage> VekCreateMessage(const std::string& receiver_id, const std::u16string& first_line) {
  auto message = std::make_unique<TVEKMessage>();
  message->ReceiverId = DaxTrim(receiver_id);
  message->Private = !message->ReceiverId.empty();
  message->AddLine(first_line);
  return message;
}
