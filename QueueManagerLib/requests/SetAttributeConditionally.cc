// A conditional setting and its wire form.

#include <utility>

#include "QueueManager/ConditionalUpdates.h"
#include "QueueManager/Platform/Exceptions.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// The least a condition occupies: two names (a number each), a text, an int
// and a bool. Bounds what a count from the wire may reserve.
constexpr std::size_t kConditionBytes =
    3 * requests::kIntFieldBytes + requests::kTextFieldBytes + requests::kBoolFieldBytes;

void WriteCondition(CMessage& message, const SetAttributeConditionally::Condition& condition) {
  condition.attribute_name.Write(message);
  requests::WriteValue(message, condition.comparison_value);
  condition.comparison_attribute_name.Write(message);
  message << static_cast<std::int32_t>(condition.comparison) << condition.flag;
}

SetAttributeConditionally::Condition ReadCondition(const CMessage& message) {
  SetAttributeConditionally::Condition condition;
  condition.attribute_name.Read(message);
  condition.comparison_value = requests::ReadValue(message);
  condition.comparison_attribute_name.Read(message);
  std::int32_t comparison = 0;
  message >> comparison >> condition.flag;
  condition.comparison = static_cast<SetAttributeConditionally::eComparisonType>(comparison);
  return condition;
}

}  // namespace

SetAttributeConditionally::SetAttributeConditionally(const CQmAttributeName& name,
                                                     const CQmAttributeValue& value,
                                                     bool andConditions,
                                                     bool alwaysSetIfAttributeIsEmpty)
    : andConditions_(andConditions),
      alwaysSetIfAttributeIsEmpty_(alwaysSetIfAttributeIsEmpty),
      name_(name),
      value_(value) {}

void SetAttributeConditionally::AddCondition(const CQmAttributeName& name,
                                             eComparisonType comparison,
                                             const CQmAttributeValue& value, bool flag) {
  conditions_.push_back({.attribute_name = name,
                         .comparison = comparison,
                         .comparison_value = value,
                         .comparison_attribute_name = {},
                         .flag = flag});
}

void SetAttributeConditionally::AddCondition(const CQmAttributeName& name,
                                             eComparisonType comparison,
                                             const CQmAttributeName& other, bool flag) {
  conditions_.push_back({.attribute_name = name,
                         .comparison = comparison,
                         .comparison_value = {},
                         .comparison_attribute_name = other,
                         .flag = flag});
}

CMessage& SetAttributeConditionally::write(CMessage& message) const {
  message << andConditions_ << alwaysSetIfAttributeIsEmpty_;
  name_.Write(message);
  requests::WriteValue(message, value_);
  // size_t writes an unsigned int field, and throws rather than cut a count
  // beyond 32 bits.
  message << conditions_.size();
  for (const Condition& condition : conditions_) WriteCondition(message, condition);
  return message;
}

const CMessage& SetAttributeConditionally::read(const CMessage& message) {
  // Decoded into a scratch object, so that a failure changes nothing.
  const std::size_t start = message.QueryReadPosition();
  try {
    SetAttributeConditionally decoded;
    message >> decoded.andConditions_ >> decoded.alwaysSetIfAttributeIsEmpty_;
    decoded.name_.Read(message);
    decoded.value_ = requests::ReadValue(message);
    decoded.conditions_ = requests::ReadList<Condition>(message, kConditionBytes, ReadCondition);
    *this = std::move(decoded);
  } catch (const W4Notifier::CNotifierExtractException&) {
    message.RestoreReadPosition(start);
    throw;
  }
  return message;
}

}  // namespace QueueManager
