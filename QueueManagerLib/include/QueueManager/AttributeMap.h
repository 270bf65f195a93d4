#pragma once

// Attributes (a name with its value) and attribute maps, the unit in which
// attribute sets travel between the library and the server.

#include <compare>
#include <cstddef>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

/// One attribute: a name and its value. A plain value type: copies are deep
/// and distinct objects may be used from different threads.
class QM_EXPORT CQmAttribute {
 public:
  /// The empty attribute; a name with the empty value; a name with a value.
  ///@{
  CQmAttribute() = default;
  CQmAttribute(const CQmAttributeName& name) : name_(name) {}
  CQmAttribute(const CQmAttributeName& name, const CQmAttributeValue& value)
      : name_(name), value_(value) {}
  ///@}
  /// The name resolved from text as CQmAttributeName does.
  CQmAttribute(const W4STD::w4idstring_arg& name, const std::u16string& value)
      : name_(name), value_(value) {}
  /// Both as literals (u"Xan_State", u"C"): the two forms above would both
  /// fit. A null pointer gives the empty name or value.
  CQmAttribute(const char16_t* name, const char16_t* value) : name_(name), value_(value) {}

  /// Exchanges names and values.
  ///@{
  void swap(CQmAttribute& other) noexcept {
    name_.swap(other.name_);
    value_.swap(other.value_);
  }
  ///@}

  /// The name, the value, and the name's display and key forms.
  ///@{
  const CQmAttributeName& QueryName() const { return name_; }
  const CQmAttributeValue& QueryValue() const { return value_; }
  const std::u16string& DisplayName() const { return name_.DisplayName(); }
  std::u16string key() const { return name_.key(); }
  ///@}

  /// Orders by name only.
  bool operator<(const CQmAttribute& other) const { return name_ < other.name_; }

 private:
  CQmAttributeName name_;
  CQmAttributeValue value_;
};

/// name=value, each as its own stream output writes it.
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmAttribute& attribute);

/// An ordered map from attribute name to value with at most one value per name
/// (names that differ only in letter case are one key; the first spelling is
/// kept). Iteration gives custom names first, by case-insensitive text, then
/// standard names by ascending number. A plain value type: copies are deep and
/// distinct objects may be used from different threads.
///
/// As in any ordered map, references, pointers and iterators to an entry stay
/// valid while other entries are inserted or erased: callers keep the value
/// that operator[] returns while they fill in more. Each entry is a node of
/// its own, and a sorted array of the nodes gives binary-search lookups and
/// random-access iterators. Swapping or moving maps (move-assignment
/// included) keeps the references to values, which follow their entries into
/// the other map, but not the iterators; a copy has nodes of its own.
///
/// The nodes come from blocks the map owns, so that a map costs a block or two
/// rather than one allocation per entry: a decoded or copied map takes one
/// block of the size it needs; an erased entry's node waits on the map's free
/// list for the next insertion; the blocks go when the map goes (clear keeps
/// them, as a vector keeps its capacity).
class QM_EXPORT CQmAttributeMap {
  struct Node;
  struct Block;
  class Nodes;

 public:
  /// The standard container types.
  ///@{
  using key_type = CQmAttributeName;
  using mapped_type = CQmAttributeValue;
  using value_type = std::pair<const CQmAttributeName, CQmAttributeValue>;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  ///@}

  /// Random access over the entries in map order; holds its entry's node, so
  /// it follows that entry when others are inserted or erased.
  template <bool kConst>
  class Iterator {
   public:
    /// The standard iterator types.
    ///@{
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;
    using value_type = CQmAttributeMap::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = std::conditional_t<kConst, const value_type*, value_type*>;
    using reference = std::conditional_t<kConst, const value_type&, value_type&>;
    ///@}

    Iterator() = default;
    /// An iterator converts to a const_iterator, not the other way round.
    template <bool kOther>
    requires(kConst && !kOther) Iterator(const Iterator<kOther>& other)
        : nodes_(other.nodes_), node_(other.node_) {}

    /// REQUIRES: the iterator is dereferenceable (not end()).
    /// The standard random-access iterator operations; dereferencing REQUIRES a dereferenceable
    /// iterator (not end()).
    ///@{
    reference operator*() const { return Entry(); }
    pointer operator->() const { return &Entry(); }
    reference operator[](difference_type n) const { return *(*this + n); }

    Iterator& operator+=(difference_type n) {
      node_ = At(static_cast<std::size_t>(static_cast<difference_type>(Position()) + n));
      return *this;
    }
    Iterator& operator-=(difference_type n) { return *this += -n; }
    Iterator& operator++() { return *this += 1; }
    Iterator& operator--() { return *this += -1; }
    Iterator operator++(int) {
      Iterator old = *this;
      ++*this;
      return old;
    }
    Iterator operator--(int) {
      Iterator old = *this;
      --*this;
      return old;
    }
    friend Iterator operator+(Iterator it, difference_type n) { return it += n; }
    friend Iterator operator+(difference_type n, Iterator it) { return it += n; }
    friend Iterator operator-(Iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) {
      return static_cast<difference_type>(a.Position()) -
             static_cast<difference_type>(b.Position());
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.node_ == b.node_; }
    friend auto operator<=>(const Iterator& a, const Iterator& b) {
      return a.Position() <=> b.Position();
    }

    ///@}
   private:
    friend class CQmAttributeMap;
    friend class Iterator<!kConst>;
    using NodesRef = std::conditional_t<kConst, const Nodes*, Nodes*>;

    Iterator(NodesRef nodes, Node* node) : nodes_(nodes), node_(node) {}
    /// The end iterator holds no node.
    std::size_t Position() const {
      if (node_ != nullptr) return node_->index;
      return nodes_ != nullptr ? nodes_->size() : 0;
    }
    /// Dereferencing end() is undefined, as for any container; saying so
    /// keeps the compiler from warning of a null node in algorithms.
    value_type& Entry() const {
      if (node_ == nullptr) __builtin_unreachable();
      return node_->entry;
    }
    Node* At(std::size_t position) const {
      return position < nodes_->size() ? (*nodes_)[position] : nullptr;
    }

    NodesRef nodes_ = nullptr;
    Node* node_ = nullptr;
  };
  /// Iterators in map order.
  ///@{
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;
  ///@}

  /// Copies are deep; a moved-from map is empty.
  ///@{
  CQmAttributeMap() = default;
  CQmAttributeMap(const CQmAttributeMap& other);
  /// Takes the other map's blocks: its entries keep their addresses.
  CQmAttributeMap(CQmAttributeMap&& other) noexcept;
  CQmAttributeMap& operator=(const CQmAttributeMap& other);
  CQmAttributeMap& operator=(CQmAttributeMap&& other) noexcept;
  ~CQmAttributeMap();
  ///@}

  /// Exchanges the entries (no entry is copied).
  ///@{
  void swap(CQmAttributeMap& other) noexcept {
    nodes_.swap(other.nodes_);
    std::swap(blocks_, other.blocks_);
    std::swap(free_, other.free_);
  }
  ///@}

  /// Store the value under the name; the new value always replaces an old one.
  ///@{
  void insert(const CQmAttribute& attribute);
  void insert(const CQmAttributeName& name, const CQmAttributeValue& value);
  void insert(const CQmAttributeName& name, CQmAttributeValue&& value);
  void insert(const CQmAttributeName& name, const std::u16string& value);
  /// Zero-terminated wide text; a null pointer stores the empty value.
  void insert(const CQmAttributeName& name, const char16_t* value);
  void insert(const CQmAttributeName& name, const std::string& utf8);
  void insert(const CQmAttributeName& name, const char* utf8);
  ///@}

  /// The value under the standard name `number`, added empty when absent.
  ///@{
  CQmAttributeValue& operator[](eAttributeName number);
  CQmAttributeValue& operator[](const CQmAttributeName& name);
  ///@}
  /// The stored value, or a shared empty value when absent; never inserts.
  const CQmAttributeValue& Query(const CQmAttributeName& name) const;

  /// The standard map operations by name.
  ///@{
  iterator find(const CQmAttributeName& name);
  const_iterator find(const CQmAttributeName& name) const;
  size_type count(const CQmAttributeName& name) const { return find(name) != end() ? 1 : 0; }
  size_type erase(const CQmAttributeName& name);
  /// REQUIRES: `position` is a dereferenceable iterator of this map.
  iterator erase(const_iterator position);
  void clear() noexcept;
  size_type size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  ///@}
  /// Room for `entries` in all, nodes included.
  void reserve(size_type entries);

  /// The entries in map order.
  ///@{
  iterator begin() { return iterator(&nodes_, NodeAt(0)); }
  iterator end() { return iterator(&nodes_, nullptr); }
  const_iterator begin() const { return const_iterator(&nodes_, NodeAt(0)); }
  const_iterator end() const { return const_iterator(&nodes_, nullptr); }
  ///@}

  /// Same size and, entry by entry, equal names and values (values compared
  /// with letter case).
  ///@{
  bool operator==(const CQmAttributeMap& other) const;
  bool operator!=(const CQmAttributeMap& other) const { return !(*this == other); }
  ///@}

  /// The wire form: int count, then each entry's name and value. A value is
  /// written as zero-terminated wide text, so one that holds U+0000 arrives
  /// cut at its first U+0000 (the zero is the text's end on the wire).
  /// Write reserves the room it needs in the message first.
  W4Notifier::CMessage& Write(W4Notifier::CMessage& message) const;
  /// Empties the map, then reads the count and that many entries; a count of
  /// 0 or less gives the empty map and reads nothing more. Entries may arrive
  /// in any order: a name read twice keeps the value read last and the
  /// spelling read first; a value is kept as read, U+0000 included. Throws
  /// CNotifierExtractException on a malformed or truncated message and then
  /// leaves the map empty, never half-filled; the message's read position is
  /// then after the last field read whole. Memory grows with the entries
  /// present, never with the count claimed.
  const W4Notifier::CMessage& Read(const W4Notifier::CMessage& message);

 private:
  /// A slot of a block: holds an entry while it is in nodes_, and is on the
  /// free list otherwise. Neither union is set up by the node itself: the map
  /// constructs and destroys the entry.
  struct Node {
    Node() noexcept {}
    ~Node() {}
    union {
      value_type entry;
    };
    union {
      std::size_t index;  ///< in use: the node's position in nodes_, kept current
      Node* nextFree;     ///< free: the next free node
    };
  };

  /// The sorted array of the nodes in use. Its storage is either its own or
  /// lies at the end of a block of the map (so a decoded or copied map takes
  /// its nodes and their array in one allocation); the map keeps that block
  /// until it has no use for the array.
  class Nodes {
   public:
    Nodes() = default;
    Nodes(Nodes&& other) noexcept { swap(other); }
    Nodes& operator=(Nodes&& other) noexcept {
      Nodes(std::move(other)).swap(*this);
      return *this;
    }
    ~Nodes() { Reset(); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    Node* operator[](std::size_t position) const { return data_[position]; }
    Node*& operator[](std::size_t position) { return data_[position]; }
    Node** begin() const { return data_; }
    Node** end() const { return data_ + size_; }
    Node* back() const { return data_[size_ - 1]; }

    /// REQUIRES: size() < capacity().
    void push_back(Node* node) { data_[size_++] = node; }
    /// REQUIRES: size() < capacity(); position <= size().
    void insert(std::size_t position, Node* node);
    /// REQUIRES: position < size().
    void erase(std::size_t position);
    /// REQUIRES: count <= size().
    void shrink(std::size_t count) { size_ = count; }
    void clear() { size_ = 0; }
    /// Room for `count` nodes in storage of its own.
    void reserve(std::size_t count);
    /// Moves the nodes into `storage`, room for `count` nodes that the map
    /// owns. REQUIRES: count >= size().
    void MoveTo(Node** storage, std::size_t count);
    /// Empty, with no storage; frees storage of its own.
    void Reset() noexcept;
    void swap(Nodes& other) noexcept {
      std::swap(data_, other.data_);
      std::swap(size_, other.size_);
      std::swap(capacity_, other.capacity_);
      std::swap(owned_, other.owned_);
    }

   private:
    Node** data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool owned_ = false;
  };

  Node* NodeAt(std::size_t position) const {
    return position < nodes_.size() ? nodes_[position] : nullptr;
  }
  /// A new block of `count` nodes, all put on the free list, followed by room
  /// for `indexSlots` node pointers that nodes_ moves into.
  void AddBlock(std::size_t count, std::size_t indexSlots = 0);
  /// A free node holding value_type(name, value), taken off the free list
  /// only once the entry is built; adds a block of `blockNodes` when none is
  /// free.
  template <class Name, class Value>
  Node* NewNode(std::size_t blockNodes, Name&& name, Value&& value);
  /// Destroys the node's entry and puts the node on the free list.
  void FreeNode(Node* node) noexcept;
  /// Destroys every entry and frees every block.
  void Release() noexcept;
  /// Grows nodes_ ahead of an insertion, so that the insertion cannot throw
  /// once a node is taken.
  void MakeRoomForOneMore();
  /// The position of the first entry not ordered before `name`.
  std::size_t LowerBound(const CQmAttributeName& name) const;
  /// The position of the entry under `name`, or size().
  std::size_t Find(const CQmAttributeName& name) const;
  /// Stores `value` under `name` (keeping the spelling of an entry already
  /// there) and returns the stored value.
  CQmAttributeValue& Store(const CQmAttributeName& name, CQmAttributeValue&& value);
  /// Renumbers the nodes from `position` on after an insertion or erasure.
  void Reindex(std::size_t position);
  /// An upper bound of the bytes that Write appends.
  std::size_t EncodedSizeBound() const;

  Nodes nodes_;
  Block* blocks_ = nullptr;
  Node* free_ = nullptr;
};

inline void swap(CQmAttributeMap& a, CQmAttributeMap& b) noexcept { a.swap(b); }

}  // namespace QueueManager
