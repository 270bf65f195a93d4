// The reference deployment (deploy/nats): TLS with client certificates,
// passwords, and permissions that keep each client to its own subjects,
// against a nats-server of the test's own and a bridged scripted server;
// and the other ways of authenticating, nkeys and credentials files.

#include <gtest/gtest.h>

#include <nats/nats.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "platform/nats/NKeys.h"
#include "platform/nats/NatsServerProcess.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace W4Notifier::testing {
namespace {
namespace fs = std::filesystem;

const CEntityId kServerEntity(eQueueManagerServer, kAllObjects);
const CEntityId kControlEntity(kControlObjectType, kAllObjects);
const CEntityId kQueue(eWorkgroupQueue, 3u);

// Connects with `options`: fails unless it throws exactly when `error` is
// given, saying `error` and not `secret`.
void ExpectConnect(const CNatsOptions& options, const char* error, const std::string& secret) {
  try {
    auto connection = ConnectNats(options);
    EXPECT_EQ(error, nullptr);
  } catch (const CNotifierException& thrown) {
    ASSERT_NE(error, nullptr) << thrown.what();
    EXPECT_NE(std::string(thrown.what()).find(error), std::string::npos) << thrown.what();
    EXPECT_EQ(std::string(thrown.what()).find(secret), std::string::npos) << thrown.what();
  }
}

class NatsDeploymentTest : public ::testing::Test {
 protected:
  // The certificates (slow to make) serve every test.
  static void SetUpTestSuite() {
    if (NatsServerProcess::FindProgram().empty() ||
        std::system("openssl version > /dev/null 2>&1") != 0)
      return;
    char pattern[] = "/tmp/qm-deploy-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    const fs::path deploy = QM_NATS_DEPLOY_DIR;
    const std::string certs = (dir_ / "certs").string();
    for (const std::string& command :
         {(deploy / "make-certs.sh").string() + " " + certs + " server client1",
          (deploy / "make-certs.sh").string() + " " + (dir_ / "other").string() + " client1",
          "sed -e s/@ROOT@/qm/g -e 's|@CERT_DIR@|" + certs + "|g' " +
              (deploy / "qm-nats.conf.in").string() + " > " + (dir_ / "qm-nats.conf").string()}) {
      if (std::system(command.c_str()) != 0) return TearDownTestSuite();
    }
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
    dir_.clear();
  }
  void SetUp() override {
    if (dir_.empty()) GTEST_SKIP() << "nats-server or openssl is not installed";
    server_.UseConfig((dir_ / "qm-nats.conf").string(),
                      {"QM_SERVER_PASSWORD=s-pass", "QM_OPERATOR_PASSWORD=o-pass",
                       "QM_CLIENT1_PASSWORD=c1-pass", "QM_CLIENT2_PASSWORD=c2-pass"});
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
  }

  // The options of `user` (also its client token), with the certificate of
  // `certificate` (server or client1: the test makes only those).
  CNatsOptions Options(const std::string& user, const std::string& password,
                       const std::string& certificate = "client1") const {
    CNatsOptions options;
    options.urls = {server_.Url()};
    options.root = "qm";
    options.client = user;
    options.user = user;
    options.password = password;
    options.caFile = (dir_ / "certs" / "ca.pem").string();
    options.certFile = (dir_ / "certs" / (certificate + "-cert.pem")).string();
    options.keyFile = (dir_ / "certs" / (certificate + "-key.pem")).string();
    return options;
  }

  // A plain libnats connection of a client that writes what it likes.
  natsConnection* RawConnect(const std::string& user, const std::string& password) const {
    natsOptions* opts = nullptr;
    natsConnection* connection = nullptr;
    const CNatsOptions options = Options(user, password);
    natsOptions_Create(&opts);
    natsOptions_SetURL(opts, server_.Url().c_str());
    natsOptions_SetSecure(opts, true);
    natsOptions_LoadCATrustedCertificates(opts, options.caFile.c_str());
    natsOptions_LoadCertificatesChain(opts, options.certFile.c_str(), options.keyFile.c_str());
    natsOptions_SetUserInfo(opts, user.c_str(), password.c_str());
    EXPECT_EQ(natsConnection_Connect(&connection, opts), NATS_OK);
    natsOptions_Destroy(opts);
    return connection;
  }

  static inline fs::path dir_;
  NatsServerProcess server_;
};

TEST_F(NatsDeploymentTest, OnlyAuthenticatedConnectionsWithACertificateOfTheCaGetIn) {
  const struct {
    const char* what;
    std::function<void(CNatsOptions&)> change;
    const char* error;  // in the exception; null: connects
  } rows[] = {
      {"as configured", [](CNatsOptions&) {}, nullptr},
      {"checked against the host name", [](CNatsOptions& o) { o.tlsHost = "localhost"; }, nullptr},
      {"credentials in the URL",
       [&](CNatsOptions& o) {
         o.user.clear(), o.password.clear();
         o.urls = {"tls://client1:c1-pass@" + server_.Url().substr(6)};
       },
       nullptr},
      {"no password", [](CNatsOptions& o) { o.user.clear(), o.password.clear(); }, "uthoriz"},
      {"a wrong password", [](CNatsOptions& o) { o.password = "guess"; }, "uthoriz"},
      {"no client certificate", [](CNatsOptions& o) { o.certFile.clear(), o.keyFile.clear(); },
       "cannot connect"},
      {"another host name", [](CNatsOptions& o) { o.tlsHost = "elsewhere"; }, "cannot connect"},
      {"another CA", [&](CNatsOptions& o) { o.caFile = (dir_ / "other" / "ca.pem").string(); },
       "unable to get local issuer certificate"},
      {"a CA file that is missing",
       [&](CNatsOptions& o) { o.caFile = (dir_ / "missing.pem").string(); }, "CA file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    CNatsOptions options = Options("client1", "c1-pass");
    row.change(options);
    ExpectConnect(options, row.error, "c1-pass");
  }
}

// A client (client1) that writes what it likes can neither act as the
// server, nor read or redirect another client's (client2's) answers, nor
// drive the control entity; the operator can.
TEST_F(NatsDeploymentTest, AClientKeepsToItsOwnSubjects) {
  auto bus = CInProcessBus::Create();
  CScriptedServer scripted(bus);
  CMessage answer;
  answer << std::int32_t{42};
  scripted.Respond(kServerEntity, 16, answer);
  scripted.Respond(kControlEntity, 1, answer);
  CNatsBusBridge bridge(Options("server", "s-pass", "server"), "server", bus);

  auto operatorConnection = ConnectNats(Options("operator", "o-pass"));
  auto client2 = ConnectNats(Options("client2", "c2-pass"));
  CMessage response;
  EXPECT_EQ(operatorConnection->SendRequest(CRequestObject(kControlEntity, 1), &response, 5000),
            eSendStatus::kSuccess);
  EXPECT_NE(client2->SendRequest(CRequestObject(kControlEntity, 1), &response, 300),
            eSendStatus::kSuccess);
  CallbackLog notifications;
  ASSERT_EQ(client2->StartNotifications(kQueue, 5, &notifications, 0), eMsgSuccess);

  natsConnection* rogue = RawConnect("client1", "c1-pass");
  ASSERT_NE(rogue, nullptr);
  // What the rogue listens to: others' requests (to answer them first with
  // a rejection), others' inboxes, and its own.
  const char* listened[] = {"qm.r.>", "qm.c.>", "qm.i.client2.>", "qm.i.>", "qm.i.client1.>"};
  std::vector<natsSubscription*> subscriptions;
  for (const char* subject : listened) {
    subscriptions.emplace_back();
    natsConnection_SubscribeSync(&subscriptions.back(), rogue, subject);
  }
  const std::vector<std::uint8_t> request = CRequestObject(kServerEntity, 16).Serialize();
  const std::vector<std::uint8_t> control = CRequestObject(kControlEntity, 1).Serialize();
  CMessage fake;
  fake << std::int32_t{666};
  const std::vector<std::uint8_t> notification = fake.Serialize();
  const struct {
    const char* subject;
    const char* reply;
    const std::vector<std::uint8_t>& body;
  } published[] = {
      {"qm.n.3.3.5._", nullptr, notification},                           // a notification
      {"qm.r.client1.29.4294967295.16", "qm.i.client2.x.1", request},    // into client2's inbox
      {"qm.r.client2.29.4294967295.16", "qm.i.client1.x.2", request},    // as client2
      {"qm.c.client1.32333.4294967295.1", "qm.i.client1.x.3", control},  // the control entity
      {"qm.r.client1.29.4294967295.16", "qm.i.client1.x.4", request},    // its own: answered
  };
  for (const auto& row : published) {
    natsConnection_PublishRequest(rogue, row.subject, row.reply, row.body.data(),
                                  static_cast<int>(row.body.size()));
  }
  natsConnection_Flush(rogue);
  // client2's traffic meanwhile is answered by the server, never the rogue.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client2->SendRequest(CRequestObject(kServerEntity, 16), &response, 5000),
              eSendStatus::kSuccess);
  }
  CMessage real;
  real << std::int32_t{7};
  ASSERT_EQ(scripted.Publish(kQueue, 5, real), eMsgSuccess);
  ASSERT_TRUE(QueueManager::testing::Eventually([&] { return !notifications.Values().empty(); }));
  natsMsg* msg = nullptr;
  ASSERT_EQ(natsSubscription_NextMsg(&msg, subscriptions.back(), 5000), NATS_OK);
  EXPECT_STREQ(natsMsg_GetSubject(msg), "qm.i.client1.x.4");
  natsMsg_Destroy(msg);
  natsConnection_Flush(rogue);
  for (std::size_t i = 0; i < subscriptions.size(); ++i) {
    int pending = 0;
    natsSubscription_GetPending(subscriptions[i], &pending, nullptr);
    EXPECT_EQ(pending, 0) << listened[i];
    natsSubscription_Destroy(subscriptions[i]);
  }
  natsConnection_Destroy(rogue);
  client2->StopAllMessages(&notifications);
  EXPECT_EQ(notifications.Values(), std::vector<std::int32_t>{7});
}

// Authentication by nkey, and by credentials file (operator, account and
// user JWTs), against servers that accept one user.
TEST(NatsIdentityTest, OnlyTheHolderOfTheRightSeedGetsIn) {
  if (NatsServerProcess::FindProgram().empty()) GTEST_SKIP() << "nats-server is not installed";
  char pattern[] = "/tmp/qm-nkeys-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const auto file = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
    return (dir / name).string();
  };
  const NKey user('U'), stranger('U'), operatorKey('O'), account('A'), otherAccount('A');
  const std::string userClaims =
      R"("pub":{},"sub":{},"subs":-1,"data":-1,"payload":-1,"type":"user")";
  const std::string accountJwt = MintJwt(
      operatorKey, account.Public(),
      R"("limits":{"subs":-1,"data":-1,"payload":-1,"imports":-1,"exports":-1,"wildcards":true,)"
      R"("conn":-1,"leaf":-1},"default_permissions":{"pub":{},"sub":{}},"type":"account")");
  NatsServerProcess servers[2];
  servers[0].UseConfig(
      file("nkey.conf", "authorization { users = [ { nkey: " + user.Public() + " } ] }\n"), {});
  servers[1].UseConfig(
      file("operator.conf",
           "operator: " + MintJwt(operatorKey, operatorKey.Public(), R"("type":"operator")") +
               "\nresolver: MEMORY\nresolver_preload: { " + account.Public() + ": " + accountJwt +
               " }\n"),
      {});
  for (NatsServerProcess& server : servers) QM_START_NATS_OR_SKIP(server);

  const std::string seed = file("user.seed", user.Seed() + "\n");
  const std::string strangerSeed = file("stranger.seed", stranger.Seed());
  const std::string badSeed = file("bad.seed", "SUAAAA\n");
  const auto credentials = [&](const char* name, const NKey& signer, const NKey& holder) {
    return file(name, CredentialsText(MintJwt(signer, user.Public(), userClaims), holder));
  };
  const std::string creds = credentials("user.creds", account, user);
  const std::string stolen = credentials("stolen.creds", account, stranger);
  const std::string forged = credentials("forged.creds", otherAccount, user);
  const std::string missing = (dir / "missing.creds").string();
  const struct {
    const char* what;
    int server;
    std::string nkey, seedFile, credentials;
    const char* error;  // in the exception; null: connects
  } rows[] = {
      {"the user's nkey and seed", 0, user.Public(), seed, {}, nullptr},
      {"another seed", 0, user.Public(), strangerSeed, {}, "uthoriz"},
      {"another user's nkey and seed", 0, stranger.Public(), strangerSeed, {}, "uthoriz"},
      {"a seed file that holds no seed", 0, user.Public(), badSeed, {}, "invalid encoded key"},
      {"no nkey", 0, {}, {}, {}, "uthoriz"},
      {"the user's credentials", 1, {}, {}, creds, nullptr},
      {"the user's JWT with another seed", 1, {}, {}, stolen, "uthoriz"},
      {"a JWT of an account the operator did not sign", 1, {}, {}, forged, "uthoriz"},
      {"a credentials file that is missing", 1, {}, {}, missing, "missing.creds"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    CNatsOptions options;
    options.urls = {servers[row.server].Url()};
    options.root = "qm";
    options.nkeyPublic = row.nkey;
    options.nkeySeedFile = row.seedFile;
    options.credentialsFile = row.credentials;
    ExpectConnect(options, row.error, user.Seed());
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace W4Notifier::testing
