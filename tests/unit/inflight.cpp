// The in-flight table against a plain map under random adds and removes:
// every (socket, id) is found until removed, the oldest is the first sent,
// and a socket's list holds exactly its slots.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "core/detail/inflight.h"

namespace {

TEST(InFlight, AgreesWithAMapUnderChurn)
{
    tvx::InFlight table;
    table.reset(64);
    std::map<std::pair<uint32_t, uint16_t>, uint32_t> model;
    std::mt19937 rng(7);
    uint64_t clock = 0;
    for (int step = 0; step < 200000; step++) {
        const bool add = !table.full() && (model.empty() || rng() % 2);
        if (add) {
            // Few sockets and ids, so that probe chains collide and wrap.
            const uint32_t conn = rng() % 9;
            const uint16_t id = static_cast<uint16_t>(rng() % 40);
            if (model.count({conn, id})) {
                ASSERT_NE(table.find(conn, id), tvx::InFlight::none);
                continue;
            }
            model[{conn, id}] = table.add(conn, id, ++clock);
        } else {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            ASSERT_EQ(table.find(it->first.first, it->first.second), it->second) << "step " << step;
            // Now and then a slot moves to another socket (a resend).
            if (rng() % 5 == 0 && !model.count({8, it->first.second})) {
                const uint16_t id = it->first.second;
                const uint32_t slot = it->second;
                table.move(slot, 8, ++clock);
                model.erase(it);
                model[{8, id}] = slot;
                continue;
            }
            table.remove(it->second);
            model.erase(it);
        }
        ASSERT_EQ(table.size(), model.size());
    }
    // Oldest first: send times rise along the table's order.
    uint64_t last = 0;
    std::set<uint32_t> seen;
    while (table.oldest() != tvx::InFlight::none) {
        const uint32_t slot = table.oldest();
        EXPECT_GE(table[slot].sent_ns, last);
        last = table[slot].sent_ns;
        seen.insert(slot);
        table.remove(slot);
    }
    EXPECT_EQ(seen.size(), model.size());
}

TEST(InFlight, ListsTheSlotsOfEachSocketInOrder)
{
    tvx::InFlight table;
    table.reset(8);
    const uint32_t a = table.add(3, 1, 10), b = table.add(5, 1, 11), c = table.add(3, 2, 12);
    EXPECT_EQ(table.first_on(3), a);
    EXPECT_EQ(table.next_on(a), c);
    EXPECT_EQ(table.next_on(c), tvx::InFlight::none);
    EXPECT_EQ(table.first_on(5), b);
    EXPECT_EQ(table.last_on(3), c);
    EXPECT_EQ(table.prev_on(c), a);
    EXPECT_EQ(table.prev_on(a), tvx::InFlight::none);
    EXPECT_EQ(table.first_on(4), tvx::InFlight::none);
    table.remove(a);
    EXPECT_EQ(table.first_on(3), c);
    EXPECT_EQ(table.find(3, 1), tvx::InFlight::none);
    EXPECT_EQ(table.find(5, 1), b);
}

}  // namespace
