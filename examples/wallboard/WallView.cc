#include "WallView.h"

#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace Wallboard {
namespace {

// A JSON string; names and attribute values come from the server, so every
// control character is escaped, not only the quotes.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\')
      out += {'\\', c};
    else if (byte < 0x20)
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(byte));
    else
      out += c;
  }
  return out + '"';
}

std::string QueueJson(const QueueRow& row) {
  return fmt::format(
      R"({{"name":{},"kind":{},"alerting":{},"connected":{},"held":{},"messaging":{},)"
      R"("disconnected":{},"system":{},"active":{},"total":{},"ids":[{}]}})",
      Quoted(row.name), Quoted(row.kind), row.alerting, row.connected, row.held, row.messaging,
      row.disconnected, row.system, row.active, row.total, fmt::join(row.ids, ","));
}

std::string InteractionJson(const InteractionRow& row) {
  std::vector<std::string> attributes;
  for (const auto& [name, value] : row.attributes)
    attributes.push_back(Quoted(name) + ":" + Quoted(value));
  return fmt::format(R"({{"id":{},"medium":{},"attributes":{{{}}}}})", row.id, Quoted(row.medium),
                     fmt::join(attributes, ","));
}

std::string Body(std::uint64_t seq, const std::vector<std::string>& queues,
                 const std::vector<std::string>& interactions) {
  return fmt::format(R"({{"seq":{},"queues":[{}],"interactions":[{}])", seq, fmt::join(queues, ","),
                     fmt::join(interactions, ","));
}

}  // namespace

WallView Compose(const ContactCentre::Board& board, const ContactCentre::Console& console) {
  const std::map<W4Notifier::CEntityId, ContactCentre::QueueHeard> heard = board.Table().Heard();
  WallView view;
  for (const ContactCentre::NamedQueue& queue : board.Layout().Queues()) {
    QueueRow& row = view.queues.emplace_back();
    row.name = queue.name;
    row.kind =
        queue.entity.QueryObjectType() == W4Notifier::eWorkgroupQueue ? "workgroup" : "agent";
    const auto found = heard.find(queue.entity);
    if (found == heard.end()) continue;
    const QueueManager::CQmQueueStats& s = found->second.stats;
    row.alerting = s.QueryAlertingCount();
    row.connected = s.QueryConnectedCount();
    row.held = s.QueryHeldCount();
    row.messaging = s.QueryMessagingCount();
    row.disconnected = s.QueryDisconnectedCount();
    row.system = s.QuerySystemCount();
    row.active = s.QueryActiveInteractionCount();
    row.total = s.QueryInteractionCount() + s.QuerySystemCount();
    for (const auto& [id, attributes] : found->second.held) {
      row.ids.push_back(id);
      InteractionRow& interaction = view.interactions[id];
      interaction.id = id;
      // Each queue heard the updates of its own watch: the fullest wins.
      if (attributes.size() >= interaction.attributes.size()) interaction.attributes = attributes;
    }
  }
  for (auto& [id, interaction] : view.interactions) interaction.medium = console.LabelOf(id).medium;
  return view;
}

std::string SnapshotJson(const WallView& view, std::uint64_t seq) {
  std::vector<std::string> queues;
  for (const QueueRow& row : view.queues) queues.push_back(QueueJson(row));
  std::vector<std::string> interactions;
  for (const auto& entry : view.interactions) interactions.push_back(InteractionJson(entry.second));
  return Body(seq, queues, interactions) + "}";
}

std::string ChangeJson(const WallView& before, const WallView& after, std::uint64_t seq) {
  std::vector<std::string> queues;
  for (std::size_t i = 0; i < after.queues.size(); ++i)
    if (i >= before.queues.size() || !(before.queues[i] == after.queues[i]))
      queues.push_back(QueueJson(after.queues[i]));
  std::vector<std::string> interactions;
  for (const auto& [id, row] : after.interactions) {
    const auto found = before.interactions.find(id);
    if (found == before.interactions.end() || !(found->second == row))
      interactions.push_back(InteractionJson(row));
  }
  std::vector<std::uint32_t> gone;
  for (const auto& entry : before.interactions)
    if (!after.interactions.contains(entry.first)) gone.push_back(entry.first);
  if (queues.empty() && interactions.empty() && gone.empty()) return {};
  return Body(seq, queues, interactions) + fmt::format(R"(,"gone":[{}]}})", fmt::join(gone, ","));
}

}  // namespace Wallboard
