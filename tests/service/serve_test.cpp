#include <gtest/gtest.h>

#include "store/store.h"
#include "support/soap_test_support.h"

TEST(Smoke, Print)
{
    ASSERT_EQ(store_create(nullptr, 0, nullptr), 0);
    store_add_blocked_file("caf\xe9 & <x>\r\n", 3, "i", "a", "act", "src", "url");
    soap_conn c;
    ASSERT_TRUE(soap_conn_start(&c));
    send_all(c.fd, http_post(soap_envelope("<sntr:get-blockedFile2><index>0</index></sntr:get-blockedFile2>")));
    printf("[%s]\n", read_response(c.fd).c_str());
    send_all(c.fd, http_post(soap_envelope("<sntr:nosuch/>", 2)));
    printf("[%s]\n", read_response(c.fd).c_str());
    EXPECT_TRUE(soap_conn_finish(&c));
    store_destroy();
}
