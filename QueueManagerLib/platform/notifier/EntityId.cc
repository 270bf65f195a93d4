#include "QueueManager/Platform/EntityId.h"

#include <map>
#include <ostream>
#include <string>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"

namespace W4Notifier {
namespace {

constexpr char16_t kScopeSeparator = u':';
constexpr char16_t kNumberMark = u'#';

// Names of the named entities built in this process, so that an entity that
// arrives as (type, id) still shows its name. Only grows; bounded by the
// names the process itself uses.
class NameRegistry {
 public:
  static NameRegistry& Instance() {
    static NameRegistry* registry = new NameRegistry;  // never destroyed: used at exit
    return *registry;
  }

  void Remember(ObjectTypes type, std::uint32_t id, const W4STD::w4idstring& name) {
    W4Os::MutexLock lock(&mutex_);
    names_.try_emplace({type, id}, name);
  }

  std::optional<W4STD::w4idstring> Find(ObjectTypes type, std::uint32_t id) {
    W4Os::MutexLock lock(&mutex_);
    auto it = names_.find({type, id});
    if (it == names_.end()) return std::nullopt;
    return it->second;
  }

 private:
  W4Os::Mutex mutex_;
  std::map<std::pair<ObjectTypes, std::uint32_t>, W4STD::w4idstring> names_ QM_GUARDED_BY(mutex_);
};

std::optional<std::uint32_t> ParseObjectNumber(std::u16string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::uint32_t CEntityId::ObjectIdFromName(std::u16string_view name) {
  // FNV-1a over the lower-case code units, low byte first.
  std::uint32_t hash = 2166136261u;
  for (char16_t c : name) {
    const char16_t lower = W4Os::ToLower(c);
    hash = (hash ^ (lower & 0xFFu)) * 16777619u;
    hash = (hash ^ (lower >> 8)) * 16777619u;
  }
  if (hash == 0) return 1;
  if (hash == kAllObjects) return kAllObjects - 1;
  return hash;
}

CEntityId::CEntityId(ObjectTypes type, std::uint32_t objectId, int options)
    : type_(type), objectId_(objectId), options_(options), set_(true) {}

CEntityId::CEntityId(ObjectTypes type, const W4STD::w4idstring_arg& name, int options)
    : type_(type), options_(options) {
  const W4STD::w4idstring& text = name.get();
  if (text.empty()) return;
  objectId_ = ObjectIdFromName(text.str());
  set_ = true;
  NameRegistry::Instance().Remember(type_, objectId_, text);
}

W4STD::w4idstring CEntityId::QueryScopedName() const {
  if (!set_) return {};
  std::u16string scoped = GetNotifierObjectTypeName(type_).str();
  scoped += kScopeSeparator;
  if (auto name = NameRegistry::Instance().Find(type_, objectId_)) {
    scoped += name->str();
  } else {
    scoped += kNumberMark;
    for (char c : std::to_string(objectId_)) scoped += static_cast<char16_t>(c);
  }
  return W4STD::w4idstring(std::move(scoped));
}

bool CEntityId::SetFromScopedName(const W4STD::w4idstring_arg& scopedName) {
  const std::u16string_view text = scopedName.get().str();
  const std::size_t colon = text.find(kScopeSeparator);
  std::optional<ObjectTypes> type;
  if (colon != std::u16string_view::npos && colon > 0)
    type = ObjectTypeFromName(text.substr(0, colon));
  const std::u16string_view name =
      colon == std::u16string_view::npos ? std::u16string_view{} : text.substr(colon + 1);
  if (!type || name.empty()) {
    Reset();
    return false;
  }
  if (name.front() == kNumberMark) {
    if (auto number = ParseObjectNumber(name.substr(1))) {
      *this = CEntityId(*type, *number, options_);
      return true;
    }
  }
  *this = CEntityId(*type, W4STD::w4idstring(name), options_);
  return true;
}

void CEntityId::Reset() { *this = CEntityId(); }

std::ostream& operator<<(std::ostream& out, const CEntityId& entity) {
  if (!entity.IsSet()) return out << "<unset>";
  return out << entity.QueryScopedName().narrow();
}

}  // namespace W4Notifier
