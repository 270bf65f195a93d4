#include "QueueManager/Platform/ScriptedServer.h"

#include <fmt/format.h>

#include "QueueManager/Platform/Simulation.h"
#include "platform/notifier/BusCore.h"

namespace W4Notifier {
namespace {

std::string_view TrafficName(IBusObserver::eTraffic kind) {
  switch (kind) {
    case IBusObserver::eTraffic::kRequest:
      return "request";
    case IBusObserver::eTraffic::kOneWayRequest:
      return "one-way request";
    case IBusObserver::eTraffic::kResponse:
      return "response";
    case IBusObserver::eTraffic::kRejection:
      return "rejection";
    case IBusObserver::eTraffic::kNotification:
      return "notification";
  }
  return "traffic";
}

bool IsRequest(IBusObserver::eTraffic kind) {
  return kind == IBusObserver::eTraffic::kRequest || kind == IBusObserver::eTraffic::kOneWayRequest;
}

}  // namespace

std::string CTrafficRecord::Describe() const {
  return fmt::format("{} ({}, {}) event {}: {}", TrafficName(kind),
                     static_cast<std::int32_t>(message.QueryObjectType()), message.QueryObjectId(),
                     message.QueryEventId(), message.DescribeFields());
}

CScriptedServer::CScriptedServer(std::shared_ptr<CInProcessBus> bus) : bus_(std::move(bus)) {
  bus_->AddObserver(this);
  bus_->SetRequestHandler(this);
}

CScriptedServer::~CScriptedServer() {
  bus_->SetRequestHandler(nullptr);
  bus_->RemoveObserver(this);
}

void CScriptedServer::AddRule(Rule rule) {
  W4Os::MutexLock lock(&mutex_);
  rules_.push_back(std::move(rule));
}

void CScriptedServer::Respond(const CEntityId& target, int eventId, const CMessage& body) {
  Handle(target, eventId, [body](const CMessage&) { return CScriptedReply::Respond(body); });
}

void CScriptedServer::Reject(const CEntityId& target, int eventId, const CMessage& body) {
  Handle(target, eventId, [body](const CMessage&) { return CScriptedReply::Reject(body); });
}

void CScriptedServer::Silence(const CEntityId& target, int eventId) {
  Handle(target, eventId, [](const CMessage&) { return CScriptedReply::Silence(); });
}

void CScriptedServer::Handle(const CEntityId& target, int eventId, Handler handler) {
  AddRule(Rule{target, false, eventId, std::move(handler)});
}

void CScriptedServer::HandleType(ObjectTypes type, int eventId, Handler handler) {
  AddRule(Rule{CEntityId(type, kAllObjects), true, eventId, std::move(handler)});
}

void CScriptedServer::ClearRules() {
  W4Os::MutexLock lock(&mutex_);
  rules_.clear();
}

std::optional<CScriptedServer::Handler> CScriptedServer::FindRule(const CMessage& request) const {
  W4Os::MutexLock lock(&mutex_);
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    if (it->eventId != request.QueryEventId()) continue;
    if (it->target.QueryObjectType() != request.QueryObjectType()) continue;
    if (it->wholeType || it->target.QueryObjectId() == request.QueryObjectId()) return it->handler;
  }
  return std::nullopt;
}

void CScriptedServer::OnRequest(CInboundRequest request) {
  std::optional<Handler> handler = FindRule(request.Message());
  if (!handler) {
    if (request.ExpectsReply()) request.Reply(CMessage(), /*rejected=*/true);
    return;
  }
  CMessage copy = request.Message();
  copy.Rewind();
  // A one-way request runs its handler too (a server acts on it); only the
  // reply is dropped.
  CScriptedReply reply = (*handler)(copy);
  if (!request.ExpectsReply()) return;
  switch (reply.kind) {
    case CScriptedReply::eKind::kRespond:
      request.Reply(reply.body, false);
      break;
    case CScriptedReply::eKind::kReject:
      request.Reply(reply.body, true);
      break;
    case CScriptedReply::eKind::kSilence:
      break;
  }
}

void CScriptedServer::OnTraffic(eTraffic kind, const CMessage& message) {
  W4Os::MutexLock lock(&mutex_);
  traffic_.push_back(CTrafficRecord{kind, message});
  traffic_.back().message.Rewind();
  if (IsRequest(kind)) {
    ++requestCount_;
    trafficChanged_.SignalAll();
  }
}

eMsgCode CScriptedServer::Publish(const CEntityId& entity, int eventId, const CMessage& body) {
  CMessage notification = body;
  notification.SetEntity(entity);
  notification.SetEventId(eventId);
  notification.Rewind();
  bus_->Core().Publish(notification);
  return eMsgSuccess;
}

std::vector<CTrafficRecord> CScriptedServer::Traffic() const {
  W4Os::MutexLock lock(&mutex_);
  return traffic_;
}

std::vector<CMessage> CScriptedServer::Requests() const {
  std::vector<CMessage> out;
  W4Os::MutexLock lock(&mutex_);
  for (const CTrafficRecord& record : traffic_) {
    if (IsRequest(record.kind)) out.push_back(record.message);
  }
  return out;
}

std::vector<CMessage> CScriptedServer::RequestsTo(const CEntityId& target, int eventId) const {
  std::vector<CMessage> out;
  for (CMessage& request : Requests()) {
    if (request.QueryEntityId() == target && request.QueryEventId() == eventId) {
      out.push_back(std::move(request));
    }
  }
  return out;
}

void CScriptedServer::ClearTraffic() {
  W4Os::MutexLock lock(&mutex_);
  traffic_.clear();
  requestCount_ = 0;
}

bool CScriptedServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = W4Os::SteadyNow() + timeout;
  W4Os::MutexLock lock(&mutex_);
  while (requestCount_ < count) {
    if (!trafficChanged_.WaitUntil(deadline) && requestCount_ < count) return false;
  }
  return true;
}

}  // namespace W4Notifier
