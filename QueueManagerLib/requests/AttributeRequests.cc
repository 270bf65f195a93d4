// Setting and querying the attributes of one interaction. Writes go through
// MoveAndSet, which writes the attributes through to the monitor cache before
// it sends them; reads ask the cache first and the server only for what the
// cache cannot answer.

#include "QueueManager/AttributeRequests.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"
#include "monitor/QmCache.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CRequestObject;
using W4Notifier::CResponseObject;

// Events of the interaction request entity.
constexpr int kEventQueryAttributes = 0;
constexpr int kEventQueryAttributesWildcard = 1;

constexpr std::string_view kQueryAttributesFunction = "QueueManager::QueryAttributes";

// Asks the server for `names` and replaces `values` with its answer. True
// when as many values as names came back. Only a response that cannot be
// read is caught: anything thrown while the names are written passes.
bool QueryAttributesFromServer(InteractionId id, const std::vector<CQmAttributeName>& names,
                               std::vector<CQmAttributeValue>& values) {
  CRequestObject request(requests::InteractionRequestEntity(id), kEventQueryAttributes);
  requests::WriteNameList(request, names);
  try {
    CResponseObject response;
    if (!requests::SendAndWait(request, response, kQueryAttributesFunction)) return false;
    values.clear();
    values = requests::ReadValueList(response);
    if (values.size() == names.size()) return true;
    QM_TRACE_CTX(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
                 W4Trace::CContext(kQueryAttributesFunction, W4Trace::kMessageTypeNormal,
                                   {{1, id.QueryObjectId()}}),
                 "{} (apparent) invalid interaction ID specified", id.QueryObjectId());
    return false;
  } catch (const W4Notifier::CNotifierExtractException& error) {
    requests::TraceRequestError(kQueryAttributesFunction, request.QueryEntityId(),
                                kEventQueryAttributes, error);
    return false;
  }
}

// UTF-8 text as wide text; a null pointer gives the empty text, invalid
// UTF-8 gives nothing.
std::optional<std::u16string> WideFromUtf8(const char* utf8) {
  std::u16string wide;
  if (utf8 != nullptr && !W4Os::NarrowToWide(utf8, wide)) return std::nullopt;
  return wide;
}

void TraceInvalidUtf8(InteractionId id, std::string_view what) {
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, "QueueManager::SetAttribute",
           "{}: the attribute {} is not valid UTF-8; nothing is set", id.QueryObjectId(), what);
}

}  // namespace

bool MoveAndSet(InteractionId id, const std::vector<CEntityId>& removeFrom,
                const CQmAttributeMap& attributes, const std::vector<CEntityId>& addTo,
                const unsigned char* /*data*/, std::uint32_t /*dataLength*/, bool noWait) {
  constexpr std::string_view kFunction = "QueueManager::MoveAndSet";
  if (attributes.empty() && removeFrom.empty() && addTo.empty()) return true;
  // The cache holds what this process set, whatever the server answers.
  if (!attributes.empty()) CQmCache::Instance().SetAttributes(id, attributes);
  CRequestObject request = requests::MoveAndSetRequest(id, removeFrom, attributes, addTo);
  if (noWait) return requests::SendWithoutWaiting(request, kFunction);
  bool done = false;
  return requests::SendAndRead(request, kFunction,
                               [&](const W4Notifier::CMessage& response) { response >> done; }) &&
         done;
}

bool MoveAndSet(InteractionId id, const std::vector<CEntityId>& removeFrom,
                const CQmAttributeMap& attributes, const std::vector<CEntityId>& addTo,
                bool noWait) {
  return MoveAndSet(id, removeFrom, attributes, addTo, nullptr, 0, noWait);
}

void SetAttribute(InteractionId id, const CQmAttributeName& name, const CQmAttributeValue& value) {
  CQmAttributeMap attributes;
  attributes.insert(name, value);
  SetAttributes(id, attributes);
}

void SetAttribute(InteractionId id, const CQmAttributeName& name, const char* utf8) {
  std::optional<std::u16string> value = WideFromUtf8(utf8);
  if (!value) {
    TraceInvalidUtf8(id, "value");
    return;
  }
  SetAttribute(id, name, CQmAttributeValue(std::move(*value)));
}

void SetAttribute(InteractionId id, const char* name, const char* utf8) {
  const std::optional<std::u16string> wideName = WideFromUtf8(name);
  if (!wideName) {
    TraceInvalidUtf8(id, "name");
    return;
  }
  SetAttribute(id, CQmAttributeName(*wideName), utf8);
}

void SetAttributes(InteractionId id, const CQmAttributeMap& attributes) {
  // The answer is dropped: these front ends report nothing.
  MoveAndSet(id, requests::NoEntities(), attributes, requests::NoEntities(), nullptr, 0, false);
}

void SetAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                   const std::vector<CQmAttributeValue>& values) {
  const std::size_t pairs = std::min(names.size(), values.size());
  if (pairs < names.size()) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, "QueueManager::SetAttributes",
             "{}: {} values for {} names; only the first {} names are set", id.QueryObjectId(),
             values.size(), names.size(), pairs);
  }
  CQmAttributeMap attributes;
  attributes.reserve(pairs);
  for (std::size_t i = 0; i < pairs; ++i) attributes.insert(names[i], values[i]);
  SetAttributes(id, attributes);
}

bool QueryAttribute(InteractionId id, const CQmAttributeName& name, CQmAttributeValue& value) {
  // Both answers go through a scratch value, so that a failed query leaves
  // the caller's value as it was.
  CQmAttributeValue cached;
  if (QueryMonitoredAttribute(id, name, cached)) {
    value = std::move(cached);
    return true;
  }
  std::vector<CQmAttributeValue> values;
  if (!QueryAttributesFromServer(id, {name}, values) || values.empty()) return false;
  value = std::move(values.front());
  return true;
}

CQmAttributeValue QueryAttribute(InteractionId id, const CQmAttributeName& name) {
  CQmAttributeValue value;
  if (!QueryAttribute(id, name, value)) return {};
  return value;
}

bool QueryAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                     std::vector<CQmAttributeValue>& values) {
  if (QueryMonitoredAttributes(id, names, values)) return true;
  return QueryAttributesFromServer(id, names, values);
}

bool QueryMonitoredAttribute(InteractionId id, const CQmAttributeName& name,
                             CQmAttributeValue& value) {
  return CQmCache::Instance().QueryAttribute(id, name, value);
}

bool QueryMonitoredAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                              std::vector<CQmAttributeValue>& values) {
  // Emptied first so that no entry of an earlier use stays behind at the
  // position of a name that the cache does not hold.
  values.clear();
  return CQmCache::Instance().QueryAttributes(id, names, values);
}

bool QueryAttributesWildcard(InteractionId id, const std::u16string& pattern,
                             std::vector<CQmAttribute>& attributes) {
  constexpr std::string_view kFunction = "QueueManager::QueryAttributesWildcard";
  attributes.clear();
  CRequestObject request(requests::InteractionRequestEntity(id), kEventQueryAttributesWildcard);
  request << pattern;
  return requests::SendAndRead(request, kFunction, [&](const W4Notifier::CMessage& response) {
    attributes = requests::ReadAttributeList(response);
  });
}

}  // namespace QueueManager
