// Encoding and decoding of a typical attribute map through notifier messages,
// against a minimal hand-written codec of the same content in the same
// binary: the baseline shows what the message layer and name resolution cost
// on top of copying the bytes.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/Message.h"

namespace {

using QueueManager::CQmAttributeMap;
using QueueManager::CQmAttributeName;
using QueueManager::eAttributeName;
using W4Notifier::CMessage;

// A value of `length` code units, one in nine outside ASCII.
std::u16string MakeValue(std::size_t length, int seed) {
  std::u16string value;
  for (std::size_t j = 0; j < length; ++j) {
    value.push_back(j % 9 == 8 ? u'\u00e9' : static_cast<char16_t>(u'a' + (seed + j) % 26));
  }
  return value;
}

// Ten entries: six standard names sent by number, one standard name sent by
// text and three custom names, with values of 10 to 40 code units.
CQmAttributeMap MakeTypicalMap() {
  const CQmAttributeName names[] = {
      QueueManager::Xan_AcdCategory,
      QueueManager::Xan_AssignedWorkgroup,
      QueueManager::Xan_AccountCode,
      QueueManager::Xan_CallStateString,
      QueueManager::Xan_State,
      QueueManager::Xan_CallState,
      CQmAttributeName(u"Xan_RecordLengthMillisec"),
      CQmAttributeName(u"CustomerTier"),
      CQmAttributeName(u"Campaign_Code"),
      CQmAttributeName(u"PreferredAgentName"),
  };
  CQmAttributeMap map;
  int i = 0;
  for (const CQmAttributeName& name : names) {
    map.insert(name, MakeValue(10 + static_cast<std::size_t>(i * 7) % 31, i));
    ++i;
  }
  return map;
}

// ---- baseline: a tagged codec written for this content alone ----

struct BaselineEntry {
  std::int32_t number;
  std::u16string name;
  std::u16string value;
};

constexpr std::uint8_t kBaselineInt = 1;
constexpr std::uint8_t kBaselineText = 9;

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                 static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 24)};
  out.insert(out.end(), bytes, bytes + 4);
}

void PutInt(std::vector<std::uint8_t>& out, std::int32_t v) {
  out.push_back(kBaselineInt);
  PutU32(out, static_cast<std::uint32_t>(v));
}

// UTF-16 code units as little-endian bytes: a plain copy on this host.
static_assert(std::endian::native == std::endian::little, "the baseline copies code units as is");

void PutText(std::vector<std::uint8_t>& out, const std::u16string& text) {
  out.push_back(kBaselineText);
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  out.insert(out.end(), bytes, bytes + 2 * text.size());
}

std::vector<std::uint8_t> BaselineEncode(const std::vector<BaselineEntry>& entries) {
  std::size_t size = 5;
  for (const BaselineEntry& e : entries) size += 5 + 5 + 2 * e.value.size() + 5 + 2 * e.name.size();
  std::vector<std::uint8_t> out;
  out.reserve(size);
  PutInt(out, static_cast<std::int32_t>(entries.size()));
  for (const BaselineEntry& e : entries) {
    PutInt(out, e.number);
    if (e.number == -1) PutText(out, e.name);
    PutText(out, e.value);
  }
  return out;
}

// Bounds-checked reading of the baseline's fields.
class BaselineReader {
 public:
  explicit BaselineReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  std::int32_t Int() {
    Expect(kBaselineInt, 4);
    const std::int32_t v = static_cast<std::int32_t>(U32At(pos_ + 1));
    pos_ += 5;
    return v;
  }
  void Text(std::u16string& text) {
    Expect(kBaselineText, 4);
    const std::size_t length = U32At(pos_ + 1);
    if (length > (bytes_.size() - pos_ - 5) / 2) throw std::runtime_error("text truncated");
    text.resize(length);
    if (length != 0) std::memcpy(text.data(), bytes_.data() + pos_ + 5, 2 * length);
    pos_ += 5 + 2 * length;
  }
  std::size_t Remaining() const { return bytes_.size() - pos_; }

 private:
  void Expect(std::uint8_t tag, std::size_t payload) const {
    if (Remaining() < 1 + payload || bytes_[pos_] != tag) throw std::runtime_error("bad field");
  }
  std::uint32_t U32At(std::size_t at) const {
    return static_cast<std::uint32_t>(bytes_[at]) |
           static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes_[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
  }

  const std::vector<std::uint8_t>& bytes_;
  std::size_t pos_ = 0;
};

std::vector<BaselineEntry> BaselineDecode(const std::vector<std::uint8_t>& bytes) {
  BaselineReader reader(bytes);
  const std::int32_t count = reader.Int();
  std::vector<BaselineEntry> entries;
  if (count <= 0) return entries;
  entries.reserve(std::min(static_cast<std::size_t>(count), reader.Remaining() / 10));
  for (std::int32_t i = 0; i < count; ++i) {
    BaselineEntry& e = entries.emplace_back();
    e.number = reader.Int();
    if (e.number == -1) reader.Text(e.name);
    reader.Text(e.value);
  }
  return entries;
}

std::vector<BaselineEntry> ToBaseline(const CQmAttributeMap& map) {
  std::vector<BaselineEntry> entries;
  for (const auto& [name, value] : map) {
    const bool byNumber = name.IsSentByNumber();
    entries.push_back({byNumber ? name.QueryW4AttributeName() : QueueManager::eNonStandardAttribute,
                       byNumber ? std::u16string() : name.DisplayName(), value.QueryString()});
  }
  return entries;
}

void Report(benchmark::State& state, std::size_t bytesPerMap) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytesPerMap));
}

// ---- the benchmarks ----

void BM_MapEncode(benchmark::State& state) {
  const CQmAttributeMap map = MakeTypicalMap();
  std::size_t bodySize = 0;
  for (auto _ : state) {
    CMessage message;
    map.Write(message);
    bodySize = message.BodySize();
    benchmark::DoNotOptimize(message);
  }
  Report(state, bodySize);
}
BENCHMARK(BM_MapEncode);

void BM_MapDecode(benchmark::State& state) {
  CMessage message;
  MakeTypicalMap().Write(message);
  for (auto _ : state) {
    message.Rewind();
    CQmAttributeMap map;
    map.Read(message);
    benchmark::DoNotOptimize(map);
  }
  Report(state, message.BodySize());
}
BENCHMARK(BM_MapDecode);

void BM_BaselineEncode(benchmark::State& state) {
  const std::vector<BaselineEntry> entries = ToBaseline(MakeTypicalMap());
  CMessage message;
  MakeTypicalMap().Write(message);
  const auto body = message.BodyBytes();
  if (BaselineEncode(entries) != std::vector<std::uint8_t>(body.begin(), body.end())) {
    state.SkipWithError("the baseline does not encode the same bytes");
    return;
  }
  std::size_t size = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> bytes = BaselineEncode(entries);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes);
  }
  Report(state, size);
}
BENCHMARK(BM_BaselineEncode);

void BM_BaselineDecode(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = BaselineEncode(ToBaseline(MakeTypicalMap()));
  for (auto _ : state) {
    std::vector<BaselineEntry> entries = BaselineDecode(bytes);
    benchmark::DoNotOptimize(entries);
  }
  Report(state, bytes.size());
}
BENCHMARK(BM_BaselineDecode);

}  // namespace
