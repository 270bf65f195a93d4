// Attribute values: typed parsing and list editing on a 20-element value.

#include <benchmark/benchmark.h>

#include <string>

#include "QueueManager/AttributeValue.h"

namespace {

using QueueManager::CQmAttributeValue;

// "e00|e01|...|e19": twenty elements of three characters.
CQmAttributeValue TwentyElements() {
  CQmAttributeValue value;
  for (int i = 0; i < 20; ++i) {
    value.append(u"e" + std::u16string(1, static_cast<char16_t>(u'0' + i / 10)) +
                 static_cast<char16_t>(u'0' + i % 10));
  }
  return value;
}

void BM_ParseInt(benchmark::State& state) {
  const CQmAttributeValue value(u"-1234567");
  for (auto _ : state) benchmark::DoNotOptimize(value.QueryInt());
}
BENCHMARK(BM_ParseInt);

void BM_ParseUnsigned(benchmark::State& state) {
  const CQmAttributeValue value(u"4000000000");
  for (auto _ : state) benchmark::DoNotOptimize(value.QueryUnsigned());
}
BENCHMARK(BM_ParseUnsigned);

void BM_ParseDateTimeUtc(benchmark::State& state) {
  const CQmAttributeValue value(u"20070102030405Z");
  for (auto _ : state) benchmark::DoNotOptimize(value.QueryTime());
}
BENCHMARK(BM_ParseDateTimeUtc);

void BM_ParseDateTimeLocal(benchmark::State& state) {
  const CQmAttributeValue value(u"20070102030405");
  for (auto _ : state) benchmark::DoNotOptimize(value.QueryTime());
}
BENCHMARK(BM_ParseDateTimeLocal);

// Arg 1: the element is present (the 18th, in other letter case for the
// case-insensitive search); arg 0: absent.
void BM_ListFind(benchmark::State& state) {
  const CQmAttributeValue list = TwentyElements();
  const CQmAttributeValue wanted(state.range(0) != 0 ? u"E17" : u"x17");
  for (auto _ : state) benchmark::DoNotOptimize(list.find(wanted, false));
}
BENCHMARK(BM_ListFind)->Arg(1)->Arg(0);

void BM_ListInsertPresent(benchmark::State& state) {
  CQmAttributeValue list = TwentyElements();
  for (auto _ : state) benchmark::DoNotOptimize(list.insert(u"E17"));
}
BENCHMARK(BM_ListInsertPresent);

// Each iteration copies the list first; BM_ListCopy measures that part.
void BM_ListCopy(benchmark::State& state) {
  const CQmAttributeValue list = TwentyElements();
  for (auto _ : state) {
    CQmAttributeValue copy = list;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_ListCopy);

void BM_ListInsertAbsent(benchmark::State& state) {
  const CQmAttributeValue list = TwentyElements();
  for (auto _ : state) {
    CQmAttributeValue copy = list;
    benchmark::DoNotOptimize(copy.insert(u"x17"));
  }
}
BENCHMARK(BM_ListInsertAbsent);

void BM_ListRemove(benchmark::State& state) {
  const CQmAttributeValue list = TwentyElements();
  for (auto _ : state) {
    CQmAttributeValue copy = list;
    benchmark::DoNotOptimize(copy.remove(u"E17"));
  }
}
BENCHMARK(BM_ListRemove);

}  // namespace
