#include "WallboardServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <utility>

#include <fmt/format.h>

namespace Wallboard {
namespace {

// How long the feed sleeps when nothing is reported, to notice its stop.
constexpr std::chrono::milliseconds kFeedPoll{200};
// Requests carry no body here: a small bound refuses the rest early.
constexpr std::size_t kMaxBody = 1024;
constexpr time_t kSocketTimeoutSeconds = 5;
// Threads beyond the streams', so that the page is served while every
// stream is open.
constexpr std::size_t kSpareThreads = 4;
// Pages come back all at once after a restart; with the library's backlog of
// five, the kernel drops most of their connections and they wait out its
// retransmissions for seconds.
constexpr int kListenBacklog = 256;

const char* const kHeartbeat = "event: heartbeat\ndata: {}\n\n";
// Asks EventSource to come back within a second of losing the stream.
const char* const kRetry = "retry: 1000\n\n";

}  // namespace

BoardFeed::BoardFeed(const ContactCentre::Board& board, const ContactCentre::Console& console,
                     EventHub& hub)
    : thread_([this, &board, &console, &hub] {
        std::uint64_t seen = 0;
        while (!stop_) {
          hub.Publish(Compose(board, console));
          seen = board.Table().WaitPast(seen, kFeedPoll);
        }
      }) {}

BoardFeed::~BoardFeed() {
  stop_ = true;
  thread_.join();
}

struct WallboardServer::Http {
  httplib::Server server;
  int listening = -1;
};

WallboardServer::WallboardServer(EventHub& hub, ServerOptions options)
    : hub_(hub), options_(std::move(options)), http_(std::make_unique<Http>()) {
  httplib::Server& server = http_->server;
  const std::size_t threads = options_.limits.maxStreams + kSpareThreads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_socket_options([http = http_.get()](int socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    http->listening = socket;
  });
  server.set_payload_max_length(kMaxBody);
  server.set_read_timeout(kSocketTimeoutSeconds);
  server.set_write_timeout(kSocketTimeoutSeconds);
  // One request per connection: an idle keep-alive would hold a thread.
  server.set_keep_alive_max_count(1);
  server.set_default_headers({{"Cache-Control", "no-store"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Content-Security-Policy",
                               "default-src 'self'; style-src 'unsafe-inline'; "
                               "script-src 'unsafe-inline'; img-src data:"}});
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(kPage, "text/html; charset=utf-8");
  });
  server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
    std::shared_ptr<EventStream> stream = hub_.Open();
    if (!stream) {
      response.status = 503;
      response.set_header("Retry-After", "2");
      response.set_content("too many streams\n", "text/plain");
      return;
    }
    auto first = std::make_shared<bool>(true);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, stream, first](std::size_t, httplib::DataSink& sink) {
          std::string text;
          if (std::exchange(*first, false)) text = kRetry;
          const std::optional<std::string> events = stream->Take(options_.heartbeat);
          if (!events) {
            sink.done();
            return true;
          }
          text += events->empty() ? std::string(kHeartbeat) : *events;
          return sink.write(text.data(), text.size());
        },
        [this, stream](bool) { hub_.Release(stream); });
  });
  const auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
}

WallboardServer::~WallboardServer() { Stop(); }

bool WallboardServer::Start(std::string& error) {
  httplib::Server& server = http_->server;
  port_ = options_.port == 0
              ? server.bind_to_any_port(options_.host)
              : (server.bind_to_port(options_.host, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    error = fmt::format("cannot listen on {} port {}", options_.host, options_.port);
    port_ = 0;
    return false;
  }
  // Listening again on a listening socket only changes its backlog.
  if (http_->listening >= 0) ::listen(http_->listening, kListenBacklog);
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  return true;
}

void WallboardServer::Stop() {
  if (!thread_.joinable()) return;
  // The streams first: their threads would otherwise hold the server up.
  hub_.Close();
  http_->server.stop();
  thread_.join();
}

WallboardObserver::WallboardObserver(ServerOptions options)
    : options_(std::move(options)), server_(hub_, options_) {}

bool WallboardObserver::Listen() { return server_.Start(error_); }

void WallboardObserver::Started(const ContactCentre::Board& board,
                                const ContactCentre::Console& console) {
  feed_ = std::make_unique<BoardFeed>(board, console, hub_);
}

void WallboardObserver::Ended() {
  server_.Stop();
  feed_.reset();
}

std::string WallboardObserver::Address() const {
  // Every address includes loopback.
  const std::string host = options_.host == "0.0.0.0" ? "127.0.0.1" : options_.host;
  return fmt::format("http://{}:{}/", host, server_.Port());
}

}  // namespace Wallboard
