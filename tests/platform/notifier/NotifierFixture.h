#pragma once

#include <gtest/gtest.h>

#include <memory>

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

inline CMessage Ints(std::initializer_list<std::int32_t> values) {
  CMessage m;
  for (std::int32_t v : values) m << v;
  return m;
}

}  // namespace W4Notifier::testing
