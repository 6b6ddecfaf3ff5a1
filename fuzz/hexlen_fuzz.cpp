// Hex length prefixes and tagged values on any bytes: the decoder never reads
// past its end, leaves the cursor alone when it fails, agrees in both of its
// forms and reads back every prefix the encoder writes; the tag extractor
// returns only a value that sits between its tags in the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/tags.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void FuzzDecode(const char* data, std::size_t size) {
  // An exact-size copy, so a read past the end is a heap overflow.
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  const char* begin = copy.get();
  const char* end = begin + size;
  const char* cursor = begin;
  std::uint32_t length = 0xDEADBEEF;
  const bool ok = DaxHexLenDecode(cursor, end, length);
  std::string_view view(begin, size);
  std::uint32_t viewLength = 0xDEADBEEF;
  const bool viewOk = DaxHexLenDecode(view, viewLength);
  Check(ok == viewOk);
  if (!ok) {
    Check(cursor == begin && length == 0xDEADBEEF);
    Check(view.size() == size);
    return;
  }
  const std::size_t used = static_cast<std::size_t>(cursor - begin);
  Check(used >= 2 && used <= 10 && used % 2 == 0 && cursor <= end);
  Check(view.data() == cursor && view.size() == size - used && viewLength == length);
}

void FuzzRoundTrip(std::uint32_t n) {
  n %= 70000;
  const std::string field = DaxHexLenField(std::string(n, 'x'));
  const std::string prefix = field.substr(0, field.size() - n);
  const char* cursor = prefix.data();
  std::uint32_t length = 0;
  Check(DaxHexLenDecode(cursor, prefix.data() + prefix.size(), length));
  Check(length == n && cursor == prefix.data() + prefix.size());
}

void FuzzTag(const std::string& name, const std::string& data) {
  std::string value = "untouched";
  if (!VekTagExtract(name, data, value)) {
    Check(value == "untouched");
    return;
  }
  Check(!name.empty() && name.size() <= 125);
  const std::string open = "<" + name + ">";
  const std::size_t pos = data.find(open);
  Check(pos != std::string::npos);
  Check(data.compare(pos + open.size(), value.size(), value) == 0);
  Check(data.compare(pos + open.size() + value.size(), name.size() + 3, "</" + name + ">") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  FuzzDecode(text, size);
  if (size >= 4) {
    std::uint32_t n = 0;
    std::memcpy(&n, data, 4);
    FuzzRoundTrip(n);
  }
  if (size >= 1) {
    const std::size_t split = std::min<std::size_t>(data[0] % 8, size - 1);
    FuzzTag(std::string(text + 1, split), std::string(text + 1 + split, size - 1 - split));
  }
  return 0;
}
