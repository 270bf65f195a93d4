#pragma once

// The wallboard over HTTP: the page, and its event stream fed from the
// contact centre's board.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "EventHub.h"
#include "Run.h"

namespace Wallboard {

struct ServerOptions {
  // Loopback unless the operator asks for more.
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  HubLimits limits;
  // With no change for this long a stream gets a heartbeat event, so that
  // the page can tell a quiet centre from a dead stream.
  std::chrono::milliseconds heartbeat{2000};
};

// Composes the board's view whenever its watchers report, and publishes it
// to the hub, on a thread of its own. Does not own the board, the console or
// the hub, which must outlive it.
class BoardFeed {
 public:
  BoardFeed(const ContactCentre::Board& board, const ContactCentre::Console& console,
            EventHub& hub);
  ~BoardFeed();
  BoardFeed(const BoardFeed&) = delete;
  BoardFeed& operator=(const BoardFeed&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Serves "/" (the page) and "/events" (the stream) on threads of its own;
// refuses every other path and method. Owns its HTTP server; does not own
// the hub, which must outlive it. Start and Stop from one thread.
class WallboardServer {
 public:
  WallboardServer(EventHub& hub, ServerOptions options);
  ~WallboardServer();
  WallboardServer(const WallboardServer&) = delete;
  WallboardServer& operator=(const WallboardServer&) = delete;

  // Binds and starts serving; false with `error` when it cannot bind.
  bool Start(std::string& error);
  // The port bound; 0 before Start.
  int Port() const { return port_; }
  // Ends the streams and stops serving; waits for the serving thread.
  void Stop();

 private:
  struct Http;
  EventHub& hub_;
  const ServerOptions options_;
  std::unique_ptr<Http> http_;
  int port_ = 0;
  std::thread thread_;
};

// The wallboard hooked onto a contact-centre run: serves from Listen on, and
// feeds the page from the board's start to its end. Call from the run's
// thread only.
class WallboardObserver : public ContactCentre::RunObserver {
 public:
  explicit WallboardObserver(ServerOptions options);

  // Binds and serves (an empty board until the run starts); false with
  // Error() when it cannot bind.
  bool Listen();
  void Started(const ContactCentre::Board& board, const ContactCentre::Console& console) override;
  void Ended() override;
  // The address served, as a browser on this machine reaches it.
  std::string Address() const;
  const std::string& Error() const { return error_; }
  EventHub& Hub() { return hub_; }

 private:
  const ServerOptions options_;
  EventHub hub_{options_.limits};
  WallboardServer server_;
  std::unique_ptr<BoardFeed> feed_;
  std::string error_;
};

// The page, compiled in.
extern const char* const kPage;

}  // namespace Wallboard
