#include "gate/enrollment_codes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "core/crypto.h"

namespace vel::gate {
namespace {

constexpr std::int64_t kNow = 1'700'000'000;

TEST(EnrollmentCodes, NewCodesAreGroupedDrawnFromTheWholeAlphabetAndSalted) {
    std::set<char> seen;
    std::set<Bytes> salts;
    for (int i = 0; i < 200; ++i) {
        std::string code;
        const EnrollmentState state = NewEnrollmentCode(900, kNow, code);
        ASSERT_EQ(code.size(), 14u);
        EXPECT_EQ(code[4], '-');
        EXPECT_EQ(code[9], '-');
        const std::string plain = NormalizeEnrollmentCode(code);
        for (const char c : plain) {
            EXPECT_NE(kEnrollmentCodeAlphabet.find(c), std::string_view::npos) << code;
            seen.insert(c);
        }
        EXPECT_EQ(state.expiresAt, kNow + 900);
        ASSERT_EQ(state.salt.size(), 16u);
        salts.insert(state.salt);
        // The stored hash covers salt and code, so codes written by older builds keep working.
        Bytes input = state.salt;
        input.insert(input.end(), plain.begin(), plain.end());
        EXPECT_EQ(state.hash, Sha256(input));
    }
    EXPECT_EQ(seen.size(), kEnrollmentCodeAlphabet.size());  // no character is unreachable
    EXPECT_EQ(salts.size(), 200u);
}

TEST(EnrollmentCodes, MatchesOnlyTheLiveCodeInAnySpelling) {
    std::string code;
    const EnrollmentState state = NewEnrollmentCode(60, kNow, code);
    std::string typed = code;
    for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    typed[4] = ' ';

    EXPECT_TRUE(EnrollmentCodeMatches(state, code, kNow));
    EXPECT_TRUE(EnrollmentCodeMatches(state, typed, kNow + 59));
    EXPECT_TRUE(EnrollmentCodeMatches(state, NormalizeEnrollmentCode(code), kNow));
    EXPECT_FALSE(EnrollmentCodeMatches(state, code, kNow + 60));  // expiry is exclusive
    EXPECT_FALSE(EnrollmentCodeMatches(state, code.substr(0, 13), kNow));
    EXPECT_FALSE(EnrollmentCodeMatches(state, code + "2", kNow));
    EXPECT_FALSE(EnrollmentCodeMatches(EnrollmentState{}, code, kNow));

    // A state whose hash is that of the empty code still refuses an empty submission.
    EnrollmentState empty;
    empty.salt = Bytes(16, 1);
    empty.hash = Sha256(empty.salt);
    empty.expiresAt = kNow + 60;
    EXPECT_FALSE(EnrollmentCodeMatches(empty, "", kNow));
    EXPECT_FALSE(EnrollmentCodeMatches(empty, " - ", kNow));
}

}  // namespace
}  // namespace vel::gate
