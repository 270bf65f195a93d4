#pragma once

// The contact centre's layout: its workgroup queues, its agents (each with a
// user queue) and the media it serves, with the names shown on screen.

#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace ContactCentre {

struct NamedQueue {
  W4Notifier::CEntityId entity;
  std::string name;
};

struct Medium {
  W4Notifier::ObjectTypes type;
  std::string name;
};

// A plain value: built once, then only read (from any thread).
struct Floor {
  std::vector<NamedQueue> workgroups;
  std::vector<NamedQueue> agents;  // each agent's user queue, named after the agent
  std::vector<Medium> media;

  // Every queue, workgroups first.
  std::vector<NamedQueue> Queues() const;
  // The queue's name, or its number when it is not on this floor.
  std::string NameOf(const W4Notifier::CEntityId& queue) const;
  // "call", "chat", ...; the number for a type not served here.
  std::string MediumName(W4Notifier::ObjectTypes type) const;
};

// Three workgroups, four agents, calls, chats and e-mails.
Floor DemoFloor();

}  // namespace ContactCentre
