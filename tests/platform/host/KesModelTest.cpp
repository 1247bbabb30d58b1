#include <gtest/gtest.h>

#include <vector>

#include "kes/KesDOM.h"
#include "kes/KesManageChannel.h"

namespace Norvane {
namespace {

constexpr auto kText = KesValueType::Text;
constexpr auto kNoSub = KesDP::KesValueSubType::None;
constexpr std::uint32_t kDP = static_cast<std::uint32_t>(KesObjectType::DataPoint);

std::shared_ptr<KesDP> MakeDP(KesDOM& dom, const std::shared_ptr<KesChannel>& channel,
                              const std::string& name, KesValueType type = kText) {
    return KesManageChannel::CreateDPAndSet_ptr(dom, channel, name, kKesAnyId, kDP, type, kNoSub, 7,
                                                0);
}

TEST(KesModelTest, NewModelHoldsItsWellKnownCollections) {
    const auto dom = KesDOM::Create();
    auto& map = dom->GetObjectMap();
    const auto root = dom->GetRoot();
    EXPECT_EQ(map.GetObject_ptr(1), root);
    EXPECT_EQ(map.GetObject_ptr(34), root->GetChannels());
    EXPECT_EQ(map.GetObject_ptr(301), root->GetDataPoints());
    EXPECT_EQ(map.GetObject_ptr(401), root->GetDevices());
    EXPECT_EQ(root->GetDevices()->GetParent(), root);
    EXPECT_EQ(root->GetChannels()->GetSize(), 0u);
    EXPECT_EQ(map.GetObject_ptr(2), nullptr);
}

TEST(KesModelTest, IdsAreRequestedOrHandedOutAndNeverReused) {
    const auto dom = KesDOM::Create();
    const auto channels = dom->GetRoot()->GetChannels();
    const auto first = channels->AddChannel_ptr(kKesAnyId);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetId(), KesWellKnownId::FirstFree);
    EXPECT_EQ(first->GetName(), "Channel 1000");

    const auto requested = channels->AddChannel_ptr(5000);
    ASSERT_TRUE(requested);
    EXPECT_EQ(requested->GetId(), 5000u);
    EXPECT_FALSE(channels->AddChannel_ptr(5000)) << "ID taken";
    EXPECT_FALSE(channels->AddChannel_ptr(34)) << "ID of a well-known object";
    EXPECT_FALSE(channels->AddChannel_ptr(0)) << "invalid ID";

    dom->EraseObject(first->GetId());
    const auto next = channels->AddChannel_ptr(kKesAnyId);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->GetId(), 1001u);
}

TEST(KesModelTest, LookupsByNameAndPositionHonourTheTypeSelector) {
    const auto dom = KesDOM::Create();
    const auto devices = dom->GetRoot()->GetDevices();
    const auto device = dom->AddDevice("Twin");
    const auto other = dom->CreateObject<KesEnum>(kKesAnyId, "Twin");
    ASSERT_TRUE(devices->Add(other));
    EXPECT_FALSE(devices->Add(other)) << "listed twice";

    EXPECT_EQ(devices->GetObjectByName_ptr("Twin", 17), device);
    EXPECT_EQ(devices->GetObjectByName_ptr("Twin", 2), other);
    EXPECT_EQ(devices->GetObjectByName_ptr("Twin", 0), device);
    EXPECT_EQ(devices->GetObjectByName_ptr("twin", 0), nullptr) << "names are case-sensitive";
    EXPECT_EQ(devices->GetObjectByName_ptr("Twin", 33), nullptr);

    EXPECT_EQ(devices->GetObjectAt_ptr(0, 17), device);
    EXPECT_EQ(devices->GetObjectAt_ptr(1, 17), nullptr) << "not a device";
    EXPECT_EQ(devices->GetObjectAt_ptr(1, 0), other);
    EXPECT_EQ(devices->GetObjectAt_ptr(7, 0), nullptr) << "out of range";
}

TEST(KesModelTest, ArraysTakeOnlyObjectsOfTheirModel) {
    const auto dom = KesDOM::Create();
    const auto otherDom = KesDOM::Create();
    const auto device = dom->AddDevice("D");
    const auto foreign = otherDom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);
    const auto detached = std::make_shared<KesChannel>(dom, 77, "detached");
    EXPECT_FALSE(device->GetChannels().Add(foreign));
    EXPECT_FALSE(device->GetChannels().Add(detached));
    EXPECT_FALSE(device->GetChannels().Add(nullptr));
    EXPECT_EQ(device->GetChannels().GetSize(), 0u);
}

TEST(KesModelTest, DataPointsAreCreatedUnderTheirChannelWithUniqueNames) {
    const auto dom = KesDOM::Create();
    const auto channel = dom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);
    const auto dp = MakeDP(*dom, channel, "a/b");
    ASSERT_TRUE(dp);
    EXPECT_EQ(dp->GetParent(), channel);
    EXPECT_EQ(dp->GetValueType(), kText);
    EXPECT_EQ(dp->GetAccess(), 7);
    EXPECT_EQ(channel->GetDataPoints().Get_ptr("a/b"), dp);
    EXPECT_TRUE(dom->GetRoot()->GetDataPoints()->Contains(dp->GetId()));

    EXPECT_FALSE(MakeDP(*dom, channel, "a/b")) << "name taken in the channel";
    EXPECT_FALSE(MakeDP(*dom, channel, "")) << "empty name";
    EXPECT_FALSE(KesManageChannel::CreateDPAndSet_ptr(*dom, channel, "x", kKesAnyId, 33, kText,
                                                      kNoSub, 7, 0))
        << "not the data-point type";
    EXPECT_FALSE(KesManageChannel::CreateDPAndSet_ptr(*dom, channel, "x", dp->GetId(), kDP, kText,
                                                      kNoSub, 7, 0))
        << "ID taken";
    const auto otherDom = KesDOM::Create();
    EXPECT_FALSE(MakeDP(*otherDom, channel, "x")) << "channel of another model";
    EXPECT_FALSE(MakeDP(*dom, nullptr, "x"));
    EXPECT_EQ(channel->GetDataPoints().GetSize(), 1u);
}

TEST(KesModelTest, ValuesRaiseEventsOnChangeOrAlways) {
    const auto dom = KesDOM::Create();
    const auto channel = dom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);
    const auto dp = MakeDP(*dom, channel, "t");
    std::vector<std::string> values;
    const auto handle = dom->Subscribe([&](const KesEvent& e) {
        if (e.kind == KesEvent::Kind::Value && e.id == dp->GetId())
            values.push_back(e.value.GetText());
    });

    EXPECT_TRUE(dp->SetValue(KESVALUE(kText, std::string("1")), 0, 0, "me"));
    EXPECT_TRUE(dp->SetValue(KESVALUE(kText, std::string("1")), 0, 0, "me"));
    EXPECT_TRUE(dp->SetValue(KESVALUE(kText, std::string("2")), 1234, 0, "you"));
    EXPECT_EQ(values, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(dp->GetTimestamp(), 1234u);
    EXPECT_EQ(dp->GetSource(), "you");

    dp->SetValueEventAlways(true);
    EXPECT_TRUE(dp->SetValue(KESVALUE(kText, std::string("2")), 0, 0, ""));
    EXPECT_EQ(values.size(), 3u);
    EXPECT_GT(dp->GetTimestamp(), 1234u) << "0 stands for now";

    EXPECT_FALSE(dp->SetValue(KESVALUE(KesValueType::Int, std::int64_t{3}), 0, 0, ""))
        << "value of another type";
    EXPECT_EQ(dp->GetValue().GetText(), "2");
    EXPECT_EQ(values.size(), 3u);

    dom->Unsubscribe(handle);
    dp->SetValue(KESVALUE(kText, std::string("3")), 0, 0, "");
    EXPECT_EQ(values.size(), 3u);
}

TEST(KesModelTest, DeleteChannelTakesItsDataPointsAndListingsAlong) {
    const auto dom = KesDOM::Create();
    auto& map = dom->GetObjectMap();
    const auto root = dom->GetRoot();
    const auto device = dom->AddDevice("D");
    const auto channel = root->GetChannels()->AddChannel_ptr(kKesAnyId);
    channel->SetParent(device);
    device->GetChannels().Add(channel);
    const auto a = MakeDP(*dom, channel, "a");
    const auto b = MakeDP(*dom, channel, "b");
    const auto keep = root->GetChannels()->AddChannel_ptr(kKesAnyId);
    const auto kept = MakeDP(*dom, keep, "a");
    std::vector<std::uint32_t> removed;
    dom->Subscribe([&](const KesEvent& e) {
        if (e.kind == KesEvent::Kind::Removed)
            removed.push_back(e.id);
    });

    KesManageChannel::Remove remove(*dom, map, root->GetChannels(), root->GetDataPoints(),
                                    root->GetDevices());
    EXPECT_TRUE(remove.DeleteChannel(channel));
    EXPECT_EQ(removed, (std::vector<std::uint32_t>{a->GetId(), b->GetId(), channel->GetId()}));
    for (const auto& object : std::vector<std::shared_ptr<KesObject>>{channel, a, b}) {
        EXPECT_FALSE(map.Contains(object->GetId()));
        EXPECT_FALSE(object->IsInModel());
        EXPECT_FALSE(root->GetDataPoints()->Contains(object->GetId()));
    }
    EXPECT_FALSE(root->GetChannels()->Contains(channel->GetId()));
    EXPECT_EQ(device->GetChannels().GetSize(), 0u);
    EXPECT_EQ(channel->GetParent(), nullptr);
    EXPECT_TRUE(kept->IsInModel()) << "another channel's data point of the same name";
    EXPECT_TRUE(keep->IsInModel());

    EXPECT_FALSE(remove.DeleteChannel(channel)) << "already gone";
    EXPECT_FALSE(remove.DeleteChannel(nullptr));
}

TEST(KesModelTest, DeleteChannelWithoutCollectionsStillLeavesTheModel) {
    const auto dom = KesDOM::Create();
    const auto channel = dom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);
    const auto dp = MakeDP(*dom, channel, "a");
    KesManageChannel::Remove remove(*dom, dom->GetObjectMap(), nullptr, nullptr, nullptr);
    EXPECT_TRUE(remove.DeleteChannel(channel));
    EXPECT_FALSE(channel->IsInModel());
    EXPECT_FALSE(dp->IsInModel());
    EXPECT_EQ(dom->GetRoot()->GetChannels()->GetObjectAt_ptr(0, 0), nullptr)
        << "the stale listing resolves to nothing";
}

TEST(KesModelTest, ToJsonShowsDevicesChannelsAndValues) {
    const auto dom = KesDOM::Create();
    const auto device = dom->AddDevice("D");
    const auto channel = dom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);
    channel->SetParent(device);
    device->GetChannels().Add(channel);
    channel->SetName("C");
    channel->SetAttribute(0xF000);
    const auto dp = MakeDP(*dom, channel, "t");
    dp->SetValue(KESVALUE(kText, std::string("v")), 0, 0, "");
    const auto orphan = dom->GetRoot()->GetChannels()->AddChannel_ptr(kKesAnyId);

    const auto json = dom->ToJson();
    EXPECT_EQ(json["devices"].dump(), R"([{"id":1000,"name":"D","channels":[1001]}])");
    EXPECT_EQ(json["channels"][0].dump(),
              R"({"id":1001,"name":"C","attribute":61440,"parent":1000,)"
              R"("dataPoints":[{"id":1002,"name":"t","valueType":10,"value":"v"}]})");
    EXPECT_TRUE(json["channels"][1]["parent"].is_null());
    EXPECT_EQ(json["channels"][1]["id"], orphan->GetId());
}

}  // namespace
}  // namespace Norvane
