// The wallboard against a contact-centre run: what its stream told, and what
// a real browser rendered from it, equal the emulator's final state; and a
// server that refuses what it does not serve and keeps its bounds.

#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "FinalCheck.h"
#include "WallboardServer.h"
#include "support/Waits.h"

namespace {

using namespace ContactCentre;
using QueueManager::testing::Eventually;
using Wallboard::EventHub;

// Reads the event stream into the state it describes, as the page does;
// drops its connection once mid-run, to come back through a snapshot.
class StreamReader {
 public:
  explicit StreamReader(int port)
      : thread_([this, port] {
          httplib::Client client("127.0.0.1", port);
          while (!stop_) {
            std::string buffer;
            bool first = true;
            client.Get("/events", [&](const char* data, std::size_t length) {
              buffer.append(data, length);
              for (std::size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
                Apply(buffer.substr(0, end), first);
                buffer.erase(0, end + 2);
              }
              // A chunk can carry several events, so the count may pass 3 within one.
              return !stop_ && !(changes_ >= 3 && !dropped_.exchange(true));
            });
          }
        }) {}
  ~StreamReader() {
    stop_ = true;
    thread_.join();
  }

  // The state told, as the final check compares it.
  Snapshot Told() const {
    std::lock_guard lock(mutex_);
    Snapshot told;
    for (const auto& [name, q] : queues_) {
      for (const Json::Value& id : q["ids"]) {
        told.contents[name].push_back(id.asUInt());
        for (const std::string& key : interactions_.at(id.asUInt())["attributes"].getMemberNames())
          told.attributes[id.asUInt()][key] =
              interactions_.at(id.asUInt())["attributes"][key].asString();
      }
      told.contents[name];
      told.counts[name] =
          CountsText(q["alerting"].asUInt(), q["connected"].asUInt(), q["held"].asUInt(),
                     q["messaging"].asUInt(), q["disconnected"].asUInt(), q["system"].asUInt());
    }
    return told;
  }
  int Connections() const { return connections_; }
  bool EveryConnectionOpenedWithASnapshot() const { return snapshotFirst_ == connections_; }

 private:
  // The text after `field: ` on its line of `event`.
  static std::string Field(const std::string& event, const std::string& field) {
    const std::size_t at = ("\n" + event).find("\n" + field + ": ");
    if (at == std::string::npos) return {};
    const std::size_t from = at + field.size() + 2;
    return event.substr(from, event.find('\n', from) - from);
  }
  void Apply(const std::string& event, bool& first) {
    const std::string type = Field(event, "event");
    if (type.empty() || type == "heartbeat") return;
    Json::Value data;
    std::istringstream(Field(event, "data")) >> data;
    std::lock_guard lock(mutex_);
    if (std::exchange(first, false)) {
      ++connections_;
      if (type == "snapshot") ++snapshotFirst_;
    }
    if (type == "snapshot") queues_.clear(), interactions_.clear();
    ++changes_;
    for (const Json::Value& q : data["queues"]) queues_[q["name"].asString()] = q;
    for (const Json::Value& i : data["interactions"]) interactions_[i["id"].asUInt()] = i;
    for (const Json::Value& id : data["gone"]) interactions_.erase(id.asUInt());
  }

  mutable std::mutex mutex_;
  std::map<std::string, Json::Value> queues_;
  std::map<std::uint32_t, Json::Value> interactions_;
  std::atomic<int> changes_{0}, connections_{0}, snapshotFirst_{0};
  std::atomic<bool> stop_{false}, dropped_{false};
  std::thread thread_;
};

// Runs the demo's scenario briefly with the wallboard on a free port; the
// test's check runs once the server's state is final.
class WallboardRun : public Wallboard::WallboardObserver {
 public:
  using Check = std::function<void(WallboardRun&, const Board&,
                                   const QueueManager::Emulator::IEmulatorControl&)>;
  explicit WallboardRun(Check check) : WallboardObserver(FreePort()), check_(std::move(check)) {}
  static Wallboard::ServerOptions FreePort() {
    Wallboard::ServerOptions options;
    options.port = 0;
    return options;
  }
  void Started(const Board& board, const Console& console) override {
    WallboardObserver::Started(board, console);
    reader_ = std::make_unique<StreamReader>(Port());
  }
  void Finished(const Board& board,
                const QueueManager::Emulator::IEmulatorControl& server) override {
    check_(*this, board, server);
  }
  int Port() const { return std::stoi(Address().substr(Address().rfind(':') + 1)); }
  const StreamReader& Reader() const { return *reader_; }

  static void Go(Check check) {
    WallboardRun run(std::move(check));
    ASSERT_TRUE(run.Listen()) << run.Error();
    Options options;
    options.durationSeconds = 3;
    options.seed = 7;
    EXPECT_EQ(Run(options, Console::eMode::kQuiet, run), 0);
  }

 private:
  Check check_;
  std::unique_ptr<StreamReader> reader_;
};

TEST(WallboardStream, TheLastStateItToldEqualsTheServer) {
  WallboardRun::Go([](WallboardRun& run, const Board& board, const auto& server) {
    std::vector<std::string> differences;
    EXPECT_TRUE(Eventually([&] {
      const Snapshot told = run.Reader().Told();
      differences = Differences(told, ServerSnapshot(server, board.Layout(), board.Names(), told));
      return differences.empty() && !told.attributes.empty() && run.Reader().Connections() == 2;
    })) << fmt::format("{}", fmt::join(differences, "\n"));
    EXPECT_EQ(run.Reader().Connections(), 2);
    EXPECT_TRUE(run.Reader().EveryConnectionOpenedWithASnapshot());
  });
}

// Chromium's output for `url`, or nothing when it is not installed.
std::string Chromium(const std::string& arguments, const std::string& url) {
  const std::string command = fmt::format(
      "timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir={} "
      "{} {} 2>/dev/null",
      QM_TEST_OUTPUT_DIR "/chromium-profile", arguments, url);
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    pclose(pipe);
  }
  return out;
}

TEST(WallboardBrowser, RendersTheServersCounts) {
  if (std::system("command -v chromium > /dev/null") != 0)
    GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
  WallboardRun::Go([](WallboardRun& run, const Board& board, const auto& server) {
    Chromium("--hide-scrollbars --window-size=1100,820 --screenshot=" QM_TEST_OUTPUT_DIR
             "/wallboard.png",
             run.Address());
    // The browser renders while the stream lasts: it is ended once opened,
    // after its snapshot, so that the page is dumped as the stream left it.
    const std::uint64_t before = run.Hub().Counts().opened;
    std::string dom;
    std::thread browser(
        [&] { dom = Chromium("--dump-dom --virtual-time-budget=3000", run.Address()); });
    EXPECT_TRUE(Eventually([&] { return run.Hub().Counts().opened > before; }));
    run.Hub().Close();
    browser.join();
    for (const NamedQueue& queue : board.Layout().Queues()) {
      const auto counts = server.Counts(queue.entity).value();
      const std::size_t row = dom.find(fmt::format("data-queue=\"{}\">", queue.name));
      ASSERT_NE(row, std::string::npos) << dom;
      const std::string cells = dom.substr(row, dom.find("</tr>", row) - row);
      for (const auto& [field, expected] :
           {std::pair<const char*, std::uint32_t>{"alerting", counts.alerting},
            {"connected", counts.connected},
            {"held", counts.held},
            {"messaging", counts.messaging},
            {"disconnected", counts.disconnected},
            {"system", counts.system}})
        EXPECT_NE(cells.find(fmt::format("data-field=\"{}\">{}<", field, expected)),
                  std::string::npos)
            << queue.name << " " << field << ": " << cells;
    }
    EXPECT_TRUE(std::filesystem::exists(QM_TEST_OUTPUT_DIR "/wallboard.png"));
  });
}

// A server with no run behind it, on a free port, and a hub of tight bounds.
struct BareServer {
  EventHub hub{{.maxStreams = 8, .maxQueuedBytes = 4096}};
  Wallboard::WallboardServer server{hub, WallboardRun::FreePort()};
  BareServer() {
    std::string error;
    EXPECT_TRUE(server.Start(error)) << error;
  }
};

TEST(WallboardServer, RefusesWhatItDoesNotServe) {
  BareServer bare;
  httplib::Client client("127.0.0.1", bare.server.Port());
  const std::string big(64 * 1024, 'x');
  for (const auto& [method, path, body, status] :
       {std::tuple<const char*, std::string, const std::string*, int>{"GET", "/", nullptr, 200},
        {"GET", "/nope", nullptr, 404},
        {"GET", "/../etc/passwd", nullptr, 404},
        {"POST", "/", nullptr, 405},
        {"DELETE", "/events", nullptr, 405},
        {"POST", "/events", &big, 413},
        {"GET", "/" + big, nullptr, 414}}) {
    httplib::Request request;
    request.method = method;
    request.path = path;
    if (body) request.body = *body;
    const httplib::Result result = client.send(request);
    ASSERT_TRUE(result) << method << " " << path.substr(0, 20);
    EXPECT_EQ(result->status, status) << method << " " << path.substr(0, 20);
  }
}

TEST(WallboardServer, AStalledStreamGetsASnapshotInsteadOfABacklog) {
  EventHub hub({.maxStreams = 2, .maxQueuedBytes = 4096});
  const std::shared_ptr<Wallboard::EventStream> stalled = hub.Open();
  for (std::uint32_t n = 0; n < 200; ++n) {
    Wallboard::WallView view;
    view.queues.emplace_back().alerting = n;
    hub.Publish(view);
  }
  const std::string pending = stalled->Take(std::chrono::milliseconds(0)).value();
  EXPECT_LE(pending.size(), 4096u);
  EXPECT_EQ(pending.rfind("event: snapshot", 0), 0u) << pending.substr(0, 80);
  EXPECT_NE(pending.find("\"alerting\":199"), std::string::npos);
  EXPECT_GT(hub.Counts().resnapped, 0u);
}

TEST(WallboardServerConcurrency, TwoHundredClientsAtOnceMeetTheStreamBound) {
  BareServer bare;
  std::atomic<int> served{0}, refused{0};
  QueueManager::testing::WaitableLog errors;
  std::atomic<std::size_t> mostOpen{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i)
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", bare.server.Port());
      int status = 0;
      const httplib::Result result = client.Get(
          "/events",
          [&](const httplib::Response& response) {
            status = response.status;
            const std::size_t open = bare.hub.Counts().open;
            for (std::size_t seen = mostOpen;
                 seen < open && !mostOpen.compare_exchange_weak(seen, open);) {
            }
            return status == 503;
          },
          [](const char*, std::size_t) { return false; });
      if (status == 503)
        ++refused;
      else if (status == 200)
        ++served;
      else
        errors.Add(httplib::to_string(result.error()));
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(served + refused, 200) << fmt::format("{}", fmt::join(errors.Lines(), ", "));
  EXPECT_GT(served, 0);
  EXPECT_LE(mostOpen, 8u);
  EXPECT_EQ(bare.hub.Counts().refused, static_cast<std::uint64_t>(refused.load()));
}

}  // namespace
