// Command-line rules: -h host[:port], -p, -s [ca]:key[:pw] with the password masked.
#include <getopt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/options.h"

namespace {

// Owns writable copies of the arguments, as the kernel hands them to main.
struct argv_fixture {
    std::vector<std::vector<char>> store;
    std::vector<char *> argv;
    explicit argv_fixture(std::initializer_list<const char *> args)
    {
        for (const char *a : args)
            store.emplace_back(a, a + strlen(a) + 1);
        for (auto &s : store)
            argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int argc() const { return (int)argv.size() - 1; }
};

struct options defaults()
{
    struct options o;
    memset(&o, 0, sizeof o);
    o.ipc_dir = ".";
    o.port = kDefaultSoapPort;
    return o;
}

int parse(argv_fixture &a, struct options *o)
{
    optind = 0;  // makes glibc's getopt start afresh
    opterr = 0;
    return options_parse(a.argc(), a.argv.data(), o);
}

TEST(HostRule, IPv6LiteralKeepsDefaultPort)
{
    char arg[] = "::1";
    char *host = nullptr;
    unsigned int port = kDefaultSoapPort;
    options_apply_host(arg, &host, &port);
    EXPECT_STREQ(host, "::1");
    EXPECT_EQ(port, kDefaultSoapPort);
}

TEST(HostRule, PortTakesAutomaticBase)
{
    char arg[] = "myhost:0x50";
    char *host = nullptr;
    unsigned int port = kDefaultSoapPort;
    options_apply_host(arg, &host, &port);
    EXPECT_STREQ(host, "myhost");
    EXPECT_EQ(port, 80u);

    char octal[] = "h:010";
    options_apply_host(octal, &host, &port);
    EXPECT_EQ(port, 8u);
    // Not a port, or out of range: refused, and nothing changes.
    for (const char *bad : {"h:abc", "h:", "h:0", "h:65536", "h:-1", "h:+80", "[::1", "[::1]x"}) {
        std::string text = bad;
        char *h = nullptr;
        EXPECT_EQ(options_apply_host(&text[0], &h, &port), -1) << bad;
        EXPECT_EQ(h, nullptr) << bad;
        EXPECT_EQ(port, 8u) << bad;
    }
}

TEST(HostRule, BracketedIPv6AddressTakesAPort)
{
    char arg[] = "[::1]:8080";
    char *host = nullptr;
    unsigned int port = kDefaultSoapPort;
    ASSERT_EQ(options_apply_host(arg, &host, &port), 0);
    EXPECT_STREQ(host, "::1");
    EXPECT_EQ(port, 8080u);
    char bare[] = "[fe80::1]";
    ASSERT_EQ(options_apply_host(bare, &host, &port), 0);
    EXPECT_STREQ(host, "fe80::1");
    EXPECT_EQ(port, 8080u);
}

TEST(HostRule, LeadingColonGivesEmptyHostAndPort)
{
    char arg[] = ":8080";
    char *host = nullptr;
    unsigned int port = kDefaultSoapPort;
    options_apply_host(arg, &host, &port);
    EXPECT_STREQ(host, "");
    EXPECT_EQ(port, 8080u);
}

TEST(HostRule, BareHostAfterPortKeepsPortAndLaterPortWins)
{
    argv_fixture a{"gc", "-p", "8080", "-h", "somehost"};
    struct options o = defaults();
    ASSERT_EQ(parse(a, &o), 0);
    EXPECT_STREQ(o.host, "somehost");
    EXPECT_EQ(o.port, 8080u);

    argv_fixture b{"gc", "-h", "host:1", "-p", "2"};
    struct options p = defaults();
    ASSERT_EQ(parse(b, &p), 0);
    EXPECT_STREQ(p.host, "host");
    EXPECT_EQ(p.port, 2u);
}

TEST(SslRule, FullArgumentMasksPasswordInPlace)
{
    char arg[] = "ca.pem:key.pem:se:cret";
    struct ssl_settings *ssl = nullptr;
    ASSERT_EQ(options_parse_ssl(arg, &ssl), 0);
    EXPECT_EQ(ssl->require_client_auth, 1);
    EXPECT_STREQ(ssl->cafile, "ca.pem");
    EXPECT_STREQ(ssl->keyfile, "key.pem");
    EXPECT_STREQ(ssl->password, "se:cret");
    EXPECT_STREQ(ssl->sid, "sentrel_sid");
    EXPECT_EQ(ssl->capath, nullptr);
    EXPECT_EQ(ssl->dhfile, nullptr);
    EXPECT_EQ(ssl->randfile, nullptr);
    // The two colons became string ends; the password characters read 'X'.
    EXPECT_EQ(0, memcmp(arg, "ca.pem\0key.pem\0XXXXXXX", sizeof arg));
    ssl_settings_free(ssl);
}

TEST(SslRule, EmptyCaUsesKeyAndMissingPasswordIsEmpty)
{
    char a1[] = ":key.pem:pw";
    struct ssl_settings *s1 = nullptr;
    ASSERT_EQ(options_parse_ssl(a1, &s1), 0);
    EXPECT_STREQ(s1->cafile, "key.pem");
    ssl_settings_free(s1);

    char a2[] = "ca.pem:key.pem";
    struct ssl_settings *s2 = nullptr;
    ASSERT_EQ(options_parse_ssl(a2, &s2), 0);
    EXPECT_STREQ(s2->password, "");
    ssl_settings_free(s2);
}

TEST(SslRule, NoColonOrEmptyKeyIsRefused)
{
    struct ssl_settings *ssl = nullptr;
    char a1[] = "lonefile.pem";
    EXPECT_EQ(options_parse_ssl(a1, &ssl), -1);
    char a2[] = "ca.pem::pw";
    EXPECT_EQ(options_parse_ssl(a2, &ssl), -1);
    EXPECT_EQ(ssl, nullptr);
}

TEST(SslRule, LaterRandomFileJoinsEarlierSettings)
{
    argv_fixture a{"gc", "-s", "ca:key:pw", "-r", "rand"};
    struct options o = defaults();
    ASSERT_EQ(parse(a, &o), 0);
    ASSERT_NE(o.ssl, nullptr);
    EXPECT_STREQ(o.ssl->keyfile, "key");
    EXPECT_STREQ(o.randfile, "rand");
    ssl_settings_free(o.ssl);
}

TEST(Parse, CountsLevelsAndLeavesWords)
{
    int v = g_verbosity, dg = g_diagnostic;
    argv_fixture a{"gc", "-v", "-v", "-D", "-d", "/tmp", "--coalesce-ms", "250", "word1", "word2"};
    struct options o = defaults();
    ASSERT_EQ(parse(a, &o), 0);
    EXPECT_EQ(o.coalesce_ms, 250);
    EXPECT_EQ(g_verbosity, v + 2);
    EXPECT_EQ(g_diagnostic, dg + 1);
    EXPECT_STREQ(o.ipc_dir, "/tmp");
    ASSERT_EQ(o.nwords, 2);
    EXPECT_STREQ(o.words[0], "word1");
    EXPECT_STREQ(o.words[1], "word2");
    g_verbosity = v;
    g_diagnostic = dg;
}

TEST(Parse, VersionHelpAndBadOptions)
{
    int verbosity = g_verbosity;
    argv_fixture v{"gc", "-V"};
    struct options o = defaults();
    EXPECT_EQ(parse(v, &o), OPTIONS_VERSION_HELP);

    argv_fixture bad{"gc", "-x"};
    EXPECT_EQ(parse(bad, &o), OPTIONS_BAD);
    argv_fixture missing{"gc", "-d"};
    EXPECT_EQ(parse(missing, &o), OPTIONS_BAD);
    argv_fixture late_version{"gc", "-v", "--version"};
    EXPECT_EQ(parse(late_version, &o), OPTIONS_BAD);
    for (const char *ms : {"-1", "60001", "12ms", ""}) {
        argv_fixture bad_ms{"gc", "--coalesce-ms", ms};
        EXPECT_EQ(parse(bad_ms, &o), OPTIONS_BAD) << ms;
    }
    argv_fixture help{"gc", "--help"};
    EXPECT_EQ(parse(help, &o), OPTIONS_HELP);
    g_verbosity = verbosity;
}

}  // namespace
