#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NerivaneKit/analysis/Incident.h"

namespace nerivane {
namespace {

using K = NetworkEvent::Kind;

NetworkEvent event(K kind, TargetRole role, double start, double end, std::optional<double> worst = {}) {
    const std::string host = role.kind == TargetRole::Kind::router      ? "router"
                             : role.kind == TargetRole::Kind::custom    ? "nas" + std::to_string(role.index)
                             : role == TargetRole::internet(1)          ? "8.8.8.8"
                                                                        : "1.1.1.1";
    return {kind, role, host, {}, start, end, worst};
}

const TargetRole one = TargetRole::internet(0), two = TargetRole::internet(1), six = TargetRole::internetIPv6(),
                 router = TargetRole::router(), nas = TargetRole::custom(0), printer = TargetRole::custom(1),
                 edge = TargetRole::provider();

// Each incident as its span, its events' roles and what the link was busy with.
struct Shape {
    double start, end;
    std::vector<TargetRole> roles;
    LoadClass load = LoadClass::unknown;
    bool operator==(const Shape&) const = default;
};

std::vector<Shape> shapes(const std::vector<Incident>& incidents) {
    std::vector<Shape> result;
    for (const auto& incident : incidents) {
        Shape shape{incident.start, incident.end, {}, incident.load};
        for (const auto& member : incident.events) shape.roles.push_back(member.role);
        result.push_back(shape);
    }
    return result;
}

TEST(Incident, EventsOfOneCauseCloseInTimeAreOneIncident) {
    const std::vector<Incident::BusySpan> upload{{LoadDirection::upload, 100, 140}};
    const struct { const char* story; std::vector<NetworkEvent> events; std::vector<Shape> incidents; } rows[] = {
        {"nothing", {}, {}},
        {"one internet outage seen by both hosts and the partner, handed in out of order",
         {event(K::outage, six, 0.4, 31.1), event(K::outage, one, 0, 31), event(K::outage, two, 0.2, 31.2)},
         {{0, 31.2, {one, two, six}}}},
        {"adjacent: the second host fails 5 s after the first answered again",
         {event(K::outage, one, 0, 10), event(K::outage, two, 15, 20)}, {{0, 20, {one, two}}}},
        {"separate: more than 5 s apart", {event(K::outage, one, 0, 10), event(K::outage, one, 15.5, 20)},
         {{0, 10, {one}}, {15.5, 20, {one}}}},
        {"a spike and an outage at once are two incidents",
         {event(K::outage, one, 0, 10), event(K::spike, two, 2, 8, 300)}, {{0, 10, {one}}, {2, 8, {two}}}},
        {"a custom host is its own cause", {event(K::outage, one, 0, 10), event(K::outage, nas, 1, 9)},
         {{0, 10, {one}}, {1, 9, {nas}}}},
        {"two custom hosts are two causes", {event(K::outage, nas, 0, 10), event(K::outage, printer, 0, 10)},
         {{0, 10, {nas}}, {0, 10, {printer}}}},
        {"the router's outage covers everything behind it and binds them",
         {event(K::outage, one, 0, 10), event(K::outage, nas, 1, 12), event(K::outage, router, 2, 9)},
         {{0, 12, {one, nas, router}}}},
        {"the provider's edge joins the internet hosts behind it, not a custom host",
         {event(K::outage, edge, 0, 10), event(K::outage, one, 1, 11), event(K::outage, nas, 1, 9)},
         {{0, 11, {edge, one}}, {1, 9, {nas}}}},
        {"spikes during an upload, and one long after it",
         {event(K::spike, one, 101, 120, 480), event(K::spike, six, 102, 124, 510), event(K::spike, two, 200, 204, 90)},
         {{101, 124, {one, six}, LoadClass::upload}, {200, 204, {two}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.story);
        EXPECT_EQ(shapes(Incident::group(row.events, upload)), row.incidents);
    }

    const auto spikes = Incident::group({event(K::spike, one, 101, 120, 480), event(K::spike, six, 102, 124, 510)});
    ASSERT_EQ(spikes.size(), 1u);
    EXPECT_EQ(spikes[0].worstRTT, 510);
    EXPECT_EQ(spikes[0].load, LoadClass::unknown) << "no busy stretch known";
    EXPECT_TRUE(spikes[0].isInternet());
    const auto alone = Incident::group({event(K::outage, six, 0, 9)});
    EXPECT_FALSE(alone[0].isInternet()) << "one target is no internet outage";
}

}  // namespace
}  // namespace nerivane
