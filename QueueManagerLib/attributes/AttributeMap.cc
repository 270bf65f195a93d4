// Attributes and attribute maps: the sorted array of pooled nodes and its
// message form.

#include "QueueManager/AttributeMap.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>

#include "attributes/Catalogue.h"
#include "attributes/NameInPlace.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// Wire sizes: a tag byte and a 4-byte payload for an int, a tag byte and a
// 4-byte length before the code units of a wide text.
constexpr std::size_t kIntFieldBytes = 5;
constexpr std::size_t kTextFieldBytes = 5;
// The least an entry occupies: a number and an empty value.
constexpr std::size_t kMinEntryBytes = kIntFieldBytes + kTextFieldBytes;

// A block holds at most this many nodes. A decode reserves nodes ahead of
// the entries it has read, and this keeps a hostile count from reserving more
// than about 20 KiB ahead; a large map pays one allocation per 256 entries,
// nothing beside the entries themselves.
constexpr std::size_t kMaxBlockNodes = 256;
// Maps that grow by insertion add blocks of a quarter of their size, at least
// this many nodes: few allocations, and little spare room in a decoded map
// that later gains a name or two.
constexpr std::size_t kMinGrowthNodes = 2;

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

}  // namespace

CQmAttributeName ReadNameInPlace(const CMessage& message, std::u16string& scratch) {
  std::int32_t number = eNonStandardAttribute;
  message >> number;
  if (number != eNonStandardAttribute) return CQmAttributeName(static_cast<eAttributeName>(number));
  message >> scratch;
  // Takes the string only when the name stays custom.
  return CQmAttributeName(std::move(scratch));
}

std::ostream& operator<<(std::ostream& out, const CQmAttribute& attribute) {
  return out << attribute.QueryName() << '=' << attribute.QueryValue();
}

// The head of a block; its nodes follow at kBlockHeaderBytes.
struct CQmAttributeMap::Block {
  Block* next;
};

namespace {
template <class Node, class Block>
constexpr std::size_t BlockHeaderBytes() {
  static_assert(alignof(Node) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  return (sizeof(Block) + alignof(Node) - 1) / alignof(Node) * alignof(Node);
}
}  // namespace

// ---- the node array ----

void CQmAttributeMap::Nodes::insert(std::size_t position, Node* node) {
  std::memmove(data_ + position + 1, data_ + position, (size_ - position) * sizeof(Node*));
  data_[position] = node;
  ++size_;
}

void CQmAttributeMap::Nodes::erase(std::size_t position) {
  std::memmove(data_ + position, data_ + position + 1, (size_ - position - 1) * sizeof(Node*));
  --size_;
}

void CQmAttributeMap::Nodes::reserve(std::size_t count) {
  if (count <= capacity_) return;
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(Node*)) {
    throw std::length_error("attribute map too large");
  }
  Node** storage = static_cast<Node**>(::operator new(count * sizeof(Node*)));
  MoveTo(storage, count);
  owned_ = true;
}

void CQmAttributeMap::Nodes::MoveTo(Node** storage, std::size_t count) {
  if (size_ != 0) std::memcpy(storage, data_, size_ * sizeof(Node*));
  if (owned_) ::operator delete(data_);
  data_ = storage;
  capacity_ = count;
  owned_ = false;
}

void CQmAttributeMap::Nodes::Reset() noexcept {
  if (owned_) ::operator delete(data_);
  data_ = nullptr;
  size_ = capacity_ = 0;
  owned_ = false;
}

// ---- the node pool ----

void CQmAttributeMap::AddBlock(std::size_t count, std::size_t indexSlots) {
  constexpr std::size_t kHeader = BlockHeaderBytes<Node, Block>();
  static_assert(alignof(Node) % alignof(Node*) == 0, "the node array follows the nodes");
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max() - kHeader;
  if (count > kMax / sizeof(Node) || indexSlots > (kMax - count * sizeof(Node)) / sizeof(Node*)) {
    throw std::length_error("attribute map too large");
  }
  char* raw = static_cast<char*>(
      ::operator new(kHeader + count * sizeof(Node) + indexSlots * sizeof(Node*)));
  blocks_ = ::new (raw) Block{blocks_};
  if (indexSlots != 0) {
    nodes_.MoveTo(reinterpret_cast<Node**>(raw + kHeader + count * sizeof(Node)), indexSlots);
  }
  // Pushed last first, so that the nodes are handed out in address order and
  // a map filled in order lies in order in memory.
  for (std::size_t i = count; i-- > 0;) {
    Node* node = ::new (raw + kHeader + i * sizeof(Node)) Node;
    node->nextFree = free_;
    free_ = node;
  }
}

template <class Name, class Value>
CQmAttributeMap::Node* CQmAttributeMap::NewNode(std::size_t blockNodes, Name&& name,
                                                Value&& value) {
  if (free_ == nullptr) AddBlock(blockNodes);
  Node* node = free_;
  // Built before it leaves the free list: if building throws, the node is
  // still free.
  std::construct_at(&node->entry, std::forward<Name>(name), std::forward<Value>(value));
  free_ = node->nextFree;
  return node;
}

void CQmAttributeMap::FreeNode(Node* node) noexcept {
  std::destroy_at(&node->entry);
  node->nextFree = free_;
  free_ = node;
}

void CQmAttributeMap::Release() noexcept {
  for (Node* node : nodes_) std::destroy_at(&node->entry);
  nodes_.Reset();  // before the block that may hold its storage goes
  free_ = nullptr;
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ::operator delete(blocks_);
    blocks_ = next;
  }
}

void CQmAttributeMap::clear() noexcept {
  // Last first, so that the nodes come back in their old order.
  for (std::size_t i = nodes_.size(); i-- > 0;) FreeNode(nodes_[i]);
  nodes_.clear();
}

void CQmAttributeMap::reserve(size_type entries) {
  nodes_.reserve(entries);
  std::size_t spare = 0;
  for (const Node* node = free_; node != nullptr && size() + spare < entries;
       node = node->nextFree) {
    ++spare;
  }
  if (size() + spare < entries) AddBlock(entries - size() - spare);
}

void CQmAttributeMap::MakeRoomForOneMore() {
  if (nodes_.size() == nodes_.capacity()) {
    nodes_.reserve(std::max<std::size_t>(4, 2 * nodes_.size()));
  }
}

// ---- copying and moving ----

// Delegates, so that the destructor cleans up should an entry fail to copy.
CQmAttributeMap::CQmAttributeMap(const CQmAttributeMap& other) : CQmAttributeMap() {
  if (other.empty()) return;
  AddBlock(other.size(), other.size());
  for (const Node* from : other.nodes_) {
    Node* node = NewNode(0, from->entry.first, from->entry.second);
    node->index = nodes_.size();
    nodes_.push_back(node);
  }
}

CQmAttributeMap::CQmAttributeMap(CQmAttributeMap&& other) noexcept
    : nodes_(std::move(other.nodes_)),
      blocks_(std::exchange(other.blocks_, nullptr)),
      free_(std::exchange(other.free_, nullptr)) {}

CQmAttributeMap& CQmAttributeMap::operator=(const CQmAttributeMap& other) {
  if (this != &other) {
    CQmAttributeMap copy(other);
    swap(copy);
  }
  return *this;
}

CQmAttributeMap& CQmAttributeMap::operator=(CQmAttributeMap&& other) noexcept {
  if (this != &other) {
    Release();
    nodes_ = std::move(other.nodes_);
    blocks_ = std::exchange(other.blocks_, nullptr);
    free_ = std::exchange(other.free_, nullptr);
  }
  return *this;
}

CQmAttributeMap::~CQmAttributeMap() { Release(); }

// ---- lookup and insertion ----

std::size_t CQmAttributeMap::LowerBound(const CQmAttributeName& name) const {
  const auto at = std::lower_bound(
      nodes_.begin(), nodes_.end(), name,
      [](const Node* node, const CQmAttributeName& key) { return node->entry.first < key; });
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
  MakeRoomForOneMore();  // then inserting the pointer cannot throw
  Node* node = NewNode(std::clamp(nodes_.size() / 4, kMinGrowthNodes, kMaxBlockNodes), name,
                       std::move(value));
  nodes_.insert(at, node);
  Reindex(at);
  return node->entry.second;
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
  erase(const_iterator(&nodes_, nodes_[at]));
  return 1;
}

CQmAttributeMap::iterator CQmAttributeMap::erase(const_iterator position) {
  const std::size_t at = position.Position();
  Node* node = nodes_[at];
  nodes_.erase(at);
  FreeNode(node);
  Reindex(at);
  return iterator(&nodes_, NodeAt(at));
}

bool CQmAttributeMap::operator==(const CQmAttributeMap& other) const {
  // Entry by entry in map order: names as names compare (custom ones without
  // regard to letter case), values code unit by code unit.
  return std::equal(nodes_.begin(), nodes_.end(), other.nodes_.begin(), other.nodes_.end(),
                    [](const Node* a, const Node* b) { return a->entry == b->entry; });
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
  try {
    std::u16string nameText;
    bool inOrder = true;
    for (std::int32_t i = 0; i < count; ++i) {
      CQmAttributeName name = ReadNameInPlace(message, nameText);
      std::u16string text;
      message >> text;
      if (!nodes_.empty() && !(nodes_.back()->entry.first < name)) inOrder = false;
      if (free_ == nullptr) {
        // A block for the entries still to come, as many as the message can
        // still hold (every entry takes at least kMinEntryBytes): one block
        // for a typical map. The first block also carries the node array
        // for its nodes; a larger map grows the array on its own.
        const std::size_t blockNodes =
            std::min({static_cast<std::size_t>(count - i),
                      message.RemainingBytes() / kMinEntryBytes + 1, kMaxBlockNodes});
        AddBlock(blockNodes, nodes_.capacity() < blockNodes ? blockNodes : 0);
      }
      MakeRoomForOneMore();
      Node* node = NewNode(0, std::move(name), CQmAttributeValue(std::move(text)));
      node->index = nodes_.size();
      nodes_.push_back(node);
    }
    if (!inOrder) {
      // Sorted once, rather than each entry inserted at its place: the
      // stable sort leaves the entries of one name in arrival order, the
      // first keeps its spelling and takes the value of the last.
      std::stable_sort(nodes_.begin(), nodes_.end(), [](const Node* a, const Node* b) {
        return a->entry.first < b->entry.first;
      });
      // Nothing below throws: a node is either kept or freed, never both.
      static_assert(std::is_nothrow_move_assignable_v<CQmAttributeValue>);
      std::size_t kept = 0;
      for (std::size_t i = 0; i < nodes_.size(); ++i) {
        Node* node = nodes_[i];
        if (kept != 0 && !(nodes_[kept - 1]->entry.first < node->entry.first)) {
          nodes_[kept - 1]->entry.second = std::move(node->entry.second);
          FreeNode(node);
        } else {
          nodes_[kept++] = node;
        }
      }
      nodes_.shrink(kept);
      Reindex(0);
    }
  } catch (...) {
    // Whatever was read goes back to the free list: the map stays empty.
    clear();
    throw;
  }
  return message;
}

}  // namespace QueueManager
