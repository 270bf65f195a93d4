#include "platform/nats/Framing.h"

#include <charconv>
#include <random>

#include "QueueManager/Platform/Trace.h"

namespace W4Notifier::nats {
namespace {

constexpr const char* kFunction = "W4Notifier::nats";

const char* Header(natsMsg* msg, const char* name) {
  const char* value = nullptr;
  return natsMsgHeader_Get(msg, name, &value) == NATS_OK && value != nullptr ? value : nullptr;
}

void TraceDropped(const std::vector<PartJoiner::Dropped>& dropped) {
  for (const PartJoiner::Dropped& join : dropped) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, kFunction,
             "Message {} in parts on {} dropped: {}", join.id, join.stream, join.why);
  }
}

natsStatus PublishOne(natsConnection* connection, const char* subject, const char* reply,
                      const Headers& headers, const std::optional<PartHeader>& part,
                      std::span<const std::uint8_t> bytes) {
  natsMsg* created = nullptr;
  natsStatus status =
      natsMsg_Create(&created, subject, reply, reinterpret_cast<const char*>(bytes.data()),
                     static_cast<int>(bytes.size()));
  if (status != NATS_OK) return status;
  NatsMsgPtr msg(created);
  for (const auto& [name, value] : headers) {
    if (status == NATS_OK) status = natsMsgHeader_Set(msg.get(), name, value.c_str());
  }
  if (part) {
    const PartHeaderText text = FormatPart(*part);
    if (status == NATS_OK) status = natsMsgHeader_Set(msg.get(), kPartIdHeader, text.id.c_str());
    if (status == NATS_OK) status = natsMsgHeader_Set(msg.get(), kPartHeader, text.part.c_str());
    if (status == NATS_OK)
      status = natsMsgHeader_Set(msg.get(), kPartTotalHeader, text.total.c_str());
  }
  if (status == NATS_OK) status = natsConnection_PublishMsg(connection, msg.get());
  return status;
}

}  // namespace

std::string InstanceSubject(std::string_view root) { return std::string(root) + ".s.instance"; }

std::uint64_t NewInstance() {
  std::random_device random;
  std::uint64_t instance = 0;
  while (instance == 0) instance = (std::uint64_t{random()} << 32) ^ random();
  return instance;
}

std::string FormatInstance(std::uint64_t instance) {
  char text[17];
  const auto [end, error] = std::to_chars(text, text + sizeof text, instance, 16);
  return std::string(text, end);
}

std::optional<std::uint64_t> InstanceOf(natsMsg* msg) {
  const char* value = Header(msg, kInstanceHeader);
  if (value == nullptr) return std::nullopt;
  const std::string_view text(value);
  std::uint64_t instance = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), instance, 16);
  if (error != std::errc{} || end != text.data() + text.size() || instance == 0)
    return std::nullopt;
  return instance;
}

std::span<const std::uint8_t> Arrival::Data() const {
  if (joined) return *joined;
  return {reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg.get())),
          static_cast<std::size_t>(natsMsg_GetDataLength(msg.get()))};
}

natsStatus PublishInParts(natsConnection* connection, const char* subject, const char* reply,
                          const Headers& headers, std::span<const std::uint8_t> bytes) {
  const std::size_t room = PartRoom(natsConnection_GetMaxPayload(connection));
  if (room != 0 && bytes.size() <= room) {
    if (headers.empty())
      return natsConnection_Publish(connection, subject, bytes.data(),
                                    static_cast<int>(bytes.size()));
    return PublishOne(connection, subject, reply, headers, std::nullopt, bytes);
  }
  const std::vector<std::span<const std::uint8_t>> parts = SplitPayload(bytes, room);
  if (parts.empty()) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, kFunction,
             "Message of {} bytes on {} not sent: it exceeds {} parts of {} bytes or {} bytes",
             bytes.size(), subject, kMaxParts, room, kMaxMessageBytes);
    return NATS_MAX_PAYLOAD;
  }
  PartHeader part{NewMessageId(), 0, static_cast<std::uint32_t>(parts.size()), bytes.size()};
  for (const auto& piece : parts) {
    ++part.index;
    const natsStatus status = PublishOne(connection, subject, reply, headers, part, piece);
    if (status != NATS_OK) return status;
  }
  return NATS_OK;
}

bool PartReceiver::Take(natsMsg* msg, const std::function<std::string()>& streamOf,
                        Arrival& arrival, std::vector<PartJoiner::Dropped>& dropped) {
  NatsMsgPtr owned(msg);
  const char* id = Header(msg, kPartIdHeader);
  if (id == nullptr) {
    arrival.msg = std::move(owned);
    arrival.joined.reset();
    return true;
  }
  const std::string stream = streamOf();
  const char* part = Header(msg, kPartHeader);
  const char* total = Header(msg, kPartTotalHeader);
  const std::optional<PartHeader> header =
      part != nullptr && total != nullptr ? ParsePartHeader(id, part, total) : std::nullopt;
  PartJoiner::Outcome outcome;
  if (!header) {
    outcome.dropped.push_back({stream, 0, "its part header is invalid"});
  } else {
    const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    W4Os::MutexLock lock(&mutex_);
    outcome = joiner_.Add(stream, *header, {data, size}, PartJoiner::Clock::now());
  }
  TraceDropped(outcome.dropped);
  dropped.insert(dropped.end(), std::make_move_iterator(outcome.dropped.begin()),
                 std::make_move_iterator(outcome.dropped.end()));
  if (!outcome.whole) return false;
  arrival.msg = std::move(owned);
  arrival.joined = std::move(outcome.whole);
  return true;
}

}  // namespace W4Notifier::nats
