// The strict request parser, one table of framings: what clients send today, and each
// way a request could be read twice (RFC 9112's smuggling cases among them). Every row
// is fed whole and again a byte at a time, and must come out the same.
#include <gtest/gtest.h>

#include <string>

#include "http/request_parser.h"

namespace {

struct outcome {
    int result;        // HTTP_PARSE_DONE or HTTP_PARSE_REFUSED
    int status;        // of a refusal
    std::string body;  // of a request
    size_t taken;      // bytes the request took
    http_request req;
};

// Parses the request at the front of bytes, given in pieces of step bytes, in buf (where
// the record's strings stay).
outcome parse(const std::string &bytes, size_t step, std::string *held)
{
    std::string &buf = *held;
    buf.clear();
    http_parser p;
    http_parser_reset(&p);
    outcome o{};
    for (size_t at = 0;;) {
        const size_t n = std::min(step, bytes.size() - at);
        buf.append(bytes, at, n);
        at += n;
        do
            o.result = http_parse(&p, buf.data(), buf.size(), &o.req);
        while (o.result == HTTP_PARSE_HEADER);
        if (o.result != HTTP_PARSE_MORE || at == bytes.size())
            break;
    }
    o.status = p.status;
    if (o.result == HTTP_PARSE_DONE) {
        o.body.assign(o.req.body, o.req.body_len);
        o.taken = p.pos;
    }
    return o;
}

const std::string kBody = "<a>x</a>";

TEST(RequestParser, EachFramingIsReadOneWayOrRefused)
{
    const std::string cl = "Content-Length: 8\r\n";
    const struct {
        const char *what;
        std::string bytes;
        int status;  // 0: read, with kBody as its body unless GET
    } rows[] = {
        {"Content-Length", "POST /x HTTP/1.1\r\nHost: h\r\n" + cl + "\r\n" + kBody, 0},
        {"HTTP/1.0", "POST / HTTP/1.0\r\n" + cl + "\r\n" + kBody, 0},
        {"chunked, extensions and a trailer",
         "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n3;a=b\r\n<a>\r\n5 ; c\r\nx</a>\r\n"
         "0\r\nX-Sum: 1\r\n\r\n",
         0},
        {"lone LF line ends", "POST / HTTP/1.1\n" + cl + "\n" + kBody, 0},
        {"empty lines first", "\r\n\r\nPOST / HTTP/1.1\r\n" + cl + "\r\n" + kBody, 0},
        {"Content-Length padded with zeros and blanks",
         "POST / HTTP/1.1\r\nContent-Length: \t0008 \r\n\r\n" + kBody, 0},
        {"no framing: no body", "GET /metrics HTTP/1.1\r\n\r\n", 0},
        {"a first byte that is not a method letter", "<a>" + kBody, 400},
        {"a gzip stream", std::string("\x1f\x8b\x08", 3) + kBody, 400},
        {"lower-case or unknown method", "brew / HTTP/1.1\r\n\r\n", 0},
        {"two blanks in the request line", "POST  / HTTP/1.1\r\n\r\n", 400},
        {"no version", "POST /\r\n\r\n", 400},
        {"HTTP/2.0", "POST / HTTP/2.0\r\n\r\n", 505},
        {"obsolete line folding", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n x\r\n\r\n",
         400},
        {"bare CR", "POST / HTTP/1.1\r\nContent-Length: 8\r0\r\n\r\n" + kBody, 400},
        {"NUL in a value", std::string("POST / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 31), 400},
        {"blank before the colon", "POST / HTTP/1.1\r\nContent-Length : 8\r\n\r\n" + kBody, 400},
        {"Transfer_Encoding", "POST / HTTP/1.1\r\nTransfer_Encoding: chunked\r\n" + cl + "\r\n",
         400},
        {"Content/Length", "POST 441\r\nContent/Length: 1125899906842624\r\n\r\n", 400},
        {"Content-Length and chunked",
         "POST / HTTP/1.1\r\n" + cl + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"two Content-Lengths", "POST / HTTP/1.1\r\n" + cl + cl + "\r\n" + kBody, 400},
        {"a list of lengths", "POST / HTTP/1.1\r\nContent-Length: 8, 8\r\n\r\n" + kBody, 400},
        {"a signed length", "POST / HTTP/1.1\r\nContent-Length: +8\r\n\r\n" + kBody, 400},
        {"chunked twice",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
         "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         400},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"a coding before chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
         501},
        {"a compressed body", "POST / HTTP/1.1\r\nContent-Encoding: gzip\r\n" + cl + "\r\n", 415},
        {"chunk size led by a blank", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n 8\r\n",
         400},
        {"chunk size led by CRLF", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n\r\n8\r\n",
         400},
        {"chunk data not followed by CRLF",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\n<a>x</a>\r\n0\r\n\r\n", 400},
        {"a folded trailer",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: 1\r\n 2\r\n\r\n", 400},
        {"a length past the bound", "POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", 500},
        {"a chunk past the bound",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
         "fffffffffffffff0\r\n",
         500},
        {"size lines past the bound",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;" + std::string(1 << 20, 'e') +
             "\r\n",
         500},
        {"a header past the bound",
         "GET / HTTP/1.1\r\nX: " + std::string(64 << 10, 'a') + "\r\n\r\n", 500},
    };
    for (const auto &row : rows) {
        std::string a, b;
        const outcome whole = parse(row.bytes, row.bytes.size(), &a);
        const outcome bytewise = parse(row.bytes, 1, &b);
        for (const outcome &o : {whole, bytewise}) {
            EXPECT_EQ(o.result, row.status ? HTTP_PARSE_REFUSED : HTTP_PARSE_DONE) << row.what;
            EXPECT_EQ(o.status, row.status) << row.what;
            if (o.result != HTTP_PARSE_DONE)
                continue;
            EXPECT_EQ(o.body, o.req.method == HTTP_POST ? kBody : "") << row.what;
            EXPECT_EQ(o.taken, row.bytes.size()) << row.what;
        }
    }
}

// What the service acts on comes out of the header as sent; a request sent behind
// another stays where it was.
TEST(RequestParser, TheRecordHoldsTheFieldsTheServiceActsOn)
{
    const std::string first = "post /a?b HTTP/1.0\r\nhost: h:1\r\nORIGIN: http://o\r\n"
                              "content-type: text/xml\r\nContent-Encoding: identity\r\n"
                              "Connection: TE, Keep-Alive\r\nConnection: close\r\n"
                              "Expect: 100-Continue\r\nContent-Length: 8\r\n\r\n" +
                              kBody;
    std::string buf;
    const outcome o = parse(first + "GET / HTTP/1.1\r\n\r\n", 7, &buf);
    ASSERT_EQ(o.result, HTTP_PARSE_DONE);
    EXPECT_EQ(o.req.method, HTTP_METHOD_OTHER);
    EXPECT_STREQ(o.req.target, "/a?b");
    EXPECT_EQ(o.req.http_minor, 0);
    EXPECT_STREQ(o.req.host, "h:1");
    EXPECT_STREQ(o.req.origin, "http://o");
    EXPECT_STREQ(o.req.content_type, "text/xml");
    EXPECT_STREQ(o.req.content_encoding, "identity");
    EXPECT_EQ(o.req.connection, unsigned(HTTP_CONNECTION_CLOSE | HTTP_CONNECTION_KEEP_ALIVE));
    EXPECT_EQ(o.req.expect_continue, 1);
    EXPECT_EQ(o.taken, first.size());
    EXPECT_EQ(http_connection_tokens("closed, keep alive", 18), 0u);
}

}  // namespace
