#include "Floor.h"

#include <fmt/format.h>

namespace ContactCentre {

std::vector<NamedQueue> Floor::Queues() const {
  std::vector<NamedQueue> all = workgroups;
  all.insert(all.end(), agents.begin(), agents.end());
  return all;
}

std::string Floor::NameOf(const W4Notifier::CEntityId& queue) const {
  for (const std::vector<NamedQueue>* list : {&workgroups, &agents}) {
    for (const NamedQueue& named : *list)
      if (named.entity == queue) return named.name;
  }
  return fmt::format("queue {}", queue.QueryObjectId());
}

std::string Floor::MediumName(W4Notifier::ObjectTypes type) const {
  if (type == W4Notifier::eConferenceInteraction) return "conf";
  for (const Medium& medium : media)
    if (medium.type == type) return medium.name;
  return fmt::format("type {}", static_cast<int>(type));
}

Floor DemoFloor() {
  using W4Notifier::CEntityId;
  Floor floor;
  floor.workgroups = {{CEntityId(W4Notifier::eWorkgroupQueue, 1), "Sales"},
                      {CEntityId(W4Notifier::eWorkgroupQueue, 2), "Support"},
                      {CEntityId(W4Notifier::eWorkgroupQueue, 3), "Billing"}};
  floor.agents = {{CEntityId(W4Notifier::eUserQueue, 101), "alice"},
                  {CEntityId(W4Notifier::eUserQueue, 102), "bob"},
                  {CEntityId(W4Notifier::eUserQueue, 103), "carol"},
                  {CEntityId(W4Notifier::eUserQueue, 104), "dave"}};
  floor.media = {{static_cast<W4Notifier::ObjectTypes>(6), "call"},
                 {static_cast<W4Notifier::ObjectTypes>(7), "chat"},
                 {static_cast<W4Notifier::ObjectTypes>(8), "e-mail"}};
  return floor;
}

}  // namespace ContactCentre
