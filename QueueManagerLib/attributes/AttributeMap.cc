// Attributes and attribute maps: the sorted flat map and its message form.

#include "QueueManager/AttributeMap.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>

#include "attributes/Catalogue.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// Wire sizes: a tag byte and a 4-byte payload for an int, a tag byte and a
// 4-byte length before the code units of a wide text.
constexpr std::size_t kIntFieldBytes = 5;
constexpr std::size_t kTextFieldBytes = 5;
// The least an entry occupies: a number and an empty value.
constexpr std::size_t kMinEntryBytes = kIntFieldBytes + kTextFieldBytes;

std::size_t TextFieldBytes(std::size_t codeUnits) { return kTextFieldBytes + 2 * codeUnits; }

// The bytes CQmAttributeName::Write appends for `name`: its number, and its
// text unless the catalogue sends it by number. One catalogue lookup.
std::size_t NameFieldBytes(const CQmAttributeName& name) {
  const eAttributeName number = name.QueryW4AttributeName();
  if (number == eNonStandardAttribute) {
    return kIntFieldBytes + TextFieldBytes(name.DisplayName().size());
  }
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number);
  if (key != nullptr && !key->IsSentByText()) return kIntFieldBytes;
  return kIntFieldBytes + TextFieldBytes(key != nullptr ? key->key.size() : 0);
}

// The name form that CQmAttributeName::Read decodes, read in place: the map
// discards what it read on any failure, so it needs none of the rollback that
// a name read on its own does. `scratch` holds the text between the reads of
// one map, so that a name resolved to a standard key allocates nothing; a
// custom name takes the string over.
CQmAttributeName ReadName(const CMessage& message, std::u16string& scratch) {
  std::int32_t number = eNonStandardAttribute;
  message >> number;
  if (number != eNonStandardAttribute) return CQmAttributeName(static_cast<eAttributeName>(number));
  message >> scratch;
  // Takes the string only when the name stays custom.
  return CQmAttributeName(std::move(scratch));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const CQmAttribute& attribute) {
  return out << attribute.QueryName() << '=' << attribute.QueryValue();
}

// ---- copying ----

CQmAttributeMap::CQmAttributeMap(const CQmAttributeMap& other) {
  nodes_.reserve(other.nodes_.size());
  for (const auto& node : other.nodes_) nodes_.push_back(std::make_unique<Node>(*node));
}

CQmAttributeMap& CQmAttributeMap::operator=(const CQmAttributeMap& other) {
  if (this != &other) {
    CQmAttributeMap copy(other);
    swap(copy);
  }
  return *this;
}

CQmAttributeMap::~CQmAttributeMap() = default;

// ---- lookup and insertion ----

std::size_t CQmAttributeMap::LowerBound(const CQmAttributeName& name) const {
  const auto at =
      std::lower_bound(nodes_.begin(), nodes_.end(), name,
                       [](const std::unique_ptr<Node>& node, const CQmAttributeName& key) {
                         return node->entry.first < key;
                       });
  return static_cast<std::size_t>(at - nodes_.begin());
}

std::size_t CQmAttributeMap::Find(const CQmAttributeName& name) const {
  const std::size_t at = LowerBound(name);
  return at != nodes_.size() && !(name < nodes_[at]->entry.first) ? at : nodes_.size();
}

void CQmAttributeMap::Reindex(std::size_t position) {
  for (; position < nodes_.size(); ++position) nodes_[position]->index = position;
}

CQmAttributeValue& CQmAttributeMap::Store(const CQmAttributeName& name, CQmAttributeValue&& value) {
  const std::size_t at = LowerBound(name);
  if (at != nodes_.size() && !(name < nodes_[at]->entry.first)) {
    nodes_[at]->entry.second = std::move(value);
    return nodes_[at]->entry.second;
  }
  auto node = std::make_unique<Node>(Node{value_type(name, std::move(value)), at});
  CQmAttributeValue& stored = node->entry.second;
  nodes_.insert(nodes_.begin() + static_cast<std::ptrdiff_t>(at), std::move(node));
  Reindex(at + 1);
  return stored;
}

void CQmAttributeMap::insert(const CQmAttribute& attribute) {
  Store(attribute.QueryName(), CQmAttributeValue(attribute.QueryValue()));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const CQmAttributeValue& value) {
  Store(name, CQmAttributeValue(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, CQmAttributeValue&& value) {
  Store(name, std::move(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const std::u16string& value) {
  Store(name, CQmAttributeValue(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const char16_t* value) {
  Store(name, CQmAttributeValue(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const std::string& utf8) {
  Store(name, CQmAttributeValue(utf8));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const char* utf8) {
  Store(name, CQmAttributeValue(utf8));
}

CQmAttributeValue& CQmAttributeMap::operator[](eAttributeName number) {
  return (*this)[CQmAttributeName(number)];
}

CQmAttributeValue& CQmAttributeMap::operator[](const CQmAttributeName& name) {
  const std::size_t at = Find(name);
  if (at != nodes_.size()) return nodes_[at]->entry.second;
  return Store(name, CQmAttributeValue());
}

const CQmAttributeValue& CQmAttributeMap::Query(const CQmAttributeName& name) const {
  // Shared by every map and never modified, so handing out a reference to it
  // is safe from any thread.
  static const CQmAttributeValue kAbsent;
  const std::size_t at = Find(name);
  return at != nodes_.size() ? nodes_[at]->entry.second : kAbsent;
}

CQmAttributeMap::iterator CQmAttributeMap::find(const CQmAttributeName& name) {
  return iterator(&nodes_, NodeAt(Find(name)));
}

CQmAttributeMap::const_iterator CQmAttributeMap::find(const CQmAttributeName& name) const {
  return const_iterator(&nodes_, NodeAt(Find(name)));
}

CQmAttributeMap::size_type CQmAttributeMap::erase(const CQmAttributeName& name) {
  const std::size_t at = Find(name);
  if (at == nodes_.size()) return 0;
  erase(const_iterator(&nodes_, nodes_[at].get()));
  return 1;
}

CQmAttributeMap::iterator CQmAttributeMap::erase(const_iterator position) {
  const std::size_t at = position.Position();
  nodes_.erase(nodes_.begin() + static_cast<std::ptrdiff_t>(at));
  Reindex(at);
  return iterator(&nodes_, NodeAt(at));
}

bool CQmAttributeMap::operator==(const CQmAttributeMap& other) const {
  // Entry by entry in map order: names as names compare (custom ones without
  // regard to letter case), values code unit by code unit.
  return std::equal(nodes_.begin(), nodes_.end(), other.nodes_.begin(), other.nodes_.end(),
                    [](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
                      return a->entry == b->entry;
                    });
}

// ---- message form ----

std::size_t CQmAttributeMap::EncodedSizeBound() const {
  std::size_t bytes = kIntFieldBytes;
  for (const auto& node : nodes_) {
    bytes +=
        NameFieldBytes(node->entry.first) + TextFieldBytes(node->entry.second.QueryString().size());
  }
  return bytes;
}

CMessage& CQmAttributeMap::Write(CMessage& message) const {
  if (nodes_.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw W4Notifier::CNotifierException("attribute map too large for a message");
  }
  message.Reserve(EncodedSizeBound());
  message << static_cast<std::int32_t>(nodes_.size());
  for (const auto& node : nodes_) {
    node->entry.first.Write(message);
    message.WriteZeroTerminated(node->entry.second.QueryString());
  }
  return message;
}

const CMessage& CQmAttributeMap::Read(const CMessage& message) {
  clear();
  std::int32_t count = 0;
  message >> count;
  if (count <= 0) return message;
  // Read into a list of their own, so that a failure leaves the map empty and
  // the list's nodes go with it.
  Nodes read;
  // Every entry takes at least kMinEntryBytes of what follows the count: a
  // hostile count reserves no more than the message can hold.
  read.reserve(
      std::min(static_cast<std::size_t>(count), message.RemainingBytes() / kMinEntryBytes));
  std::u16string nameText;
  bool inOrder = true;
  for (std::int32_t i = 0; i < count; ++i) {
    CQmAttributeName name = ReadName(message, nameText);
    std::u16string text;
    message >> text;
    if (!read.empty() && !(read.back()->entry.first < name)) inOrder = false;
    read.push_back(std::make_unique<Node>(
        Node{value_type(std::move(name), CQmAttributeValue(std::move(text))), 0}));
  }
  if (!inOrder) {
    // Sorted once, rather than each entry inserted at its place: the
    // stable sort leaves the entries of one name in arrival order, the
    // first keeps its spelling and takes the value of the last.
    std::stable_sort(read.begin(), read.end(),
                     [](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
                       return a->entry.first < b->entry.first;
                     });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
      if (kept != 0 && !(read[kept - 1]->entry.first < read[i]->entry.first)) {
        read[kept - 1]->entry.second = std::move(read[i]->entry.second);
      } else {
        if (kept != i) read[kept] = std::move(read[i]);
        ++kept;
      }
    }
    read.resize(kept);
  }
  nodes_ = std::move(read);
  Reindex(0);
  return message;
}

}  // namespace QueueManager
