#pragma once

// What the NATS benchmarks share: one nats-server of their own for the whole
// run, and plain libnats connections for the baselines they measure against.

#include <nats/nats.h>

#include <memory>
#include <string>

#include "QueueManager/Platform/NatsNotifier.h"
#include "platform/nats/NatsServerProcess.h"

namespace bench {

// The URL of one nats-server (a child process on a free loopback port)
// started at the first call and stopped, its files removed, when the
// program ends; null when it cannot run, with the reason in `error`.
inline const std::string* SharedNatsServerUrl(std::string& error) {
  struct SharedServer {
    W4Notifier::testing::NatsServerProcess process;
    std::string error;  // why it does not run; empty when it does
  };
  static SharedServer server;
  static const bool started = server.process.Start(server.error);
  error = server.error;
  return started ? &server.process.Url() : nullptr;
}

// The transport's options for the shared server under `root`.
inline W4Notifier::CNatsOptions NatsOptions(const std::string& url, const char* root) {
  W4Notifier::CNatsOptions options;
  options.urls = {url};
  options.root = root;
  return options;
}

struct RawConnectionDeleter {
  void operator()(natsConnection* connection) const { natsConnection_Destroy(connection); }
};
using RawConnection = std::unique_ptr<natsConnection, RawConnectionDeleter>;

// A plain libnats connection, with libnats's defaults but for `sendAsap`.
inline RawConnection RawConnect(const std::string& url, bool sendAsap) {
  natsOptions* opts = nullptr;
  natsConnection* connection = nullptr;
  if (natsOptions_Create(&opts) != NATS_OK) return nullptr;
  if (natsOptions_SetURL(opts, url.c_str()) == NATS_OK &&
      natsOptions_SetSendAsap(opts, sendAsap) == NATS_OK) {
    natsConnection_Connect(&connection, opts);
  }
  natsOptions_Destroy(opts);
  return RawConnection(connection);
}

struct RawSubscriptionDeleter {
  void operator()(natsSubscription* subscription) const {
    natsSubscription_Unsubscribe(subscription);
    natsSubscription_Destroy(subscription);
  }
};
using RawSubscription = std::unique_ptr<natsSubscription, RawSubscriptionDeleter>;

}  // namespace bench
