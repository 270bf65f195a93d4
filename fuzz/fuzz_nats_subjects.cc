// The NATS subject parser on any text: what it accepts is exactly what the
// writers produce (written back, a parsed subject or name token is the input
// again), and nothing crashes it.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/nats/Subjects.h"

using namespace W4Notifier::nats;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string Rewrite(std::string_view root, const ParsedSubject& p) {
  return p.kind != eSubjectKind::kNotification
             ? RequestSubject(root, p.client, p.type, p.objectId, p.eventCode)
             : NotificationSubject(root, p.type, p.objectId, p.eventCode, p.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kRoot = "qm";
  if (const auto parsed = ParseSubject(kRoot, text)) {
    Require(Rewrite(kRoot, *parsed) == text);
    Require(ParseSubject(kRoot, text) == parsed);
  }
  if (const auto name = UnescapeName(text)) Require(EscapeName(*name) == text);
  return 0;
}
