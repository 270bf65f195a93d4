#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"

namespace W4Notifier::testing {

// A private bus with a scripted server and one connection installed as the
// default connection.
class NotifierFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CNotifierTimeout::Set(2000);
    bus_ = CInProcessBus::Create();
    server_ = std::make_unique<CScriptedServer>(bus_);
    connection_ = bus_->Connect();
    SetDefaultConnection(connection_);
  }
  void TearDown() override {
    SetDefaultConnection(nullptr);
    connection_.reset();
    server_.reset();
    CNotifierTimeout::Set(CNotifierTimeout::kDefaultMs);
  }

  std::shared_ptr<CInProcessBus> bus_;
  std::unique_ptr<CScriptedServer> server_;
  std::shared_ptr<CInProcessConnection> connection_;
};

// Records the notifications it receives. Thread-safe.
class RecordingSubscriber : public IMessageCallback {
 public:
  void OnMessageReceived(CMessage& message) override {
    std::int32_t value = -1;
    if (!message.IsAtEndOfData() && message.PeekFieldType() == FieldType::kInt32) message >> value;
    std::lock_guard lock(mutex_);
    values_.push_back(value);
    entities_.push_back(message.QueryEntityId());
  }
  void OnConnectionRenegotiated() override { ++renegotiations; }

  std::vector<std::int32_t> Values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::vector<CEntityId> Entities() const {
    std::lock_guard lock(mutex_);
    return entities_;
  }
  std::atomic<int> renegotiations{0};

 private:
  mutable std::mutex mutex_;
  std::vector<std::int32_t> values_;
  std::vector<CEntityId> entities_;
};

inline CMessage Ints(std::initializer_list<std::int32_t> values) {
  CMessage m;
  for (std::int32_t v : values) m << v;
  return m;
}

}  // namespace W4Notifier::testing
