#include "gate/challenge_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vel::gate {
namespace {

constexpr std::int64_t kT0 = 1'700'000'000;

TEST(ChallengeTable, AChallengeIsRedeemedOnceByItsAddressAndKindWhileLive) {
    ChallengeTable table;
    const Bytes challenge = table.issue("203.0.113.5", kCeremonyGet, kT0);
    ASSERT_EQ(challenge.size(), 32u);
    EXPECT_NE(table.issue("203.0.113.5", kCeremonyGet, kT0), challenge);

    EXPECT_FALSE(table.consume(challenge, "203.0.113.6", kCeremonyGet, kT0));
    EXPECT_FALSE(table.consume(challenge, "203.0.113.5", kCeremonyCreate, kT0));
    Bytes truncated(challenge.begin(), challenge.end() - 1);
    EXPECT_FALSE(table.consume(truncated, "203.0.113.5", kCeremonyGet, kT0));
    EXPECT_TRUE(table.consume(challenge, "203.0.113.5", kCeremonyGet, kT0 + 119));
    EXPECT_FALSE(table.consume(challenge, "203.0.113.5", kCeremonyGet, kT0 + 1));

    const Bytes late = table.issue("203.0.113.5", kCeremonyCreate, kT0);
    EXPECT_FALSE(table.consume(late, "203.0.113.5", kCeremonyCreate, kT0 + 120));
}

TEST(ChallengeTable, DroppingExpiredEntriesKeepsLiveOnes) {
    ChallengeTable table;
    const Bytes old = table.issue("192.0.2.1", kCeremonyGet, kT0);
    const Bytes young = table.issue("192.0.2.1", kCeremonyGet, kT0 + 60);
    table.dropExpired(kT0 + 120);
    // Consuming at an earlier time shows that the old entry is really gone, not merely expired.
    EXPECT_FALSE(table.consume(old, "192.0.2.1", kCeremonyGet, kT0 + 1));
    EXPECT_TRUE(table.consume(young, "192.0.2.1", kCeremonyGet, kT0 + 1));
}

std::string client(std::size_t i) {
    return "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200);
}

TEST(ChallengeTable, AFullTableShedsItsOldestSixtyFour) {
    ChallengeTable table;
    std::vector<Bytes> issued;
    for (std::size_t i = 0; i < 256; ++i)
        issued.push_back(table.issue(client(i), kCeremonyGet, kT0));
    // Up to 256 pending nothing is lost.
    EXPECT_TRUE(table.consume(issued[0], client(0), kCeremonyGet, kT0));
    for (std::size_t i = 256; i < 258; ++i)  // 255 pending: no shedding; 256: sheds 1..64
        issued.push_back(table.issue(client(i), kCeremonyGet, kT0));
    for (std::size_t i = 1; i <= 64; ++i) {
        EXPECT_FALSE(table.consume(issued[i], client(i), kCeremonyGet, kT0)) << i;
    }
    for (std::size_t i = 65; i < issued.size(); ++i) {
        EXPECT_TRUE(table.consume(issued[i], client(i), kCeremonyGet, kT0)) << i;
    }
}

}  // namespace
}  // namespace vel::gate
