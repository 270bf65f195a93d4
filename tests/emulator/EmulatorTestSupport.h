#pragma once

// The fixture of the end-to-end tests: a server emulator on its own bus, and
// the library's default connection to it, on the bus or over NATS (see
// TestTransport).

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/QueueManager.h"
#include "emulator/TestTransport.h"
#include "requests/RequestTestSupport.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {

using ::testing::ElementsAre;
using W4Notifier::CEntityId;
using Seed = std::vector<std::pair<const char16_t*, const char16_t*>>;

const CEntityId kSales(W4Notifier::eWorkgroupQueue, 1);
const CEntityId kSupport(W4Notifier::eWorkgroupQueue, 2);
constexpr auto kCall = static_cast<W4Notifier::ObjectTypes>(6);
constexpr auto kChat = static_cast<W4Notifier::ObjectTypes>(7);
const CQmAttributeName kState(u"Xan_State");
const CQmAttributeName kCustom(u"Custom");

inline CQmAttributeValue V(const char16_t* text) { return CQmAttributeValue(text); }

inline CQmAttributeMap MapOf(const Seed& seed) {
  CQmAttributeMap map;
  for (const auto& [name, value] : seed) map.insert(CQmAttributeName(name), value);
  return map;
}

// Collects the emulator's wire log into `lines`.
inline WireLogSink SinkTo(testing::WaitableLog& lines) {
  return [&lines](std::string_view line) { lines.Add(std::string(line)); };
}

class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::Cache().ResetForTesting();
    emulator_ = std::make_unique<CEmulator>(bus_);
    std::string skip;
    if (!transport_.Start(skip)) GTEST_SKIP() << skip;
    library_ = transport_.Library();
    W4Notifier::SetDefaultConnection(library_);
  }
  void TearDown() override {
    W4Notifier::SetDefaultConnection(nullptr);
    testing::Cache().ResetForTesting();
  }
  std::u16string Value(std::uint32_t id, const CQmAttributeName& name) const {
    return emulator_->Interaction(id)->attributes.Query(name).QueryString();
  }
  std::uint32_t Add(const Seed& seed, std::vector<CEntityId> queues = {kSales}) {
    return emulator_->AddInteraction(kCall, MapOf(seed), queues);
  }
  // Every notification published so far has reached the library's
  // subscribers (and those of `connection_`).
  void Sync() { transport_.Sync(); }
  // The handle the emulator knows the library's connection by.
  std::uint16_t LibraryHandle() { return transport_.Sync(); }

  std::shared_ptr<W4Notifier::CInProcessBus> bus_ = W4Notifier::CInProcessBus::Create();
  // On the bus whatever the transport: the test's own traffic that needs no
  // library (observers of its own, hand-made requests).
  std::shared_ptr<W4Notifier::CInProcessConnection> connection_ = bus_->Connect();
  std::unique_ptr<CEmulator> emulator_;
  TestTransport transport_{bus_, connection_};
  // The library's default connection.
  std::shared_ptr<W4Notifier::CNotifierConnection> library_;
};

}  // namespace QueueManager::Emulator
