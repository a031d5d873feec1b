// The Connection header's token list, and the hooks that apply it to a context. The
// serving ends of it (a reply or a one-way request, then the close) are tested against
// the real daemon in tests/process/soap_clients_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/http_connection.h"
#include "stdsoap2.h"

namespace {

unsigned tokens(const std::string &v) { return http_connection_tokens(v.data(), v.size()); }

TEST(HttpConnection, TokensAreACaseInsensitiveCommaSeparatedList)
{
    EXPECT_EQ(tokens("close"), unsigned(HTTP_CONNECTION_CLOSE));
    EXPECT_EQ(tokens("TE, close"), unsigned(HTTP_CONNECTION_CLOSE));
    EXPECT_EQ(tokens("Close"), unsigned(HTTP_CONNECTION_CLOSE));
    EXPECT_EQ(tokens("te,CLOSE"), unsigned(HTTP_CONNECTION_CLOSE));
    EXPECT_EQ(tokens(" \tclose\t , "), unsigned(HTTP_CONNECTION_CLOSE));
    EXPECT_EQ(tokens("Keep-Alive"), unsigned(HTTP_CONNECTION_KEEP_ALIVE));
    EXPECT_EQ(tokens("Upgrade, keep-alive"), unsigned(HTTP_CONNECTION_KEEP_ALIVE));
    EXPECT_EQ(tokens("keep-alive, close"),
              unsigned(HTTP_CONNECTION_CLOSE | HTTP_CONNECTION_KEEP_ALIVE));
}

TEST(HttpConnection, OnlyWholeTokensCount)
{
    EXPECT_EQ(tokens(""), 0u);
    EXPECT_EQ(tokens(",,"), 0u);
    EXPECT_EQ(tokens("TE"), 0u);
    EXPECT_EQ(tokens("closed"), 0u);
    EXPECT_EQ(tokens("enclose"), 0u);
    EXPECT_EQ(tokens("close-later"), 0u);
    EXPECT_EQ(tokens("keep-alive-ish"), 0u);
    EXPECT_EQ(tokens("keep alive"), 0u);
    // The length bounds the value: what follows is not read.
    EXPECT_EQ(http_connection_tokens("TE, closeXYZ", 9), unsigned(HTTP_CONNECTION_CLOSE));
}

TEST(HttpConnection, InstallWrapsTheHeaderHooksOnceAndDoneRestoresThem)
{
    struct soap *soap = soap_new();
    ASSERT_NE(soap, nullptr);
    auto parse = soap->fparse;
    auto parsehdr = soap->fparsehdr;
    ASSERT_EQ(http_connection_install(soap), 0);
    auto wrapped = soap->fparsehdr;
    EXPECT_NE(wrapped, parsehdr);
    EXPECT_NE(soap->fparse, parse);
    ASSERT_EQ(http_connection_install(soap), 0);
    EXPECT_EQ(soap->fparsehdr, wrapped);

    // Connection is taken by the wrapper: any close token clears keep-alive.
    soap->keep_alive = -1;
    EXPECT_EQ(soap->fparsehdr(soap, "Connection", "TE, close"), 0);
    EXPECT_EQ(soap->keep_alive, 0);
    soap->keep_alive = -1;
    EXPECT_EQ(soap->fparsehdr(soap, "connection", "TE"), 0);
    EXPECT_EQ(soap->keep_alive, -1);
    // Every other header reaches the runtime's parser.
    EXPECT_EQ(soap->fparsehdr(soap, "Content-Length", "0"), 0);
    EXPECT_EQ(soap->body, 0);

    // A copy (the accept loop's soap_copy) has hooks of its own.
    struct soap *copy = soap_copy(soap);
    ASSERT_NE(copy, nullptr);
    copy->keep_alive = -1;
    EXPECT_EQ(copy->fparsehdr(copy, "Connection", "Close"), 0);
    EXPECT_EQ(copy->keep_alive, 0);
    soap_destroy(copy);
    soap_end(copy);
    soap_free(copy);

    soap_destroy(soap);
    soap_end(soap);
    soap_done(soap);
    EXPECT_EQ(soap->fparsehdr, parsehdr);
    EXPECT_EQ(soap->fparse, parse);
    soap_free(soap);
}

}  // namespace
