// The catalogue checked against the published lists of keys: counts, the
// keys sent by text, reserved keys, extended keys, type classes and the
// index by number.

#include "attributes/Catalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace QueueManager::Catalogue {
namespace {

using ::testing::ContainerEq;

std::set<std::u16string> KeysWhere(bool (*predicate)(const KeyInfo&)) {
  std::set<std::u16string> keys;
  for (const KeyInfo& key : AllKeys()) {
    if (predicate(key)) keys.emplace(key.key);
  }
  return keys;
}

TEST(Catalogue, HoldsTheStandardKeysAndAliases) {
  EXPECT_EQ(AllKeys().size(), 298u);
  EXPECT_EQ(AllAliases().size(), 35u);
  EXPECT_EQ(AllKeys().front().number, 0);
  EXPECT_EQ(AllKeys().front().key, u"Xan_AcdCategory");
  EXPECT_EQ(AllKeys().back().number, 721);
  EXPECT_EQ(AllKeys().back().key, u"Xan_RecordLengthMillisec");
}

TEST(Catalogue, SendsFifteenKeysByText) {
  std::set<int> numbers;
  for (const KeyInfo& key : AllKeys()) {
    if (key.IsSentByText()) numbers.insert(key.number);
  }
  EXPECT_THAT(numbers, ContainerEq(std::set<int>{229, 451, 452, 603, 604, 612, 613, 614, 707, 708,
                                                 709, 710, 719, 720, 721}));
}

TEST(Catalogue, ReservesTheKeysInThePublishedRanges) {
  const std::vector<std::pair<int, int>> ranges = {
      {0, 1},     {5, 7},     {11, 13},   {15, 15},   {17, 17},   {21, 21},   {23, 25},
      {28, 31},   {35, 42},   {44, 64},   {67, 67},   {71, 72},   {80, 81},   {83, 85},
      {87, 88},   {91, 140},  {142, 151}, {153, 157}, {159, 160}, {162, 162}, {200, 200},
      {205, 205}, {300, 324}, {451, 452}, {600, 611}, {700, 700}, {703, 706}, {720, 721}};
  auto inRanges = [&](int number) {
    for (const auto& [first, last] : ranges) {
      if (number >= first && number <= last) return true;
    }
    return false;
  };
  int reserved = 0;
  for (const KeyInfo& key : AllKeys()) {
    EXPECT_EQ(key.IsReserved(), inRanges(key.number)) << key.number;
    reserved += key.IsReserved() ? 1 : 0;
  }
  EXPECT_EQ(reserved, 159);
}

TEST(Catalogue, MarksTheExtendedKeys) {
  const std::set<std::u16string> expected = {u"Xan_IVRCurrentNode",
                                             u"Xan_IVRPreviousNode",
                                             u"IntAtt_DefaultMenuTransferFlag",
                                             u"IntAtt_Direct",
                                             u"IntAtt_InitialProfilePath",
                                             u"IntAtt_KeyPath",
                                             u"IntAtt_LineName",
                                             u"IntAtt_LocalName",
                                             u"IntAtt_LocalTn",
                                             u"IntAtt_RemoteName",
                                             u"IntAtt_RemoteTn",
                                             u"IntAtt_TransferFlag",
                                             u"IntAtt_WorkgroupTransfer",
                                             u"IntAtt_QNodePath",
                                             u"IntAtt_QNodeFlag",
                                             u"IntAtt_OptionIndex",
                                             u"IntAtt_VendorSupport",
                                             u"IntAtt_OutboundCallType",
                                             u"IntAtt_OutboundWorkflowId",
                                             u"IntAtt_OutboundCampaignId",
                                             u"IntAtt_ExitLevelFlag",
                                             u"IntAtt_DirectTimeout",
                                             u"IntAtt_TransferKeyPath",
                                             u"IntAtt_LastOutboundProfile",
                                             u"Xan_SpeechTUI",
                                             u"Xan_VoiceTUIUser",
                                             u"IntAtt_AcdPriorityOverride",
                                             u"Xan_ParkedTimeoutTarget",
                                             u"Xan_StationOnlyEscape"};
  EXPECT_EQ(expected.size(), 29u);
  EXPECT_THAT(KeysWhere([](const KeyInfo& key) { return key.IsExtended(); }),
              ContainerEq(expected));
  EXPECT_TRUE(KeysWhere([](const KeyInfo& k) { return k.IsExtended() && k.IsReserved(); }).empty());
}

// Every key not listed here is of class String.
const std::map<CQmAttributeName::eW4AttributeType, std::set<std::u16string>>& TypeClassLists() {
  static const std::map<CQmAttributeName::eW4AttributeType, std::set<std::u16string>> lists = {
      {CQmAttributeName::eTypeBool,
       {u"Xan_NoStatistics", u"Xan_Private", u"Xan_Muted", u"Xan_RecordingInterrupted",
        u"Xan_NoEnteredStats", u"Xan_ContinueRecordOnExternalTransfer", u"Xan_StationAudio",
        u"Xan_TddSessionActive", u"Xan_SMS_Binary", u"Xan_SMS_Truncate",
        u"Xan_RecordingTargetingIR", u"Xan_RecordingCandidate", u"Xan_EmailOutlookMode"}},
      {CQmAttributeName::eTypeBoolList, {u"Xan_Paused", u"Xan_PausedSupv"}},
      {CQmAttributeName::eTypeInteger,
       {u"Xan_CallPurpose",
        u"Xan_DispositionCode",
        u"Xan_RecoInputModes",
        u"Xan_DeallocationTime",
        u"Xan_HeldTimeout",
        u"Xan_ParkTimeout",
        u"Xan_CallingPnNumberingPlan",
        u"Xan_CallingPnTypeOfNumber",
        u"Xan_CallingPnScreeningInd",
        u"Xan_CallingPnNumberDigits",
        u"Xan_IsdnCauseValue",
        u"Xan_MediaServerEngineTracingBias",
        u"Xan_AnsweringDevice",
        u"Xan_SMS_MobileCountryCode",
        u"Xan_SMS_MobileNetworkCode",
        u"Xan_SMS_Priority",
        u"Xan_SMS_ClassType",
        u"Xan_SMS_NotificationType",
        u"Xan_SMS_Timeout",
        u"Xan_SMS_Tries",
        u"Xan_UWSegmentId",
        u"Xan_LocalSecurityLevelRequested",
        u"Xan_RemoteSecurityLevelRequested",
        u"Xan_SecurityLevelActual"}},
      {CQmAttributeName::eTypeUnsigned,
       {u"Xan_CallId", u"Xan_MonitoredObjectId", u"Xan_RecordedObjectId", u"Xan_ConferenceId",
        u"Xan_IntercomParty", u"Xan_ConsultTransferCallId", u"Xan_TotalHeldTime",
        u"Xan_MonitoredCall", u"Xan_ConnectionCallBaseCall", u"Xan_ExternalWebId",
        u"Xan_OwnerWebSession", u"Xan_DotNetAvailable", u"Xan_IntcPushAvailable",
        u"Xan_AssociatedClbId", u"Xan_AssociatedChatId", u"Xan_ParentConferenceId"}},
      {CQmAttributeName::eTypeUnsignedList,
       {u"Xan_Monitors", u"Xan_MonitorsSupv", u"Xan_Recorders", u"Xan_RecordersSupv",
        u"Xan_ConferenceMembers"}},
      {CQmAttributeName::eTypeStringList,
       {u"Xan_AcdCategory", u"Xan_StationName", u"Xan_UserName", u"Xan_LastInsertionQueues",
        u"Xan_LastRemovalQueues", u"Xan_DisplayAttributes", u"Xan_UserRecordAttributes",
        u"Xan_SMS_TicketIds", u"Xan_SMS_Texts", u"Xan_SMS_ReturnCodes", u"Xan_SMS_Results",
        u"Xan_SMS_Destinations", u"Xan_EmailResponseAttachments",
        u"Xan_WrapupWorkgroupUserSegments", u"Xan_WrapupConnectionSegments"}},
      {CQmAttributeName::eTypeDateTime,
       {u"Xan_ConnectTime", u"Xan_LineQueueTimestamp", u"Xan_StationQueueTimestamp",
        u"Xan_UserQueueTimestamp", u"Xan_WorkgroupQueueTimestamp", u"Xan_TerminationTime",
        u"Xan_InitiationTime", u"Xan_InitialConnectTime", u"Xan_TargetMediaType",
        u"Xan_StateTimestamp", u"Xan_AnswerTime", u"Xan_OrbitQueueTimestamp", u"Xan_SMS_DateBroker",
        u"Xan_SMS_DateReceived", u"Xan_SMS_DateDelivered", u"Xan_SMS_Delay", u"Xan_SMS_Validity"}},
  };
  return lists;
}

TEST(Catalogue, ClassifiesEveryKeyAsPublished) {
  std::map<CQmAttributeName::eW4AttributeType, std::set<std::u16string>> actual;
  for (const KeyInfo& key : AllKeys()) {
    if (key.type != CQmAttributeName::eTypeString) actual[key.type].emplace(key.key);
  }
  EXPECT_THAT(actual, ContainerEq(TypeClassLists()));
  std::size_t nonString = 0;
  for (const auto& [type, keys] : TypeClassLists()) nonString += keys.size();
  EXPECT_EQ(nonString, 92u);
  EXPECT_EQ(
      KeysWhere([](const KeyInfo& k) { return k.type == CQmAttributeName::eTypeString; }).size(),
      298u - 92u);
}

TEST(Catalogue, FindsExactlyTheCatalogueNumbers) {
  std::set<int> numbers;
  for (const KeyInfo& key : AllKeys()) numbers.insert(key.number);
  for (int number = -2; number <= kMaxNumber + 2; ++number) {
    const KeyInfo* key = FindKey(number);
    ASSERT_EQ(key != nullptr, numbers.count(number) == 1) << number;
    if (key != nullptr) {
      EXPECT_EQ(key->number, number);
    }
  }
  for (const std::int32_t hostile : {-7, 100000, INT_MIN, INT_MAX, -1, 722, 8, 36, 163, 199}) {
    EXPECT_EQ(FindKey(hostile), nullptr) << hostile;
  }
}

TEST(Catalogue, ResolvesEveryKeyAndAliasInAnyLetterCase) {
  auto upper = [](std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = W4Os::ToUpper(c);
    return out;
  };
  for (const KeyInfo& key : AllKeys()) {
    EXPECT_EQ(Resolve(key.key), key.number);
    EXPECT_EQ(Resolve(W4Os::ToLowerCopy(key.key)), key.number);
    EXPECT_EQ(Resolve(upper(key.key)), key.number);
    EXPECT_EQ(KeyIdString(key).str(), key.key);
  }
  for (const AliasInfo& alias : AllAliases()) {
    ASSERT_NE(FindKey(alias.number), nullptr);
    EXPECT_EQ(Resolve(alias.text), alias.number);
    EXPECT_EQ(Resolve(upper(alias.text)), alias.number);
  }
}

TEST(Catalogue, ResolvesOnlyWholeCatalogueTexts) {
  const std::vector<std::pair<std::u16string, int>> cases = {
      {u"", -1},
      {u"Xan_CallStat", -1},        // a prefix
      {u"Xan_CallStatex", -1},      // a longer text
      {u"Xan_CallState ", -1},      // trailing space
      {u"Xan_Call_State", -1},      // another text with the same letters
      {u"Conference_Chat", -1},     // the alias spelled with an underscore
      {u"Xan_CallSt\u00C4te", -1},  // non-ASCII that folds to non-ASCII
      // U+212A KELVIN SIGN folds to 'k': the lower-case form is a key.
      {u"IntAtt_\u212AeyPath", 521},
      {u"Xan_TrackerDoNotTrac\u212A", 402},  // ... also in the last, short group of units
      {u"\u212A", -1},
      {u"ab", -1},
      {u"Xan_ContinueRecordOnExternalTransfer", 82},  // the longest key
      {u"Xan_ContinueRecordOnExternalTransferX", -1},
      {std::u16string(1000, u'x'), -1},
      {std::u16string(u"Xan_State\0", 10), -1},  // an embedded U+0000
  };
  for (const auto& [text, number] : cases) {
    EXPECT_EQ(Resolve(text), number) << W4Os::WideToNarrowLossy(text);
  }
}

}  // namespace
}  // namespace QueueManager::Catalogue
