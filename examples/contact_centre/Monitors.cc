#include "Monitors.h"

#include <fmt/format.h>

#include "QueueManager/Platform/Text.h"

namespace ContactCentre {
namespace {

const QueueManager::CQmAttributeName kState(u"Xan_State");

const char* StateMeaning(std::u16string_view letter) {
  static const std::pair<std::u16string_view, const char*> kMeanings[] = {
      {u"O", "offering"},  {u"A", "alerting"}, {u"C", "connected"},   {u"H", "held"},
      {u"M", "messaging"}, {u"E", "ended"},    {u"I", "disconnected"}};
  for (const auto& [known, meaning] : kMeanings)
    if (known == letter) return meaning;
  return "other";
}

}  // namespace

std::string DescribeState(const QueueManager::CQmAttributeMap& attributes) {
  const auto found = attributes.find(kState);
  if (found == attributes.end()) return {};
  const std::u16string& letter = found->second.QueryString();
  return fmt::format("state {} ({})", W4Os::Utf8(letter), StateMeaning(letter));
}

void InteractionPrinter::AttributesUpdated(const W4Notifier::CEntityId& interaction,
                                           const QueueManager::CQmAttributeMap& attributes) {
  const std::string state = DescribeState(attributes);
  if (!state.empty()) console_.Event(interaction.QueryObjectId(), "  seen: " + state);
}

void InteractionPrinter::InteractionDeallocated(const W4Notifier::CEntityId& interaction) {
  console_.Event(interaction.QueryObjectId(), "  seen: gone");
}

void ConferencePrinter::AttributesUpdated(QueueManager::InteractionId conference,
                                          const W4Notifier::CEntityId& party,
                                          const QueueManager::CQmAttributeMap& attributes) {
  const std::string state = DescribeState(attributes);
  if (state.empty() || ended_) return;
  console_.Event(conference.QueryObjectId(),
                 fmt::format("  conference: #{} {}", party.QueryObjectId(), state));
}

void ConferencePrinter::ConferencePartyAdded(QueueManager::InteractionId conference,
                                             const W4Notifier::CEntityId& party,
                                             const QueueManager::CQmAttributeMap& attributes) {
  if (ended_) return;
  console_.Event(conference.QueryObjectId(),
                 fmt::format("  conference: #{} joined, {}", party.QueryObjectId(),
                             DescribeState(attributes)));
}

void ConferencePrinter::ConferencePartyRemoved(QueueManager::InteractionId conference,
                                               const W4Notifier::CEntityId& party) {
  if (ended_) return;
  console_.Event(conference.QueryObjectId(),
                 fmt::format("  conference: #{} left", party.QueryObjectId()));
}

void ConferencePrinter::ConferenceDeallocated(QueueManager::InteractionId conference) {
  ended_ = true;
  console_.Event(conference.QueryObjectId(), "  conference: ended");
}

}  // namespace ContactCentre
