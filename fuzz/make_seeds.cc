// Writes the seed corpus of fuzz_attribute_codec into the directory given as
// the only argument: well-formed names, values, maps and statistics records,
// and a few hostile variants (huge and negative counts, wrong field types).
//
//   make_attribute_codec_seeds fuzz/corpus/attribute_codec

#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "AttributeCodecInput.h"
#include "QueueManager/AttributeMap.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CMessage;

struct Seed {
  const char* file;
  Structure structure;
  std::function<void(CMessage&)> write;
};

CQmAttributeMap ThreeKinds() {
  CQmAttributeMap map;
  map.insert(Xan_AcdCategory, std::u16string(u"Sales|Support"));
  map.insert(CQmAttributeName(u"Xan_RecordLengthMillisec"), std::u16string(u"1500"));
  map.insert(CQmAttributeName(u"Customer Tier"), std::u16string(u"gold \u00e9"));
  return map;
}

CQmQueueStats2 TwoMediaTypes() {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(40);
  stats.SetDisconnectedConnectionCallCount(4);
  stats.media_type_maps()[W4Notifier::eInteractionRequest] = {1, 2, 3, 4, 5, 6};
  stats.media_type_maps()[W4Notifier::eChatConferenceInteraction] = {7, 0, 0, 0, 0, 1};
  return stats;
}

std::vector<Seed> Seeds() {
  return {
      {"name_numbered", Structure::kName,
       [](CMessage& m) { CQmAttributeName(Xan_State).Write(m); }},
      {"name_alias_text", Structure::kName,
       [](CMessage& m) { m << std::int32_t{-1} << u"callstate"; }},
      {"name_custom", Structure::kName,
       [](CMessage& m) { CQmAttributeName(u"My.Custom Name").Write(m); }},
      {"name_unknown_number", Structure::kName, [](CMessage& m) { m << std::int32_t{8}; }},
      {"value_list", Structure::kValue, [](CMessage& m) { m << u"a|b\u0001\u0002c"; }},
      {"map_three_kinds", Structure::kMap, [](CMessage& m) { ThreeKinds().Write(m); }},
      {"map_repeated_names", Structure::kMap,
       [](CMessage& m) {
         m << std::int32_t{3} << std::int32_t{38} << u"A" << std::int32_t{-1} << u"dup" << u"1"
           << std::int32_t{-1} << u"DUP" << u"2";
       }},
      {"map_negative_count", Structure::kMap, [](CMessage& m) { m << std::int32_t{-5} << true; }},
      {"map_huge_count", Structure::kMap,
       [](CMessage& m) { m << std::int32_t{INT_MAX} << std::int32_t{0} << u"v"; }},
      {"map_value_is_int", Structure::kMap,
       [](CMessage& m) { m << std::int32_t{1} << std::int32_t{38} << std::int32_t{7}; }},
      {"stats_twelve", Structure::kQueueStats,
       [](CMessage& m) {
         m << CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xFFFFFFFFu});
       }},
      {"stats2_two_types", Structure::kQueueStats2, [](CMessage& m) { m << TwoMediaTypes(); }},
      {"stats2_huge_count", Structure::kQueueStats2,
       [](CMessage& m) {
         m << std::uint32_t{1} << std::uint32_t{2} << std::int32_t{2000000000}
           << W4Notifier::eUserQueue;
       }},
  };
}

}  // namespace
}  // namespace QueueManager::fuzzing

int main(int argc, char** argv) {
  using namespace QueueManager::fuzzing;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  for (const Seed& seed : Seeds()) {
    W4Notifier::CMessage message;
    seed.write(message);
    const std::vector<std::uint8_t> input = MakeInput(seed.structure, message);
    const std::string path = std::string(argv[1]) + "/" + seed.file;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()),
              static_cast<std::streamsize>(input.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
