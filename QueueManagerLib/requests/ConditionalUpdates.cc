// Conditional and arithmetic attribute updates. The server computes the new
// value; the synchronous forms write what it reports into the monitor cache,
// also when it reports that nothing was done, since the value it sends back
// is the one in force either way.

#include "QueueManager/ConditionalUpdates.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Trace.h"
#include "monitor/QmCache.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using W4Notifier::CRequestObject;

// Events of the interaction request entity.
constexpr int kEventAppend = 3;
constexpr int kEventInsert = 4;
constexpr int kEventConditionalSet = 9;
constexpr int kEventIncrement = 10;
constexpr int kEventMask = 11;
constexpr int kEventRemove = 12;
constexpr int kEventConditionalSetList = 13;
constexpr int kEventConditionalSettings = 14;

CRequestObject Request(InteractionId id, int eventId) {
  return CRequestObject(requests::InteractionRequestEntity(id), eventId);
}

// A name followed by one value: the fields of the single-attribute requests.
CRequestObject NameAndValue(InteractionId id, int eventId, const CQmAttributeName& name,
                            const CQmAttributeValue& value) {
  CRequestObject request = Request(id, eventId);
  name.Write(request);
  requests::WriteValue(request, value);
  return request;
}

CRequestObject ConditionalSet(InteractionId id, const CQmAttributeName& name,
                              const CQmAttributeValue& first, const CQmAttributeValue& second) {
  CRequestObject request = NameAndValue(id, kEventConditionalSet, name, first);
  requests::WriteValue(request, second);
  return request;
}

CRequestObject Increment(InteractionId id, const CQmAttributeName& name, int increment) {
  CRequestObject request = Request(id, kEventIncrement);
  name.Write(request);
  request << static_cast<std::int32_t>(increment);
  return request;
}

CRequestObject Mask(InteractionId id, const CQmAttributeName& name, std::uint32_t firstMask,
                    std::uint32_t secondMask) {
  CRequestObject request = Request(id, kEventMask);
  name.Write(request);
  request << firstMask << secondMask;
  return request;
}

CRequestObject ConditionalSettings(InteractionId id,
                                   const std::vector<SetAttributeConditionally>& settings,
                                   bool flag) {
  CRequestObject request = Request(id, kEventConditionalSettings);
  // size_t writes an unsigned int field, and throws rather than cut it.
  request << flag << settings.size();
  for (const SetAttributeConditionally& setting : settings) setting.write(request);
  return request;
}

// The list form sends nothing for an unset interaction or lists that do not
// pair up: the server would otherwise pair names and values as it likes.
bool ValidConditionalSetList(InteractionId id, std::size_t names, std::size_t firsts,
                             std::size_t seconds) {
  if (id.IsSet() && names == firsts && names == seconds) return true;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning,
           "QueueManager::ConditionallySetAttributes",
           "{}: {} names, {} first and {} second values; nothing is sent", id.QueryObjectId(),
           names, firsts, seconds);
  return false;
}

CRequestObject ConditionalSetList(InteractionId id, const std::vector<CQmAttributeName>& names,
                                  const std::vector<CQmAttributeValue>& firsts,
                                  const std::vector<CQmAttributeValue>& seconds, bool flag) {
  CRequestObject request = Request(id, kEventConditionalSetList);
  requests::WriteNameList(request, names);
  requests::WriteValueList(request, firsts);
  requests::WriteValueList(request, seconds);
  request << flag;
  return request;
}

// Sends a single-attribute element edit and writes the value now in force,
// the whole answer, into the cache.
void EditElements(InteractionId id, CRequestObject& request, const CQmAttributeName& name,
                  std::string_view function) {
  CQmAttributeValue current;
  const auto read = [&](const CMessage& response) { current = requests::ReadValue(response); };
  if (!requests::SendAndRead(request, function, read)) return;
  CQmCache::Instance().SetAttribute(id, name, current);
}

// Sends an arithmetic change, whose answer is the verdict and the new number,
// and writes the number, as its decimal text, into the cache.
template <class Number>
bool ChangeNumber(InteractionId id, CRequestObject& request, const CQmAttributeName& name,
                  std::string_view function, Number& newValue) {
  bool done = false;
  Number value = 0;
  const auto read = [&](const CMessage& response) { response >> done >> value; };
  if (!requests::SendAndRead(request, function, read)) return false;
  CQmCache::Instance().SetAttribute(id, name, CQmAttributeValue(value));
  newValue = value;
  return done;
}

}  // namespace

void ConditionallySetAttribute(InteractionId id, const CQmAttributeName& name,
                               const CQmAttributeValue& first, const CQmAttributeValue& second) {
  CRequestObject request = ConditionalSet(id, name, first, second);
  requests::SendWithoutWaiting(request, "QueueManager::ConditionallySetAttribute");
}

bool ConditionallySetAttribute(InteractionId id, const CQmAttributeName& name,
                               const CQmAttributeValue& first, const CQmAttributeValue& second,
                               CQmAttributeValue& current) {
  CRequestObject request = ConditionalSet(id, name, first, second);
  bool done = false;
  CQmAttributeValue value;
  const auto read = [&](const CMessage& response) {
    response >> done;
    value = requests::ReadValue(response);
  };
  if (!requests::SendAndRead(request, "QueueManager::ConditionallySetAttribute", read)) {
    return false;
  }
  CQmCache::Instance().SetAttribute(id, name, value);
  current = std::move(value);
  return done;
}

void ConditionallySetAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                                const std::vector<CQmAttributeValue>& firsts,
                                const std::vector<CQmAttributeValue>& seconds, bool flag) {
  if (!ValidConditionalSetList(id, names.size(), firsts.size(), seconds.size())) return;
  CRequestObject request = ConditionalSetList(id, names, firsts, seconds, flag);
  requests::SendWithoutWaiting(request, "QueueManager::ConditionallySetAttributes");
}

bool ConditionallySetAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                                const std::vector<CQmAttributeValue>& firsts,
                                const std::vector<CQmAttributeValue>& seconds,
                                CQmAttributeMap& result, bool flag) {
  if (!ValidConditionalSetList(id, names.size(), firsts.size(), seconds.size())) return false;
  CRequestObject request = ConditionalSetList(id, names, firsts, seconds, flag);
  bool done = false;
  CQmAttributeMap attributes;
  const auto read = [&](const CMessage& response) {
    response >> done;
    attributes.Read(response);
  };
  if (!requests::SendAndRead(request, "QueueManager::ConditionallySetAttributes", read)) {
    return false;
  }
  CQmCache::Instance().SetAttributes(id, attributes);
  result = std::move(attributes);
  return done;
}

bool SyncConditionallySetAttributes(InteractionId id,
                                    const std::vector<SetAttributeConditionally>& settings,
                                    bool flag, std::vector<CQmAttributeValue>& values) {
  CRequestObject request = ConditionalSettings(id, settings, flag);
  bool done = false;
  std::vector<CQmAttributeValue> received;
  const auto read = [&](const CMessage& response) {
    response >> done;
    received = requests::ReadValueList(response);
  };
  if (!requests::SendAndRead(request, "QueueManager::SyncConditionallySetAttributes", read)) {
    return false;
  }
  // Only the settings that the answer covers have a value to write.
  const std::size_t covered = std::min(settings.size(), received.size());
  for (std::size_t i = 0; i < covered; ++i) {
    CQmCache::Instance().SetAttribute(id, settings[i].query_attribute_name(), received[i]);
  }
  values = std::move(received);
  return done;
}

void AsyncConditionallySetAttributes(InteractionId id,
                                     const std::vector<SetAttributeConditionally>& settings,
                                     bool flag) {
  CRequestObject request = ConditionalSettings(id, settings, flag);
  requests::SendWithoutWaiting(request, "QueueManager::AsyncConditionallySetAttributes");
}

void IncrementAttribute(InteractionId id, const CQmAttributeName& name, int increment) {
  CRequestObject request = Increment(id, name, increment);
  requests::SendWithoutWaiting(request, "QueueManager::IncrementAttribute");
}

bool IncrementAttribute(InteractionId id, const CQmAttributeName& name, int increment,
                        int& newValue) {
  CRequestObject request = Increment(id, name, increment);
  return ChangeNumber(id, request, name, "QueueManager::IncrementAttribute", newValue);
}

void MaskAttribute(InteractionId id, const CQmAttributeName& name, std::uint32_t firstMask,
                   std::uint32_t secondMask) {
  CRequestObject request = Mask(id, name, firstMask, secondMask);
  requests::SendWithoutWaiting(request, "QueueManager::MaskAttribute");
}

bool MaskAttribute(InteractionId id, const CQmAttributeName& name, std::uint32_t firstMask,
                   std::uint32_t secondMask, std::uint32_t& newValue) {
  CRequestObject request = Mask(id, name, firstMask, secondMask);
  return ChangeNumber(id, request, name, "QueueManager::MaskAttribute", newValue);
}

void AppendAttribute(InteractionId id, const CQmAttributeName& name, const CQmAttributeValue& value,
                     const std::u16string& separator) {
  CRequestObject request = NameAndValue(id, kEventAppend, name, value);
  request << separator;
  EditElements(id, request, name, "QueueManager::AppendAttribute");
}

void InsertAttribute(InteractionId id, const CQmAttributeName& name,
                     const CQmAttributeValue& value) {
  CRequestObject request = NameAndValue(id, kEventInsert, name, value);
  EditElements(id, request, name, "QueueManager::InsertAttribute");
}

void RemoveAttribute(InteractionId id, const CQmAttributeName& name,
                     const CQmAttributeValue& value) {
  CRequestObject request = NameAndValue(id, kEventRemove, name, value);
  EditElements(id, request, name, "QueueManager::RemoveAttribute");
}

}  // namespace QueueManager
