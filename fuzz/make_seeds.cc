// Writes the seed corpus of fuzz_attribute_codec into the directory given as
// the first argument: well-formed names, values, maps and statistics records,
// and a few hostile variants (huge and negative counts, wrong field types);
// and, given a second directory, that of fuzz_cache_messages: step sequences
// of monitors, server changes, deliveries, failures and reloads, and queue
// bodies as raw notifications, load answers and reload answers; and, given a
// third, that of fuzz_request_messages: conditional settings (row 0 of its
// decoder table) and deactivation reports, whole and with blocks and counts
// that do not fit (row 1), alert notifications, alert list entries and
// alerting answers (rows 2 to 4); and, given a fourth, that of fuzz_monitor_events:
// event bodies, a notification, an answer and interaction update records;
// and, given a fifth, that of fuzz_emulator_requests: whole request messages
// to an interaction and to the server (attribute, watch and alerting
// requests among them), one cut short.
//
//   make_attribute_codec_seeds fuzz/corpus/attribute_codec fuzz/corpus/cache_messages \
//     fuzz/corpus/request_messages fuzz/corpus/monitor_events fuzz/corpus/emulator_requests

#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AttributeCodecInput.h"
#include "CacheSteps.h"
#include "ControlWire.h"
#include "QueueManager/Alerting.h"
#include "QueueManager/AttributeMap.h"
#include "QueueManager/ConditionalUpdates.h"
#include "QueueManager/QueueStats.h"
#include "lightweight/MonitorEventBody.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

// Ready-made inputs by file name.
using SeedFiles = std::vector<std::pair<const char*, std::vector<std::uint8_t>>>;

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

// A queue body: exists, statistics, events (added 7, updated, removed 8),
// the trailer with the second statistics record.
void WriteBody(CMessage& m) {
  m << true << true << CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  m << std::uint32_t{3};
  m << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{7} << true << false;
  ThreeKinds().Write(m);
  m << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{7} << false << false;
  ThreeKinds().Write(m);
  m << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{8} << true << true;
  CQmAttributeMap().Write(m);
  m << 42ull << true << TwoMediaTypes();
}

void WriteSection(CMessage& m, std::uint32_t queue) {
  m << std::int32_t{W4Notifier::eUserQueue} << static_cast<std::int32_t>(queue) << std::int32_t{1};
  CQmAttributeName(Xan_State).Write(m);
  WriteBody(m);
}

// Steps as fuzz_cache_messages reads them (see CacheSteps.h).
std::uint8_t Change(std::uint8_t queue, std::uint8_t interaction, std::uint8_t kind) {
  return static_cast<std::uint8_t>(((kind * 6 + interaction - 1) << 1) | queue);
}

// Monitors on queue 7 (A), on queue 8 (B) and on all queues (C), loaded with
// interactions 1 to 3 on queue 7 and 4 on queue 8.
StepWriter LoadedWorld() {
  StepWriter w;
  w.Add(Op::kServerChange, {Change(0, 1, 0)}).Add(Op::kServerChange, {Change(0, 2, 0)});
  w.Add(Op::kServerChange, {Change(0, 3, 0)}).Add(Op::kServerChange, {Change(1, 4, 0)});
  w.Add(Op::kActivate, {0}).Add(Op::kActivate, {4}).Add(Op::kActivate, {2});
  return w.Add(Op::kAnswer, {kAnswerEvery}).Add(Op::kDeliverAll);
}

SeedFiles CacheSeeds() {
  // `then` follows when the body fits its length byte.
  auto raw = [](StepWriter w, std::uint8_t path, const std::function<void(CMessage&)>& write,
                bool deliver = false) {
    CMessage m;
    m << std::uint32_t{30000000} << std::uint32_t{0};  // the server time header
    write(m);
    const auto body = m.BodyBytes();
    w.Raw(path, std::vector<std::uint8_t>(body.begin(), body.end()));
    if (deliver) w.Add(Op::kDeliverAll);
    return w.Bytes();
  };
  // A short body: queue 7 gains interaction 5 and 2 leaves it.
  const auto shortBody = [](CMessage& m) {
    m << true << false << std::uint32_t{2};
    m << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{5} << true << false;
    CQmAttributeMap map;
    map.insert(Xan_State, std::u16string(u"C"));
    map.Write(m);
    m << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{2} << false << true;
    CQmAttributeMap().Write(m);
    m << 7ull << false;
  };
  // Changes on both queues while the lanes interleave; one value changes
  // on both queues at once.
  StepWriter changes = LoadedWorld();
  changes.Add(Op::kServerChange, {Change(1, 2, 0)}).Add(Op::kServerChange, {Change(0, 2, 2)});
  changes.Add(Op::kDeliver, {1}).Add(Op::kServerChange, {Change(0, 1, 1)});
  changes.Add(Op::kDeliver, {0}).Add(Op::kDeliverAll);
  // A second monitor joins a cached queue while its first answer is late, and
  // asks for more names.
  StepWriter second;
  second.Add(Op::kServerChange, {Change(0, 1, 0)}).Add(Op::kActivate, {0});
  second.Add(Op::kActivate, {1}).Add(Op::kServerChange, {Change(0, 2, 0)});
  second.Add(Op::kAnswer, {1}).Add(Op::kDeliverAll).Add(Op::kAnswer, {0});
  second.Add(Op::kAddNames, {1}).Add(Op::kAnswer, {0}).Add(Op::kDeliverAll);
  // The connection drops while changes happen; renegotiated, the reload
  // answer tells what was missed. Monitors on queue 7 and on all queues, and
  // one on interaction 3.
  StepWriter reload;
  reload.Add(Op::kServerChange, {Change(0, 1, 0)}).Add(Op::kServerChange, {Change(0, 3, 0)});
  reload.Add(Op::kServerChange, {Change(1, 4, 0)}).Add(Op::kActivate, {0});
  reload.Add(Op::kActivate, {2}).Add(Op::kInteractionWatch, {2});
  reload.Add(Op::kAnswer, {kAnswerEvery}).Add(Op::kDeliverAll).Add(Op::kConnectionLost);
  reload.Add(Op::kServerChange, {Change(0, 1, 1)}).Add(Op::kServerChange, {Change(1, 5, 0)});
  reload.Add(Op::kServerChange, {Change(0, 3, 2)}).Add(Op::kRenegotiated).Add(Op::kDeliverAll);
  reload.Add(Op::kAnswer, {kAnswerEvery}).Add(Op::kDeliverAll);
  // Failed loads, retried on renegotiation; a queue removed and created again.
  StepWriter failures;
  failures.Add(Op::kActivate, {0}).Add(Op::kActivate, {2}).Add(Op::kFail, {0});
  failures.Add(Op::kFail, {1}).Add(Op::kRenegotiated).Add(Op::kDeliverAll);
  failures.Add(Op::kServerChange, {Change(0, 1, 3)}).Add(Op::kAnswer, {kAnswerEvery});
  failures.Add(Op::kDeliverAll).Add(Op::kServerChange, {Change(0, 1, 3)});
  failures.Add(Op::kServerChange, {Change(0, 2, 0)}).Add(Op::kDeliverAll);
  failures.Add(Op::kDeactivate, {0}).Add(Op::kActivate, {0}).Add(Op::kAnswer, {0});
  failures.Add(Op::kDeliverAll);
  // An all-queues monitor misses a join and a change while the connection is
  // down; after the renegotiation its queues are loaded again.
  StepWriter allQueues;
  allQueues.Add(Op::kServerChange, {Change(0, 1, 0)}).Add(Op::kActivate, {2});
  allQueues.Add(Op::kAnswer, {0}).Add(Op::kDeliverAll).Add(Op::kConnectionLost);
  allQueues.Add(Op::kServerChange, {Change(0, 2, 0)}).Add(Op::kServerChange, {Change(0, 1, 2)});
  allQueues.Add(Op::kRenegotiated).Add(Op::kDeliverAll).Add(Op::kAnswer, {0});
  allQueues.Add(Op::kAnswer, {0}).Add(Op::kDeliverAll);
  // Its repair is rejected: the interaction that joined meanwhile leaves
  // again, and the monitor, which never heard of it, is not told.
  StepWriter repairFailed;
  repairFailed.Add(Op::kServerChange, {Change(1, 1, 0)}).Add(Op::kActivate, {2});
  repairFailed.Add(Op::kAnswer, {0}).Add(Op::kDeliverAll).Add(Op::kConnectionLost);
  repairFailed.Add(Op::kServerChange, {Change(1, 5, 0)}).Add(Op::kRenegotiated);
  repairFailed.Add(Op::kDeliverAll).Add(Op::kFail, {1}).Add(Op::kAnswer, {0});
  repairFailed.Add(Op::kServerChange, {Change(1, 5, 1)}).Add(Op::kDeliverAll);
  // A queue of an all-queues monitor gains a member while the connection is
  // down; renegotiated, the member's new value comes before the reload: the
  // monitor, never told of the member, is not told of its value either.
  StepWriter unheld;
  unheld.Add(Op::kActivate, {2}).Add(Op::kAnswer, {0}).Add(Op::kDeliverAll);
  unheld.Add(Op::kConnectionLost).Add(Op::kServerChange, {Change(0, 2, 0)});
  unheld.Add(Op::kRenegotiated).Add(Op::kServerChange, {Change(0, 2, 2)}).Add(Op::kDeliverAll);
  // A queue removed and created again while its monitor comes back: the
  // late answer to its first load, then that to its second, which tells the
  // new queue's count from 0; the new queue's first change is applied.
  StepWriter again;
  again.Add(Op::kActivate, {0}).Add(Op::kServerChange, {Change(0, 2, 0)}).Add(Op::kAnswer, {0});
  again.Add(Op::kServerChange, {Change(0, 1, 3)}).Add(Op::kDeactivate, {0}).Add(Op::kActivate, {0});
  again.Add(Op::kAnswer, {0}).Add(Op::kDeliverAll).Add(Op::kServerChange, {Change(0, 1, 0)});
  again.Add(Op::kDeliverAll);
  // A queue monitor starts its subscription after the renegotiation and
  // before the all-queues object hears of it: the all-queues monitor is
  // still told of the join it missed while the connection was down.
  StepWriter lateSingle;
  lateSingle.Add(Op::kActivate, {2}).Add(Op::kAnswer, {0}).Add(Op::kDeliverAll);
  lateSingle.Add(Op::kConnectionLost).Add(Op::kServerChange, {Change(0, 2, 0)});
  lateSingle.Add(Op::kRenegotiated).Add(Op::kActivate, {1}).Add(Op::kAnswer, {0});
  lateSingle.Add(Op::kDeliverAll);
  // Raw messages on each path, after a world whose loads are answered, or
  // whose loads (or reload) await the raw answer.
  StepWriter awaiting;
  awaiting.Add(Op::kActivate, {0}).Add(Op::kActivate, {2});
  StepWriter reloading = LoadedWorld();
  reloading.Add(Op::kConnectionLost).Add(Op::kRenegotiated).Add(Op::kDeliverAll);
  const auto twoSections = [](CMessage& m) {
    WriteSection(m, 7);
    WriteSection(m, 9);
  };
  const auto reloadBody = [](CMessage& m) {
    WriteSection(m, 7);
    m << std::int32_t{W4Notifier::eInteractionRequest} << std::int32_t{5}
      << std::int32_t{W4Notifier::eGenericObject} << std::int32_t{5} << true << false;
    ThreeKinds().Write(m);
  };
  return {
      {"changes", changes.Bytes()},
      {"second_monitor", second.Bytes()},
      {"reload", reload.Bytes()},
      {"failures", failures.Bytes()},
      {"all_queues_after_connection_loss", allQueues.Bytes()},
      {"all_queues_repair_failed", repairFailed.Bytes()},
      {"all_queues_update_before_reload", unheld.Bytes()},
      {"queue_created_again", again.Bytes()},
      {"all_queues_renegotiated_after_a_queue_subscribed", lateSingle.Bytes()},
      {"raw_notification", raw(LoadedWorld(), 0, WriteBody)},
      {"raw_queue_gone", raw(LoadedWorld(), 0, [](CMessage& m) { m << false; })},
      {"raw_published", raw(LoadedWorld(), 1, WriteBody)},
      {"raw_published_short", raw(LoadedWorld(), 1, shortBody, true)},
      {"raw_published_other_queue", raw(LoadedWorld(), 6, shortBody, true)},
      {"raw_ts_server_batch", raw(LoadedWorld(), 4, WriteBody)},
      {"raw_ts_server_batch_all", raw(LoadedWorld(), 9, WriteBody)},
      {"raw_response_two_sections", raw(awaiting, 2, twoSections)},
      {"raw_reload", raw(reloading, 3, reloadBody)},
  };
}

// Row 0 of fuzz_request_messages' decoder table: conditional settings.
SeedFiles ConditionalSettingSeeds() {
  auto setting = [](const std::function<void(CMessage&)>& write) {
    CMessage m;
    write(m);
    return MakeInput(std::uint8_t{0}, m);
  };
  const auto head = [](CMessage& m, std::uint32_t count) {
    m << true << false << std::int32_t{38} << u"H" << count;
  };
  return {
      {"setting_two_conditions", setting([](CMessage& m) {
         SetAttributeConditionally s(CQmAttributeName(u"Tier"), CQmAttributeValue(u"a|b"), true,
                                     false);
         const auto compare = static_cast<SetAttributeConditionally::eComparisonType>(2);
         s.AddCondition(Xan_State, compare, CQmAttributeValue(u"C"), true);
         s.AddCondition(Xan_Note, compare, CQmAttributeName(u"Xan_RecordLengthMillisec"), false);
         s.write(m);
       })},
      {"setting_negative_count", setting([&](CMessage& m) { head(m, 0xFFFFFFFFu); })},
      {"setting_huge_count", setting([&](CMessage& m) {
         head(m, INT_MAX);
         m << std::int32_t{38} << u"" << std::int32_t{-1} << u"" << std::int32_t{0} << true;
       })},
  };
}

// Row 1: deactivation reports: the entity, the block's length and bytes, the
// map.
SeedFiles DeactivationSeeds() {
  auto input = [](const std::function<void(CMessage&)>& write) {
    CMessage m;
    m << std::int32_t{W4Notifier::eConferenceInteraction} << std::int32_t{4711};
    write(m);
    return MakeInput(std::uint8_t{1}, m);
  };
  const std::uint8_t block[] = {1, 2, 3};
  return {
      {"deactivation_whole", input([&](CMessage& m) {
         m << std::uint32_t{3};
         m.Insert(block, 3);
         ThreeKinds().Write(m);
       })},
      {"deactivation_empty_block",
       input([](CMessage& m) { ThreeKinds().Write(m << std::uint32_t{0}); })},
      {"deactivation_short_block", input([&](CMessage& m) {
         m << std::uint32_t{8};
         m.Insert(block, 3);
         ThreeKinds().Write(m);
       })},
      {"deactivation_huge_length", input([&](CMessage& m) {
         m << std::uint32_t{0xFFFFFFFFu};
         m.Insert(block, 3);
       })},
      {"deactivation_huge_count", input([](CMessage& m) {
         m << std::uint32_t{0} << std::int32_t{INT_MAX} << std::int32_t{38} << u"E";
       })},
  };
}

// Rows 2 to 4: an alert notification's body, an alert list entry, the answer
// to an alerting request.
SeedFiles AlertingSeeds() {
  auto input = [](std::uint8_t row, const std::function<void(CMessage&)>& write) {
    CMessage m;
    write(m);
    return MakeInput(row, m);
  };
  const CQmAlertingParameters ring(
      3, true, "Sales", "555", CEntityId(W4Notifier::eWorkgroupQueue, 77u),
      {2, 440, -3, 480, 4, 1000, 5000, 3, "hello", "whisper", "sip:ring"});
  const auto alert = [ring](CMessage& m) {
    m << AlertList::value_type{CEntityId(W4Notifier::eInteractionRequest, 42u), ring};
  };
  return {
      {"alert_notification", input(2, alert)},
      {"alert_notification_short", input(2, [](CMessage& m) { m << std::int32_t{30} << true; })},
      {"alert_entry", input(3, alert)},
      {"alerting_answer", input(4, [](CMessage& m) { m << std::int32_t{7}; })},
      {"alerting_answer_text", input(4, [](CMessage& m) { m << "7"; })},
  };
}

SeedFiles RequestSeeds() {
  SeedFiles seeds = ConditionalSettingSeeds();
  for (auto& seed : DeactivationSeeds()) seeds.push_back(std::move(seed));
  for (auto& seed : AlertingSeeds()) seeds.push_back(std::move(seed));
  return seeds;
}

// Selector bytes as fuzz_monitor_events reads them: a bare event body, a
// notification to a caching monitor, an answer to an attribute monitor.
SeedFiles MonitorEventSeeds() {
  auto input = [](std::uint8_t selector, const std::function<void(CMessage&)>& write) {
    CMessage m;
    write(m);
    return MakeInput(selector, m);
  };
  // Added 7, updated 7, removed 8; the sequence number of this process's
  // second write (its handle is 1).
  const auto events = [](CMessage& m) {
    lightweight::MonitorEventBody body;
    body.events.emplace_back(CEntityId(W4Notifier::eGenericObject, 7u)).added = true;
    body.events.back().attributes = ThreeKinds();
    body.events.emplace_back(CEntityId(W4Notifier::eGenericObject, 7u)).attributes = ThreeKinds();
    body.events.emplace_back(CEntityId(W4Notifier::eGenericObject, 8u)).removed = true;
    body.sequence = 0x20001;
    lightweight::WriteMonitorEventBody(m, body);
  };
  const auto time = [](CMessage& m) { m << std::uint32_t{30000000} << std::uint32_t{0}; };
  return {
      {"body", input(0, events)},
      {"body_with_statistics", input(0,
                                     [](CMessage& m) {
                                       m << true << true
                                         << CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})
                                         << std::int32_t{0};
                                     })},
      {"body_huge_count",
       input(0, [](CMessage& m) { m << true << false << std::int32_t{INT_MAX}; })},
      {"notification", input(1,
                             [&](CMessage& m) {
                               time(m);
                               events(m);
                             })},
      {"answer", input(2,
                       [&](CMessage& m) {
                         time(m);
                         m << std::int32_t{W4Notifier::eAttributeMatch} << std::int32_t{5}
                           << std::int32_t{1};
                         CQmAttributeName(Xan_State).Write(m);
                         events(m);
                       })},
      // Records of interaction 7: an update, a deallocation, one after it.
      {"interaction_records", input(3,
                                    [](CMessage& m) {
                                      CQmAttributeMap map = ThreeKinds();
                                      map.insert(Xan_State, std::u16string(u"C"));
                                      for (const bool deallocated : {false, true, false}) {
                                        m << std::int32_t{W4Notifier::eGenericObject}
                                          << std::int32_t{7} << false << deallocated;
                                        map.Write(m);
                                      }
                                    })},
  };
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

// Control requests as CEmulatorClient writes them.
void AddControlSeeds(SeedFiles& seeds) {
  using namespace QueueManager::Emulator;
  const auto control = [](eControl kind, const std::function<void(CMessage&)>& write) {
    CMessage m = ControlMessage(kind);
    write(m);
    return m.Serialize();
  };
  const auto queue = [](CMessage& m) { m << std::int32_t{3} << std::int32_t{1}; };
  NotificationFaultPlan drop;
  drop.entityType = W4Notifier::eWorkgroupQueue;
  drop.objectId = 1;
  RequestFaultPlan delay{W4Notifier::eInteractionRequest, 0, eFault::kDelay,
                         FaultSelection::WithProbability(0.5, 7), std::chrono::milliseconds(20)};
  seeds.emplace_back("control_create_queue", control(eControl::kCreateQueue, queue));
  seeds.emplace_back("control_counts", control(eControl::kCounts, queue));
  seeds.emplace_back("control_add_interaction", control(eControl::kAddInteraction, [](CMessage& m) {
                       m << std::int32_t{6};
                       CQmAttributeMap map;
                       map.insert(CQmAttributeName(u"Xan_State"), u"A");
                       map.Write(m);
                       m << std::int32_t{1} << std::int32_t{3} << std::int32_t{1};
                     }));
  seeds.emplace_back("control_interaction",
                     control(eControl::kInteraction, [](CMessage& m) { m << std::uint32_t{1}; }));
  seeds.emplace_back("control_notification_fault",
                     control(eControl::kInjectNotificationFault,
                             [&drop](CMessage& m) { WriteNotificationFault(m, drop); }));
  seeds.emplace_back(
      "control_request_fault",
      control(eControl::kInjectFault, [&delay](CMessage& m) { WriteRequestFault(m, delay); }));
}

// Requests as the server emulator receives them: byte forms of whole messages.
SeedFiles EmulatorRequestSeeds() {
  const CEntityId interaction(W4Notifier::eInteractionRequest, 1);
  const CEntityId server(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
  const auto request = [](const CEntityId& target, int event,
                          const std::function<void(CMessage&)>& write) {
    CMessage m(target, event);
    write(m);
    return m.Serialize();
  };
  const auto moveAndSet = [](CMessage& m) {
    m << std::int32_t{30} << std::int32_t{1} << std::int32_t{1} << std::int32_t{3}
      << std::int32_t{1};
    CQmAttributeMap map;
    map.insert(CQmAttributeName(u"Xan_State"), u"C");
    map.Write(m);
    m << std::int32_t{1} << std::int32_t{3} << std::int32_t{2};
  };
  std::vector<std::uint8_t> cut = request(interaction, 7, moveAndSet);
  cut.resize(cut.size() - 3);
  // The media type entity of object type 6 and the match entity of one value.
  const CEntityId calls(W4Notifier::eObjectTypeEntity, W4STD::w4idstring(u"6"));
  const CEntityId match(W4Notifier::eAttributeMatch, W4STD::w4idstring(u"Xan_State=A"));
  const auto activate = [](const CEntityId& view) {
    return [view](CMessage& m) {
      m << false << static_cast<std::int32_t>(view.QueryObjectType())
        << static_cast<std::int32_t>(view.QueryObjectId()) << std::int32_t{1};
      CQmAttributeName(u"Xan_State").Write(m);
    };
  };
  const auto sequencedWrite = [moveAndSet, calls](CMessage& m) {
    moveAndSet(m);
    m << 0x10001ULL << static_cast<std::int32_t>(calls.QueryObjectType())
      << static_cast<std::int32_t>(calls.QueryObjectId());
  };
  const auto forward = [](CMessage& m) {
    CMessage notification(CEntityId(static_cast<W4Notifier::ObjectTypes>(6), 1u), 3);
    notification << std::int32_t{1};
    m << notification;
  };
  SeedFiles seeds{
      {"query",
       request(interaction, 0, [](CMessage& m) { CQmAttributeName(u"Xan_State").Write(m << 1); })},
      {"watch", request(interaction, 8,
                        [](CMessage& m) {
                          m << std::int32_t{1} << std::uint32_t{1} << std::int32_t{1};
                          CQmAttributeName(u"Xan_State").Write(m);
                        })},
      {"alert", request(interaction, 15,
                        [](CMessage& m) {
                          m << std::uint32_t{30} << std::int32_t{1} << std::int32_t{3}
                            << std::int32_t{1} << std::int32_t{1} << std::int32_t{3}
                            << std::int32_t{2} << std::int32_t{1};
                          m << AlertList::value_type{CEntityId(W4Notifier::eUserQueue, 7u),
                                                     CQmAlertingParameters()};
                          m << std::uint32_t{0};
                        })},
      {"end_alerting", request(interaction, 16, [](CMessage& m) { m << std::uint32_t{0}; })},
      {"alert_timeout", request(interaction, 19, [](CMessage& m) { m << std::uint32_t{5}; })},
      {"queues_of_object", request(interaction, 6, [](CMessage&) {})},
      {"legacy_move", request(interaction, 7,
                              [](CMessage& m) {
                                m << std::int32_t{70} << std::int32_t{1} << std::int32_t{1}
                                  << std::int32_t{0} << std::int32_t{0} << std::int32_t{0}
                                  << std::int32_t{1} << std::int32_t{3} << std::int32_t{2};
                              })},
      {"allocate_ids", request(CEntityId(W4Notifier::eInteractionRequest, W4Notifier::kAllObjects),
                               35, [](CMessage& m) { m << std::int32_t{10}; })},
      {"active_objects",
       request(server, 9,
               [](CMessage& m) { m << std::int32_t{3} << std::int32_t{1} << std::int32_t{6}; })},
      {"select_call", request(server, 12,
                              [](CMessage& m) {
                                m << std::int32_t{0} << std::int32_t{1} << std::int32_t{3}
                                  << std::int32_t{1};
                              })},
      {"server_time", request(server, 16, [](CMessage&) {})},
      {"object_type", request(interaction, 37, [](CMessage&) {})},
      {"wildcard", request(interaction, 1, [](CMessage& m) { m << u"xan_*"; })},
      {"move_and_set", request(interaction, 7, moveAndSet)},
      {"move_and_set_cut", cut},
      {"activate_media_type", request(server, 0, activate(calls))},
      {"activate_attribute_match", request(server, 0, activate(match))},
      {"sequenced_write", request(interaction, 7, sequencedWrite)},
      {"forward", request(interaction, 18, forward)},
      {"deactivation_names", request(server, 5,
                                     [](CMessage& m) {
                                       m << std::int32_t{1};
                                       CQmAttributeName(u"Xan_State").Write(m);
                                     })},
      {"deallocate_all", request(server, 13, [](CMessage& m) { m << std::int32_t{6}; })},
      {"settings", request(interaction, 14,
                           [](CMessage& m) {
                             SetAttributeConditionally s(CQmAttributeName(u"Tier"),
                                                         CQmAttributeValue(u"b"), true, false);
                             s.AddCondition(Xan_State,
                                            SetAttributeConditionally::eComparisonType{0},
                                            CQmAttributeValue(u"A"), false);
                             m << true << std::uint32_t{1};
                             s.write(m);
                           })},
      {"monitor_queue", request(server, 0,
                                [](CMessage& m) {
                                  m << false << std::int32_t{3} << std::int32_t{-1}
                                    << std::int32_t{1};
                                  CQmAttributeName(u"Xan_State").Write(m);
                                })},
      {"reload", request(server, 2,
                         [](CMessage& m) {
                           m << std::int32_t{2} << std::int32_t{3} << std::int32_t{1}
                             << std::int32_t{30} << std::int32_t{1};
                         })},
      {"instantiate", request(server, 14,
                              [](CMessage& m) {
                                m << std::uint32_t{0} << std::int32_t{6};
                                CQmAttributeMap().Write(m);
                                m << std::int32_t{1} << std::int32_t{3} << std::int32_t{4}
                                  << std::int32_t{0};
                              })},
      {"remove_queue",
       request(server, 7, [](CMessage& m) { m << std::int32_t{3} << std::int32_t{1}; })},
  };
  AddControlSeeds(seeds);
  return seeds;
}

}  // namespace
}  // namespace QueueManager::fuzzing

int main(int argc, char** argv) {
  using namespace QueueManager::fuzzing;
  if (argc < 2 || argc > 6) {
    std::fprintf(stderr,
                 "usage: %s <codec corpus directory> [<cache corpus directory> [<request corpus "
                 "directory> [<monitor events corpus directory> [<emulator requests corpus "
                 "directory>]]]]\n",
                 argv[0]);
    return 2;
  }
  for (const Seed& seed : Seeds()) {
    W4Notifier::CMessage message;
    seed.write(message);
    if (!WriteFile(std::string(argv[1]) + "/" + seed.file, MakeInput(seed.structure, message))) {
      return 1;
    }
  }
  const std::function<SeedFiles()> corpora[] = {CacheSeeds, RequestSeeds, MonitorEventSeeds,
                                                EmulatorRequestSeeds};
  for (int arg = 2; arg < argc; ++arg) {
    for (const auto& [file, bytes] : corpora[arg - 2]()) {
      if (!WriteFile(std::string(argv[arg]) + "/" + file, bytes)) return 1;
    }
  }
  return 0;
}
