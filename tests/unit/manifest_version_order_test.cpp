#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.hpp"

namespace {

struct OrderCase {
    const char* lower;
    const char* higher;
};

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(CompareVersions, OrdersPartByPart) {
    static const OrderCase ordered[] = {
        {"0.7.5", "0.7.19"},         // numbers, not text
        {"0.7.19", "0.8.0"},         //
        {"0.7.19", "1.0"},           //
        {"0.9", "0.10"},             //
        {"1.2", "1.2.1"},            // a missing part counts as 0
        {"0.7.19", "7"},             // no dots: one part
        {"7", "7.0.1"},              //
        {"1.2.0-rc1", "1.2.0"},      // a suffix comes before its plain number
        {"1.2.0-rc1", "1.2.0-rc2"},  // two suffixes as text
        {"1.2.0-RC", "1.2.0-rc"},    // byte order: upper case first
        {"1.2.0-rc9", "1.2.1-rc1"},  // the number decides before the suffix
        {"1.2-rc1", "1.2.0"},        //
        {"1.beta", "1.0"},           // a part without digits comes before any number
        {"1.alpha", "1.beta"},       // and is compared as text
        {"1.2.0-rc", "1.2.0-rc1"},   // a suffix that begins a longer one comes first
        {"1.alpha", "1.alphabet"},   // as does such a part
        {"1..2", "1.0.2"},           // an empty part is such a part
        {"99999999999999999999", "100000000000000000000"},  // numbers of any length
        {"18446744073709551615", "18446744073709551616"},
    };
    for (const auto& c : ordered) {
        SCOPED_TRACE(std::string(c.lower) + " < " + c.higher);
        EXPECT_EQ(sign(compare_versions(c.lower, c.higher)), -1);
        EXPECT_EQ(sign(compare_versions(c.higher, c.lower)), 1);
    }
}

TEST(CompareVersions, SpellingsOfOneRelease) {
    static const OrderCase same[] = {
        {"1.2", "1.2.0"},     {"1.2.0", "1.2.00"},        {"007", "7"},   {"1.", "1"},
        {"0.7.19", "0.7.19"}, {"1.2.0-rc1", "1.2.0-rc1"}, {"0", "0.0.0"},
    };
    for (const auto& c : same) {
        SCOPED_TRACE(std::string(c.lower) + " = " + c.higher);
        EXPECT_EQ(compare_versions(c.lower, c.higher), 0);
        EXPECT_EQ(compare_versions(c.higher, c.lower), 0);
    }
}

}  // namespace
