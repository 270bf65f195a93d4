#include "QueueManager/AttributeMonitor.h"

#include <optional>
#include <string>
#include <utility>

#include "QueueManager/Platform/Trace.h"
#include "lightweight/AttributeMonitorImpl.h"
#include "lightweight/HandleSteps.h"

namespace QueueManager {

using W4Notifier::CEntityId;

CEntityId AttributeMatchEntity(const CQmAttributeName& name, const CQmAttributeValue& value) {
  std::u16string text = name.DisplayName();
  text += u'=';
  text += value.QueryString();
  return CEntityId(W4Notifier::eAttributeMatch, W4STD::w4idstring(std::move(text)), 0);
}

// ---- AttributeMonitorImpl ----

void AttributeMonitorImpl::Activate(const lightweight::ActivationGate& gate,
                                    const CQmAttributeName& name, const CQmAttributeValue& value,
                                    const w4core::InterfacePtr<IAttributeMonitor>& callback,
                                    const std::vector<CQmAttributeName>& names, bool flag) {
  name_ = name;
  configured_ = value;
  {
    W4Os::MutexLock lock(&mutex_);
    callback_ = callback;
  }
  light_->activate(AttributeMatchEntity(name, value),
                   w4core::InterfacePtr<IQmLightMonitorInterface>(this), names, flag, gate);
}

void AttributeMonitorImpl::Deactivate() {
  light_->deactivate();
  w4core::InterfacePtr<IAttributeMonitor> released;
  W4Os::MutexLock lock(&mutex_);
  released.swap(callback_);
  lastValues_.clear();
}

w4core::InterfacePtr<IAttributeMonitor> AttributeMonitorImpl::Callback() const {
  W4Os::MutexLock lock(&mutex_);
  return callback_;
}

void AttributeMonitorImpl::ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                                       std::uint64_t /*sequence*/) {
  Report(object, attributes, true);
}

void AttributeMonitorImpl::ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes,
                                         std::uint64_t /*sequence*/) {
  Report(object, attributes, false);
}

void AttributeMonitorImpl::Report(const CEntityId& object, const CQmAttributeMap& attributes,
                                  bool added) {
  w4core::InterfacePtr<IAttributeMonitor> callback;
  CQmAttributeValue value = configured_;
  if (configured_.empty()) {
    // Follows the attribute's value per interaction: a new value is an
    // addition, anything else an update with the value last reported.
    const auto received = attributes.find(name_);
    W4Os::MutexLock lock(&mutex_);
    callback = callback_;
    const auto last = lastValues_.find(object);
    added =
        received != attributes.end() &&
        (last == lastValues_.end() || last->second.QueryString() != received->second.QueryString());
    if (added) {
      value = received->second;
      lastValues_.insert_or_assign(object, value);
    } else if (last != lastValues_.end()) {
      value = last->second;
    }
  } else {
    callback = Callback();
  }
  if (!callback) return;
  if (added) {
    callback->ObjectAdded(object, name_, value, attributes);
  } else {
    callback->ObjectUpdated(object, name_, value, attributes);
  }
}

void AttributeMonitorImpl::ObjectRemoved(const CEntityId& object, std::uint64_t /*sequence*/) {
  w4core::InterfacePtr<IAttributeMonitor> callback;
  CQmAttributeValue value = configured_;
  {
    W4Os::MutexLock lock(&mutex_);
    callback = callback_;
    if (const auto last = lastValues_.find(object); last != lastValues_.end()) {
      if (configured_.empty()) value = std::move(last->second);
      lastValues_.erase(last);
    }
  }
  if (callback) callback->ObjectRemoved(object, name_, value);
}

// ---- AttributeMonitor ----

AttributeMonitor::AttributeMonitor()
    : handle_(std::make_unique<lightweight::MonitorHandle<AttributeMonitorImpl>>()) {}

AttributeMonitor::~AttributeMonitor() { deactivate(); }

bool AttributeMonitor::activate(const CQmAttributeName& name, const CQmAttributeValue& value,
                                const w4core::InterfacePtr<IAttributeMonitor>& callback,
                                const std::vector<CQmAttributeName>& names, bool flag) {
  if (lightweight::RefusesEmpty(callback, "QueueManager::AttributeMonitor::activate")) return false;
  handle_->Activate([&](AttributeMonitorImpl& impl, const lightweight::ActivationGate& gate) {
    impl.Activate(gate, name, value, callback, names, flag);
  });
  return true;
}

void AttributeMonitor::deactivate() { handle_->Deactivate(); }

}  // namespace QueueManager
