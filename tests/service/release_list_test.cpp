#include <gtest/gtest.h>

#include <stdsoap2.h>

#include <vector>

#include "service/release_list.h"

namespace {

std::vector<int> released;

void record_release(void *p) { released.push_back(*static_cast<int *>(p)); }

TEST(ReleaseList, RefusesMissingArgumentsAndIgnoresNullValues)
{
    struct soap *soap = soap_new();
    ASSERT_NE(soap, nullptr);
    int v = 1;
    void *p = &v;
    void *none = nullptr;
    EXPECT_EQ(defer_release(nullptr, &p, record_release), -1);
    EXPECT_EQ(defer_release(soap, nullptr, record_release), -1);
    EXPECT_EQ(defer_release(soap, &p, nullptr), -1);
    EXPECT_EQ(defer_release(soap, &none, record_release), 0);
    EXPECT_EQ(soap->user, nullptr);
    release_deferred(nullptr);
    soap_free(soap);
}

TEST(ReleaseList, ReleasesNewestFirstAndEmpties)
{
    struct soap *soap = soap_new();
    ASSERT_NE(soap, nullptr);
    released.clear();
    int a = 1, b = 2, c = 3;
    void *pa = &a, *pb = &b, *pc = &c;
    ASSERT_EQ(defer_release(soap, &pa, record_release), 0);
    ASSERT_EQ(defer_release(soap, &pb, record_release), 0);
    ASSERT_EQ(defer_release(soap, &pc, record_release), 0);
    EXPECT_EQ(pa, &a);  // the value stays usable until released
    release_deferred(soap);
    EXPECT_EQ(released, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(soap->user, nullptr);
    release_deferred(soap);
    EXPECT_EQ(released.size(), 3u);
    soap_free(soap);
}

}  // namespace
