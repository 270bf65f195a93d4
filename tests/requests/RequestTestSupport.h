#pragma once

// Shared support of the request protocol tests: a scripted server on a
// private bus as the default connection, the library's failure and warning
// traces captured, and builders of response bodies.

#include <gmock/gmock.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Trace.h"
#include "monitor/CacheTestSupport.h"
#include "platform/notifier/NotifierFixture.h"

namespace QueueManager::testing {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

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

inline std::vector<std::u16string> Texts(const std::vector<CQmAttributeValue>& values) {
  std::vector<std::u16string> texts;
  for (const CQmAttributeValue& value : values) texts.push_back(value.QueryString());
  return texts;
}

class RequestTest : public W4Notifier::testing::NotifierFixture {
 protected:
  void SetUp() override {
    NotifierFixture::SetUp();
    savedLevel_ = W4Trace::QueueManagerTopic().Level();
    W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelWarning);
    W4Trace::AddSink(traces_);
  }
  void TearDown() override {
    W4Trace::RemoveSink(traces_);
    W4Trace::QueueManagerTopic().SetLevel(savedLevel_);
    NotifierFixture::TearDown();  // restores the default time-out
  }

  // For tests of silence: requests give up quickly.
  static void UseShortTimeout() { W4Notifier::CNotifierTimeout::Set(100); }
  static void RemoveConnection() { W4Notifier::SetDefaultConnection(nullptr); }

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
    for (const W4Notifier::CTrafficRecord& record : server_->Traffic()) {
      if (record.kind == W4Notifier::IBusObserver::eTraffic::kRequest) awaited.push_back(true);
      if (record.kind == W4Notifier::IBusObserver::eTraffic::kOneWayRequest) {
        awaited.push_back(false);
      }
    }
    return awaited;
  }
  std::size_t TracesAt(int level) const {
    return traces_->Count([level](const W4Trace::CTraceRecord& r) { return r.level == level; });
  }

  std::shared_ptr<W4Trace::CCaptureSink> traces_ =
      std::make_shared<W4Trace::CCaptureSink>("QueueManager");

 private:
  int savedLevel_ = W4Trace::kLevelOff;
};

}  // namespace QueueManager::testing
