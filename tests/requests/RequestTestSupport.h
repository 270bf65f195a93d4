#pragma once

// Shared support of the request protocol tests: a scripted server on a
// private bus as the default connection, the library's failure and warning
// traces captured, builders of response bodies, and queues that a monitor of
// this process watches, so that the monitor cache holds their interactions,
// attributes and statistics.

#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeValue.h"
#include "monitor/CacheTestSupport.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager::testing {

inline CEntityId InteractionEntity(std::uint32_t id) {
  return CEntityId(W4Notifier::eInteractionRequest, id);
}

// A message body of the given fields, in order.
template <class... Fields>
CMessage Body(const Fields&... fields) {
  CMessage body;
  (body << ... << fields);
  return body;
}

// A value list as the server sends it: int count, then wide strings.
inline CMessage ValueList(const std::vector<std::u16string>& values) {
  CMessage body;
  body << static_cast<std::int32_t>(values.size());
  for (const std::u16string& value : values) body << value;
  return body;
}

inline CQmAttributeMap Attributes(
    std::initializer_list<std::pair<CQmAttributeName, const char16_t*>> list) {
  CQmAttributeMap map;
  for (const auto& [name, value] : list) map.insert(name, CQmAttributeValue(value));
  return map;
}

inline std::vector<std::u16string> Texts(const std::vector<CQmAttributeValue>& values) {
  std::vector<std::u16string> texts;
  for (const CQmAttributeValue& value : values) texts.push_back(value.QueryString());
  return texts;
}

class RequestTest : public MonitorCacheTest {
 protected:
  // Has `monitor` watch `queue`: loaded synchronously from an answer that
  // holds `body` and registers `names`; the traffic is forgotten.
  void Watch(CQmQueueMonitor& monitor, const CEntityId& queue,
             const std::vector<CQmAttributeName>& names, QueueBody body) {
    ServeQueue(queue, std::move(body), names);
    monitor.Activate(queue, names, true);
    server_->WaitIdle();
    server_->ClearTraffic();
  }
  // For tests of silence: requests give up quickly.
  static void UseShortTimeout() { W4Notifier::CNotifierTimeout::Set(100); }
  static void RemoveConnection() { W4Notifier::SetDefaultConnection(nullptr); }

  // Runs `check` once for each way the server can fail the requests to
  // (target, each of `events`): it rejects `good` (an answer that would
  // succeed), stays silent, answers nothing, answers a text where a number
  // is due, has no rule; and last, with no connection at all.
  void ForEachFailure(const CEntityId& target, std::initializer_list<int> events,
                      const CMessage& good, const std::function<void()>& check) {
    UseShortTimeout();
    const std::pair<const char*, std::function<void(int)>> scripts[] = {
        {"rejected", [&](int event) { server_->Reject(target, event, good); }},
        {"silent", [&](int event) { server_->Silence(target, event); }},
        {"empty answer", [&](int event) { server_->Respond(target, event); }},
        {"answer of another type", [&](int event) { server_->Respond(target, event, Body(u"x")); }},
        {"unscripted", [&](int) { server_->ClearRules(); }},
        {"no connection", [](int) { RemoveConnection(); }},
    };
    for (const auto& [label, script] : scripts) {
      SCOPED_TRACE(label);
      for (int event : events) script(event);
      check();
    }
  }

  // The fields of each request to (target, event), once all traffic is in.
  std::vector<std::string> SentFields(const CEntityId& target, int eventId) const {
    server_->WaitIdle();
    std::vector<std::string> fields;
    for (const CMessage& request : server_->RequestsTo(target, eventId)) {
      fields.push_back(request.DescribeFields());
    }
    return fields;
  }
  // Every request of any kind that reached the server.
  std::size_t RequestCount() const {
    server_->WaitIdle();
    return server_->Requests().size();
  }
  // Whether the requests seen so far waited for an answer (true) or were
  // sent one way (false), in order.
  std::vector<bool> RequestsAwaited() const {
    server_->WaitIdle();
    std::vector<bool> awaited;
    using Kind = W4Notifier::IBusObserver::eTraffic;
    for (const W4Notifier::CTrafficRecord& record : server_->Traffic()) {
      if (record.kind == Kind::kRequest || record.kind == Kind::kOneWayRequest) {
        awaited.push_back(record.kind == Kind::kRequest);
      }
    }
    return awaited;
  }
  std::size_t TracesAt(int level) const {
    return traces_->Count([level](const W4Trace::CTraceRecord& r) { return r.level == level; });
  }

  const W4Trace::testing::TraceCapture traces_{W4Trace::kLevelWarning};
};

}  // namespace QueueManager::testing
