#pragma once

// The libnats side of message parts (Parts.h) and of the server instance:
// sending a message in parts, joining what comes in, and the instance header
// that every reply and notification of a responder carries, so that a client
// notices a server that restarted behind a running NATS server.

#include <nats/nats.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QueueManager/Platform/Sync.h"
#include "platform/nats/Parts.h"

namespace W4Notifier::nats {

// The responder's instance number (hexadecimal), chosen at random when it
// starts.
inline constexpr const char* kInstanceHeader = "Qm-Instance";
// Where a responder announces its instance: "<root>.s.instance".
std::string InstanceSubject(std::string_view root);
std::uint64_t NewInstance();
std::string FormatInstance(std::uint64_t instance);
// The instance `msg` names; nothing when it names none or nonsense.
std::optional<std::uint64_t> InstanceOf(natsMsg* msg);

struct NatsMsgDeleter {
  void operator()(natsMsg* msg) const { natsMsg_Destroy(msg); }
};
using NatsMsgPtr = std::unique_ptr<natsMsg, NatsMsgDeleter>;

// A message as it came: one NATS message, or the bytes its parts joined to
// (with the last part, whose subject and headers all parts share).
struct Arrival {
  NatsMsgPtr msg;
  std::optional<std::vector<std::uint8_t>> joined;
  std::span<const std::uint8_t> Data() const;
};

using Headers = std::vector<std::pair<const char*, std::string>>;

// Publishes `bytes` on `subject` (with `reply`, which may be null) and
// `headers`, in parts when the connection's server would refuse it whole. A
// message that cannot be sent at all fails at once with NATS_MAX_PAYLOAD
// (traced).
natsStatus PublishInParts(natsConnection* connection, const char* subject, const char* reply,
                          const Headers& headers, std::span<const std::uint8_t> bytes);

// Joins the parts that come in. Thread-safe; its lock is taken last and
// nothing is called under it.
class PartReceiver {
 public:
  // Takes `msg` (owned from here). True with `arrival` set once a whole
  // message is there: `msg` itself when it is no part, else the message its
  // last part completed. Joins given up meanwhile (traced) go to `dropped`.
  // `stream` names the part's stream (asked only for parts).
  bool Take(natsMsg* msg, const std::function<std::string()>& stream, Arrival& arrival,
            std::vector<PartJoiner::Dropped>& dropped);

 private:
  W4Os::Mutex mutex_;
  PartJoiner joiner_ QM_GUARDED_BY(mutex_);
};

}  // namespace W4Notifier::nats
