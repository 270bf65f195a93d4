#pragma once

// Attribute changes that the server computes from an attribute's current
// value: setting it only when conditions hold, adding to a number, masking
// bits, and appending, inserting or removing an element of a multi-valued
// attribute. Every request goes to the interaction's request entity.
//
// The functions hold no lock of their own and may be called from any thread,
// also at once. Synchronous forms block the caller for up to the notifier's
// default time-out; once the server has answered they write the value it
// reports into the monitor cache, whatever their own result, so that a
// monitored interaction shows the new value at once. When no answer comes, or
// it cannot be read, they return false (or simply return) and leave their
// outputs and the cache as they were. Fire-and-forget forms catch nothing:
// what the notifier throws reaches the caller.
//
// What a comparison, a condition's flag, the flag of the list forms, the two
// values of the conditional sets and the two mask words mean is the server's
// business: the library passes them on in argument order.

#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

/// One attribute to set, with the conditions under which the server sets it.
/// A plain value type: copies are deep and distinct objects may be used from
/// different threads.
class QM_EXPORT SetAttributeConditionally {
 public:
  /// Comparison codes agreed with the server; any 32-bit value is passed on.
  enum eComparisonType : std::int32_t {};

  /// One condition: the named attribute compared with a literal value, or with
  /// another attribute of the same interaction (the other field left empty).
  struct Condition {
    /// The attribute tested; the comparison; the literal value or the other attribute compared
    /// with; the condition's flag, passed on to the server.
    ///@{
    CQmAttributeName attribute_name;
    eComparisonType comparison{};
    CQmAttributeValue comparison_value;
    CQmAttributeName comparison_attribute_name;
    bool flag = false;

    bool operator==(const Condition&) const = default;
    ///@}
  };

  SetAttributeConditionally() = default;
  /// No conditions yet; the attribute to set and its value.
  ///@{
  SetAttributeConditionally(const CQmAttributeName& name, const CQmAttributeValue& value,
                            bool andConditions, bool alwaysSetIfAttributeIsEmpty);
  ///@}

  /// Whether every condition must hold (true) or one is enough.
  ///@{
  bool query_andConditions() const { return andConditions_; }
  void set_conditions(bool andConditions) { andConditions_ = andConditions; }
  ///@}
  /// Whether the value is set, whatever the conditions, when the attribute is
  /// empty.
  ///@{
  bool query_alwaysSetIfAttributeIsEmpty() const { return alwaysSetIfAttributeIsEmpty_; }
  void set_alwaysSetIfAttributeIsEmpty(bool always) { alwaysSetIfAttributeIsEmpty_ = always; }
  ///@}
  /// The attribute to set, and the value to set it to.
  ///@{
  const CQmAttributeName& query_attribute_name() const { return name_; }
  void set_attribute_name(const CQmAttributeName& name) { name_ = name; }
  const CQmAttributeValue& query_attribute_value() const { return value_; }
  void set_attribute_value(const CQmAttributeValue& value) { value_ = value; }
  ///@}
  /// In the order they were added.
  const std::vector<Condition>& query_conditions() const { return conditions_; }

  /// The operand is a CQmAttributeValue or a CQmAttributeName, spelled out:
  /// bare text would convert to either.
  /// Appends a comparison of `name` with the literal `value`.
  void AddCondition(const CQmAttributeName& name, eComparisonType comparison,
                    const CQmAttributeValue& value, bool flag);
  /// Appends a comparison of `name` with the attribute `other`.
  void AddCondition(const CQmAttributeName& name, eComparisonType comparison,
                    const CQmAttributeName& other, bool flag);

  /// The wire form: bool andConditions, bool alwaysSetIfAttributeIsEmpty, the
  /// name, the value, the condition count as an unsigned int, then per
  /// condition its name, comparison value, comparison attribute name, int
  /// comparison and bool flag. write throws CNotifierException for more
  /// conditions than an unsigned int counts.
  W4Notifier::CMessage& write(W4Notifier::CMessage& message) const;
  /// Reads the wire form, the count as an int: a count of 0 or less gives no
  /// conditions. Throws CNotifierExtractException when a field is missing or of
  /// another type (a count larger than the conditions that follow it included);
  /// then this object and the message's read position are left as they were.
  const W4Notifier::CMessage& read(const W4Notifier::CMessage& message);

  /// Field by field.
  ///@{
  bool operator==(const SetAttributeConditionally&) const = default;
  ///@}

 private:
  bool andConditions_ = false;
  bool alwaysSetIfAttributeIsEmpty_ = false;
  CQmAttributeName name_;
  CQmAttributeValue value_;
  std::vector<Condition> conditions_;
};

/// Sets `name` from the first and second value as the server decides (event
/// 9). The synchronous form stores the value now in force in `current` and
/// returns the server's verdict.
QM_EXPORT void ConditionallySetAttribute(InteractionId id, const CQmAttributeName& name,
                                         const CQmAttributeValue& first,
                                         const CQmAttributeValue& second);
QM_EXPORT bool ConditionallySetAttribute(InteractionId id, const CQmAttributeName& name,
                                         const CQmAttributeValue& first,
                                         const CQmAttributeValue& second,
                                         CQmAttributeValue& current);

/// The list form of the above (event 13): names[i] with firsts[i] and
/// seconds[i]. Nothing is sent (and the synchronous form returns false) when
/// the interaction id is not set or the three lists differ in length. The
/// synchronous form replaces `result` with the attributes the server reports.
QM_EXPORT void ConditionallySetAttributes(InteractionId id,
                                          const std::vector<CQmAttributeName>& names,
                                          const std::vector<CQmAttributeValue>& firsts,
                                          const std::vector<CQmAttributeValue>& seconds, bool flag);
QM_EXPORT bool ConditionallySetAttributes(InteractionId id,
                                          const std::vector<CQmAttributeName>& names,
                                          const std::vector<CQmAttributeValue>& firsts,
                                          const std::vector<CQmAttributeValue>& seconds,
                                          CQmAttributeMap& result, bool flag);

/// Each setting applied by the server under its conditions (event 14). The
/// synchronous form replaces `values` with the values the server reports,
/// values[i] belonging to settings[i]; a shorter answer updates the cache only
/// for the settings it covers.
QM_EXPORT bool SyncConditionallySetAttributes(
    InteractionId id, const std::vector<SetAttributeConditionally>& settings, bool flag,
    std::vector<CQmAttributeValue>& values);
QM_EXPORT void AsyncConditionallySetAttributes(
    InteractionId id, const std::vector<SetAttributeConditionally>& settings, bool flag);

/// Adds `increment` to a numeric attribute (event 10); the server decides
/// what happens at the ends of the int range.
QM_EXPORT void IncrementAttribute(InteractionId id, const CQmAttributeName& name, int increment);
QM_EXPORT bool IncrementAttribute(InteractionId id, const CQmAttributeName& name, int increment,
                                  int& newValue);

/// Applies two mask words to a numeric attribute (event 11).
QM_EXPORT void MaskAttribute(InteractionId id, const CQmAttributeName& name,
                             std::uint32_t firstMask, std::uint32_t secondMask);
QM_EXPORT bool MaskAttribute(InteractionId id, const CQmAttributeName& name,
                             std::uint32_t firstMask, std::uint32_t secondMask,
                             std::uint32_t& newValue);

/// Element edits of a multi-valued attribute (events 3, 4 and 12), each
/// waiting for the value now in force, which goes to the cache only.
QM_EXPORT void AppendAttribute(InteractionId id, const CQmAttributeName& name,
                               const CQmAttributeValue& value, const std::u16string& separator);
QM_EXPORT void InsertAttribute(InteractionId id, const CQmAttributeName& name,
                               const CQmAttributeValue& value);
QM_EXPORT void RemoveAttribute(InteractionId id, const CQmAttributeName& name,
                               const CQmAttributeValue& value);

}  // namespace QueueManager
