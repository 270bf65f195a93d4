#include "requests/RequestFields.h"

#include <algorithm>
#include <string>
#include <utility>

#include "QueueManager/Platform/Trace.h"

namespace QueueManager::requests {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

// The least an element occupies on the wire: an int field is a tag and four
// bytes, a wide text a tag, a four-byte length and its code units.
constexpr std::size_t kIntFieldBytes = 5;
constexpr std::size_t kTextFieldBytes = 5;
constexpr std::size_t kEntityBytes = 2 * kIntFieldBytes;
constexpr std::size_t kValueBytes = kTextFieldBytes;
constexpr std::size_t kAttributeBytes = kIntFieldBytes + kTextFieldBytes;

// No more elements than the bytes after the count can hold.
std::size_t PlausibleCount(const CMessage& message, std::int32_t count,
                           std::size_t minElementBytes) {
  if (count <= 0) return 0;
  const std::size_t fitting = message.RemainingBytes() / minElementBytes;
  return std::min(static_cast<std::size_t>(count), fitting);
}

// Reads an int count and then `count` elements with `readOne`. The loop runs
// on the wire's count but stops with the first field that is not there.
template <class T, class ReadOne>
std::vector<T> ReadList(const CMessage& message, std::size_t minElementBytes, ReadOne readOne) {
  std::int32_t count = 0;
  message >> count;
  std::vector<T> list;
  list.reserve(PlausibleCount(message, count, minElementBytes));
  for (std::int32_t i = 0; i < count; ++i) list.push_back(readOne(message));
  return list;
}

}  // namespace

CEntityId ServerEntity(int options) {
  return CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, options);
}

CEntityId InteractionRequestEntity(InteractionId id) {
  return CEntityId(W4Notifier::eInteractionRequest, id.QueryObjectId(), 0);
}

const std::vector<CEntityId>& NoEntities() {
  static const std::vector<CEntityId> none;
  return none;
}

void WriteEntity(CMessage& message, const CEntityId& entity) {
  message << static_cast<std::int32_t>(entity.QueryObjectType())
          << static_cast<std::int32_t>(entity.QueryObjectId());
}

CEntityId ReadEntity(const CMessage& message) {
  std::int32_t type = 0;
  std::int32_t id = 0;
  message >> type >> id;
  return CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id));
}

void WriteEntityList(CMessage& message, const std::vector<CEntityId>& entities) {
  message << static_cast<std::int32_t>(entities.size());
  for (const CEntityId& entity : entities) WriteEntity(message, entity);
}

void WriteNameList(CMessage& message, const std::vector<CQmAttributeName>& names) {
  message << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(message);
}

std::vector<CEntityId> ReadEntityList(const CMessage& message) {
  return ReadList<CEntityId>(message, kEntityBytes,
                             [](const CMessage& m) { return ReadEntity(m); });
}

std::vector<CQmAttributeValue> ReadValueList(const CMessage& message) {
  return ReadList<CQmAttributeValue>(message, kValueBytes, [](const CMessage& m) {
    std::u16string text;
    m >> text;
    return CQmAttributeValue(std::move(text));
  });
}

std::vector<CQmAttribute> ReadAttributeList(const CMessage& message) {
  return ReadList<CQmAttribute>(message, kAttributeBytes, [](const CMessage& m) {
    CQmAttributeName name;
    name.Read(m);
    std::u16string text;
    m >> text;
    return CQmAttribute(name, CQmAttributeValue(std::move(text)));
  });
}

W4Notifier::CRequestObject MoveAndSetRequest(InteractionId id,
                                             const std::vector<CEntityId>& removeFrom,
                                             const CQmAttributeMap& attributes,
                                             const std::vector<CEntityId>& addTo) {
  constexpr int kEventMoveAndSet = 7;
  W4Notifier::CRequestObject request(InteractionRequestEntity(id), kEventMoveAndSet);
  WriteEntity(request, InteractionRequestEntity(id));
  WriteEntityList(request, removeFrom);
  attributes.Write(request);
  WriteEntityList(request, addTo);
  return request;
}

bool SendAndWait(W4Notifier::CRequestObject& request, W4Notifier::CResponseObject& response,
                 std::string_view function) {
  if (request.Send(response, W4Notifier::CNotifierTimeout::Query()) != 0) return true;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, function,
           "request ({}, {}) event {} failed: {}",
           static_cast<std::int32_t>(request.QueryObjectType()), request.QueryObjectId(),
           request.QueryEventId(), W4Notifier::SendStatusName(response.QueryStatus()));
  return false;
}

bool SendWithoutWaiting(W4Notifier::CRequestObject& request, std::string_view function) {
  const W4Notifier::eMsgCode code = request.Send();
  if (code == W4Notifier::eMsgSuccess) return true;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, function,
           "request ({}, {}) event {} not sent: {}",
           static_cast<std::int32_t>(request.QueryObjectType()), request.QueryObjectId(),
           request.QueryEventId(), W4Notifier::MsgCodeName(code));
  return false;
}

void TraceRequestError(std::string_view function, const CEntityId& target, int eventId,
                       const std::exception& error) {
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, function,
           "request ({}, {}) event {} failed: {}",
           static_cast<std::int32_t>(target.QueryObjectType()), target.QueryObjectId(), eventId,
           error.what());
}

}  // namespace QueueManager::requests
