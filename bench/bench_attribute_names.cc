// Attribute names: resolution of text against the key catalogue, compared
// with a gperf perfect hash of the same 333 texts built into this program;
// names as keys of ordered and hashed containers; the message form.
//
// BM_ResolveRatio/<mix> reports `ratio`: the time of the library's resolution
// divided by gperf's for the same texts (narrow text for gperf, as it takes it).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/Message.h"
#include "attributes/Catalogue.h"

// gperf's output triggers warnings that the project turns into errors.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include "gperf/attribute_keys_gperf.h"
#pragma GCC diagnostic pop

namespace {

using QueueManager::CQmAttributeName;
using QueueManager::eAttributeName;
namespace Catalogue = QueueManager::Catalogue;

// ---- Text mixes --------------------------------------------------------------------

enum Mix { kCanonical, kAliases, kCustom, kAll };

std::u16string SwapCase(std::u16string_view text) {
  std::u16string swapped(text);
  for (char16_t& c : swapped) {
    const char16_t lower = W4Os::ToLower(c);
    c = lower != c ? lower : W4Os::ToUpper(c);
  }
  return swapped;
}

std::vector<std::u16string> CanonicalTexts() {
  std::vector<std::u16string> texts;
  for (const Catalogue::KeyInfo& key : Catalogue::AllKeys()) texts.emplace_back(key.key);
  return texts;
}

// Aliases as applications misspell them: swapped and lower case.
std::vector<std::u16string> AliasTexts() {
  std::vector<std::u16string> texts = {u"cALLsTATE", u"conference chat"};
  for (const Catalogue::AliasInfo& alias : Catalogue::AllAliases()) {
    texts.push_back(SwapCase(alias.text));
    texts.push_back(W4Os::ToLowerCopy(alias.text));
  }
  return texts;
}

// Names that applications define: none of them is in the catalogue.
std::vector<std::u16string> CustomTexts() {
  std::vector<std::u16string> texts = {u"CustomerId",
                                       u"Crm_CaseNumber",
                                       u"Priority",
                                       u"Account.Region:Code",
                                       u"Language2",
                                       u"Xan_State2",
                                       u"Xan_CallStat",
                                       u"Survey Score",
                                       u"IVR_MenuPath",
                                       u"AcmeIntegration_VeryLongAttributeNameBeyondAnyKey",
                                       u"Xan_MyCompanySpecificCallAttribute",
                                       u"x"};
  for (int i = 0; i < 20; ++i) texts.push_back(u"Custom_Attribute_" + std::u16string(1, u'A' + i));
  return texts;
}

std::vector<std::u16string> Texts(Mix mix) {
  switch (mix) {
    case kCanonical:
      return CanonicalTexts();
    case kAliases:
      return AliasTexts();
    case kCustom:
      return CustomTexts();
    case kAll:
      break;
  }
  std::vector<std::u16string> all = CanonicalTexts();
  for (auto& more : {AliasTexts(), CustomTexts()}) all.insert(all.end(), more.begin(), more.end());
  return all;
}

std::vector<std::string> Narrow(const std::vector<std::u16string>& texts) {
  std::vector<std::string> narrow;
  for (const std::u16string& text : texts) narrow.push_back(W4Os::WideToNarrowLossy(text));
  return narrow;
}

// ---- The two lookups -----------------------------------------------------------------

int GperfResolve(const std::string& text) {
  const GperfAttributeKey* found = GperfAttributeKeys::Find(text.data(), text.size());
  return found != nullptr ? found->number : -1;
}

// The keyword file is kept by hand: check that it says what the catalogue says.
bool GperfAgreesWithCatalogue() {
  static const bool agrees = [] {
    const std::vector<std::u16string> texts = Texts(kAll);
    const std::vector<std::string> narrow = Narrow(texts);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (GperfResolve(narrow[i]) != Catalogue::Resolve(texts[i])) return false;
    }
    return true;
  }();
  return agrees;
}

const char* MixLabel(Mix mix) {
  static const char* const labels[] = {"canonical keys", "aliases, odd case", "custom names",
                                       "all"};
  return labels[mix];
}

void BM_ResolveOurs(benchmark::State& state) {
  const Mix mix = static_cast<Mix>(state.range(0));
  const std::vector<std::u16string> texts = Texts(mix);
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Catalogue::Resolve(texts[next]));
    if (++next == texts.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(MixLabel(mix));
}
BENCHMARK(BM_ResolveOurs)->DenseRange(kCanonical, kAll);

void BM_ResolveGperf(benchmark::State& state) {
  const Mix mix = static_cast<Mix>(state.range(0));
  if (!GperfAgreesWithCatalogue()) state.SkipWithError("gperf keywords differ from the catalogue");
  const std::vector<std::string> texts = Narrow(Texts(mix));
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GperfResolve(texts[next]));
    if (++next == texts.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(MixLabel(mix));
}
BENCHMARK(BM_ResolveGperf)->DenseRange(kCanonical, kAll);

// Each iteration resolves the whole mix with both lookups, timing each pass.
void BM_ResolveRatio(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const Mix mix = static_cast<Mix>(state.range(0));
  if (!GperfAgreesWithCatalogue()) state.SkipWithError("gperf keywords differ from the catalogue");
  const std::vector<std::u16string> wide = Texts(mix);
  const std::vector<std::string> narrow = Narrow(wide);
  Clock::duration ours{};
  Clock::duration gperf{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    for (const std::u16string& text : wide) benchmark::DoNotOptimize(Catalogue::Resolve(text));
    const Clock::time_point middle = Clock::now();
    for (const std::string& text : narrow) benchmark::DoNotOptimize(GperfResolve(text));
    gperf += Clock::now() - middle;
    ours += middle - start;
  }
  const double lookups = static_cast<double>(state.iterations() * wide.size());
  state.counters["ours_ns"] = std::chrono::duration<double, std::nano>(ours).count() / lookups;
  state.counters["gperf_ns"] = std::chrono::duration<double, std::nano>(gperf).count() / lookups;
  state.counters["ratio"] = static_cast<double>(ours.count()) / static_cast<double>(gperf.count());
  state.SetLabel(MixLabel(mix));
}
BENCHMARK(BM_ResolveRatio)->DenseRange(kCanonical, kAll);

// The public constructor: resolution, plus the copy of a custom name's text.
void BM_NameFromText(benchmark::State& state) {
  const Mix mix = static_cast<Mix>(state.range(0));
  const std::vector<std::u16string> texts = Texts(mix);
  std::size_t next = 0;
  for (auto _ : state) {
    const CQmAttributeName name{std::u16string_view(texts[next])};
    benchmark::DoNotOptimize(name.QueryW4AttributeName());
    if (++next == texts.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(MixLabel(mix));
}
BENCHMARK(BM_NameFromText)->DenseRange(kCanonical, kAll);

// ---- Names as keys ------------------------------------------------------------------

std::vector<CQmAttributeName> TenStandardNames() {
  using namespace QueueManager;
  return {Xan_State,     Xan_CallId, Xan_RemoteName, Xan_Workgroup,   Xan_UserName,
          Xan_CallState, Xan_Note,   Xan_Subject,    Xan_AcdSkillSet, Xan_RecordLengthMillisec};
}

std::vector<CQmAttributeName> TenCustomNames() {
  std::vector<CQmAttributeName> names;
  for (int i = 0; i < 10; ++i)
    names.emplace_back(u"Custom_Attribute_" + std::u16string(1, u'a' + i));
  return names;
}

void BM_CompareNames(benchmark::State& state) {
  const bool custom = state.range(0) != 0;
  const std::vector<CQmAttributeName> names = custom ? TenCustomNames() : TenStandardNames();
  std::size_t next = 0;
  for (auto _ : state) {
    const std::size_t other = next == 0 ? names.size() - 1 : next - 1;
    benchmark::DoNotOptimize(names[next] < names[other]);
    if (++next == names.size()) next = 0;
  }
  state.SetLabel(custom ? "custom names" : "standard names");
}
BENCHMARK(BM_CompareNames)->Arg(0)->Arg(1);

// Builds a map of ten names, then looks each of them up.
template <class Map>
void BM_MapOfTenNames(benchmark::State& state) {
  const bool custom = state.range(0) != 0;
  const std::vector<CQmAttributeName> names = custom ? TenCustomNames() : TenStandardNames();
  for (auto _ : state) {
    Map byName;
    for (std::size_t i = 0; i < names.size(); ++i) byName.emplace(names[i], static_cast<int>(i));
    int sum = 0;
    for (const CQmAttributeName& name : names) {
      const auto found = byName.find(name);
      sum += found != byName.end() ? found->second : -1;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetLabel(custom ? "custom names" : "standard names");
}
BENCHMARK_TEMPLATE(BM_MapOfTenNames, std::map<CQmAttributeName, int>)->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_MapOfTenNames, std::unordered_map<CQmAttributeName, int>)->Arg(0)->Arg(1);

// The same with the library's attribute map (a sorted array).
void BM_AttributeMapOfTenNames(benchmark::State& state) {
  const bool custom = state.range(0) != 0;
  const std::vector<CQmAttributeName> names = custom ? TenCustomNames() : TenStandardNames();
  const QueueManager::CQmAttributeValue value(u"value");
  for (auto _ : state) {
    QueueManager::CQmAttributeMap byName;
    for (const CQmAttributeName& name : names) byName.insert(name, value);
    std::size_t found = 0;
    for (const CQmAttributeName& name : names) found += byName.count(name);
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(custom ? "custom names" : "standard names");
}
BENCHMARK(BM_AttributeMapOfTenNames)->Arg(0)->Arg(1);

// ---- Message form -------------------------------------------------------------------

// Writes and reads back the ten standard names (one of them sent by text).
void BM_WriteAndReadTenNames(benchmark::State& state) {
  const std::vector<CQmAttributeName> names = TenStandardNames();
  for (auto _ : state) {
    W4Notifier::CMessage message;
    for (const CQmAttributeName& name : names) name.Write(message);
    CQmAttributeName read;
    for (std::size_t i = 0; i < names.size(); ++i) read.Read(message);
    benchmark::DoNotOptimize(read.QueryW4AttributeName());
  }
}
BENCHMARK(BM_WriteAndReadTenNames);

}  // namespace
