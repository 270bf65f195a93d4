#include "monitor/MonitoredNames.h"

namespace QueueManager {

MonitoredNames::TypeNames& MonitoredNames::NamesOf(W4Notifier::ObjectTypes type) {
  if (last_ == nullptr || lastType_ != type) {
    last_ = &types_[type];
    lastType_ = type;
  }
  return *last_;
}

const MonitoredNames::TypeNames* MonitoredNames::FindNamesOf(W4Notifier::ObjectTypes type) const {
  if (last_ != nullptr && lastType_ == type) return last_;
  const auto it = types_.find(type);
  if (it == types_.end()) return nullptr;
  last_ = const_cast<TypeNames*>(&it->second);
  lastType_ = type;
  return last_;
}

void MonitoredNames::Register(W4Notifier::ObjectTypes type, const CQmAttributeName& name) {
  TypeNames& names = NamesOf(type);
  if (IsCatalogueNumber(name)) {
    names.standard.set(static_cast<std::size_t>(name.QueryW4AttributeName()));
  } else {
    names.others.insert(name);
  }
}

bool MonitoredNames::IsRegistered(W4Notifier::ObjectTypes type,
                                  const CQmAttributeName& name) const {
  const TypeNames* names = FindNamesOf(type);
  if (names == nullptr) return false;
  if (IsCatalogueNumber(name)) {
    return names->standard.test(static_cast<std::size_t>(name.QueryW4AttributeName()));
  }
  return names->others.count(name) != 0;
}

bool MonitoredNames::HasAny(W4Notifier::ObjectTypes type) const {
  const TypeNames* names = FindNamesOf(type);
  return names != nullptr && (names->standard.any() || !names->others.empty());
}

std::vector<CQmAttributeName> MonitoredNames::Unregistered(
    W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names) const {
  std::vector<CQmAttributeName> kept;
  for (const CQmAttributeName& name : names) {
    if (!IsRegistered(type, name)) kept.push_back(name);
  }
  return kept;
}

}  // namespace QueueManager
