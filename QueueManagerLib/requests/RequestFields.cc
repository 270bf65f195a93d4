#include "requests/RequestFields.h"

#include <algorithm>
#include <string>
#include <utility>

#include "QueueManager/Platform/Trace.h"

namespace QueueManager::requests {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr std::size_t kEntityBytes = 2 * kIntFieldBytes;
constexpr std::size_t kValueBytes = kTextFieldBytes;
constexpr std::size_t kAttributeBytes = kIntFieldBytes + kTextFieldBytes;

}  // namespace

std::size_t PlausibleCount(const CMessage& message, std::int32_t count,
                           std::size_t minElementBytes) {
  if (count <= 0) return 0;
  const std::size_t fitting = message.RemainingBytes() / minElementBytes;
  return std::min(static_cast<std::size_t>(count), fitting);
}

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

void WriteValue(CMessage& message, const CQmAttributeValue& value) {
  message.WriteZeroTerminated(value.QueryString());
}

CQmAttributeValue ReadValue(const CMessage& message) {
  std::u16string text;
  message >> text;
  return CQmAttributeValue(std::move(text));
}

void WriteEntityList(CMessage& message, const std::vector<CEntityId>& entities) {
  message << static_cast<std::int32_t>(entities.size());
  for (const CEntityId& entity : entities) WriteEntity(message, entity);
}

void WriteNameList(CMessage& message, const std::vector<CQmAttributeName>& names) {
  message << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(message);
}

void WriteValueList(CMessage& message, const std::vector<CQmAttributeValue>& values) {
  message << static_cast<std::int32_t>(values.size());
  for (const CQmAttributeValue& value : values) WriteValue(message, value);
}

std::vector<CEntityId> ReadEntityList(const CMessage& message) {
  return ReadList<CEntityId>(message, kEntityBytes,
                             [](const CMessage& m) { return ReadEntity(m); });
}

std::vector<CQmAttributeValue> ReadValueList(const CMessage& message) {
  return ReadList<CQmAttributeValue>(message, kValueBytes,
                                     [](const CMessage& m) { return ReadValue(m); });
}

std::vector<CQmAttribute> ReadAttributeList(const CMessage& message) {
  return ReadList<CQmAttribute>(message, kAttributeBytes, [](const CMessage& m) {
    CQmAttributeName name;
    name.Read(m);
    return CQmAttribute(name, ReadValue(m));
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
