// The NATS functions of a library built without libnats. An application
// that asks for NATS must learn at once that it will not get it, never run
// on the in-process bus believing it reached a server; what would only
// report on NATS connections reports that there are none.

#include <cstdlib>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"

namespace W4Notifier {
namespace {

[[noreturn]] void Unavailable(const char* function) {
  throw CNotifierException(std::string(function) +
                           ": this Queue Manager library was built without NATS (libnats)");
}

}  // namespace

bool IsNatsAvailable() { return false; }

std::shared_ptr<CNotifierConnection> ConnectNats(const CNatsOptions&) {
  Unavailable("ConnectNats");
}

std::uint64_t DroppedNotifications(const CNotifierConnection&) { return 0; }

CNatsStatistics NatsStatistics(const CNotifierConnection&, bool) { return CNatsStatistics{}; }

bool IsValidNatsRoot(std::string_view) { Unavailable("IsValidNatsRoot"); }

bool NatsOptionsFromEnvironment(CNatsOptions&) { Unavailable("NatsOptionsFromEnvironment"); }

void ApplyNatsEnvironment(CNatsOptions&) { Unavailable("ApplyNatsEnvironment"); }

bool ApplyNatsFlag(CNatsOptions&, std::string_view, std::string_view, std::string&) {
  Unavailable("ApplyNatsFlag");
}

// A usage text is printed, not acted on: it says what is missing rather than
// end the program that asks for its help.
std::string NatsOptionsHelp() {
  return "  (no NATS options: this Queue Manager library was built without NATS)\n";
}

// Without NATS there is no identity to take from a command line.
std::vector<CNatsFlag> NatsFlags() { return {}; }

std::vector<std::string> SplitNatsUrls(std::string_view) { Unavailable("SplitNatsUrls"); }

std::string NatsUrlError(std::string_view) { Unavailable("NatsUrlError"); }

std::string RedactNatsUrl(std::string_view) { Unavailable("RedactNatsUrl"); }

std::string RedactNatsUrls(const std::vector<std::string>&) { Unavailable("RedactNatsUrls"); }

std::shared_ptr<CNotifierConnection> ConnectConfiguredDefault() {
  const char* urls = std::getenv(kNatsUrlVariable);
  if (urls != nullptr && *urls != '\0') Unavailable("ConnectConfiguredDefault");
  return ConnectDefault();
}

// Neither a link nor a request can come from a responder that never starts.
bool CNatsSenderLink::TellRenegotiated() const { return false; }

bool CNatsRequest::Reply(const CMessage&, bool) { return false; }

CNatsSenderLink CNatsRequest::SenderLink() const { return CNatsSenderLink(); }

CNatsResponder::CNatsResponder(const CNatsOptions&, const std::string&, Handler) {
  Unavailable("CNatsResponder");
}

CNatsResponder::~CNatsResponder() = default;

bool CNatsResponder::Publish(const CMessage&) { return false; }

CNatsBusBridge::CNatsBusBridge(const CNatsOptions&, const std::string&,
                               std::shared_ptr<CInProcessBus>) {
  Unavailable("CNatsBusBridge");
}

CNatsBusBridge::~CNatsBusBridge() = default;

}  // namespace W4Notifier
