// Decoding and dispatch alone: the time from a received 944-byte record to the store
// update, per value kind, without the channel. The store is linked to an endpoint that
// is never started, so setters notify an empty connection registry as they do in an
// idle daemon.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "intake/decode.h"
#include "intake/dispatch.h"
#include "intake/status_message.h"
#include "service/endpoint.h"
#include "store/store.h"

using namespace status_msg;

namespace {

struct record {
    unsigned char bytes[kSize];
};

void put_word(record *r, size_t off, int32_t v) { memcpy(r->bytes + off, &v, sizeof v); }

record header(int op, int item, int kind)
{
    record r = {};
    put_word(&r, kTypeOff, kType);
    memcpy(r.bytes + kProductOff, kProduct, sizeof kProduct);
    memcpy(r.bytes + kSubsysOff, kSubsys, sizeof kSubsys);
    put_word(&r, kOpOff, op);
    put_word(&r, kItemOff, item);
    put_word(&r, kKindOff, kind);
    return r;
}

void put_slot(record *r, size_t slot, const char *s)
{
    uint32_t len = static_cast<uint32_t>(strlen(s));
    memcpy(r->bytes + slot + kSlotLenOff, &len, sizeof len);
    memcpy(r->bytes + slot + kSlotTextOff, s, len + 1);
}

// The messages a scanner daemon sends most: a statistics count, a running total, the
// last scanned file, and a blocked file in both of its forms.
record make_record(int kind)
{
    record r;
    switch (kind) {
    case kKindInt:
        r = header(kOpSet, 7, kKindInt);
        put_word(&r, kValueOff, 3);
        break;
    case kKindInt64: {
        r = header(kOpIncrement, 9, kKindInt64);
        int64_t one = 1;
        memcpy(r.bytes + kValueOff, &one, sizeof one);
        break;
    }
    case kKindString:
        r = header(kOpSet, 6, kKindString);
        put_slot(&r, kSlotAOff, "/home/user/documents/quarterly-report-2026.pdf");
        break;
    case kKindTwoStrings:
        r = header(kOpSet, 5, kKindTwoStrings);
        put_slot(&r, kSlotAOff, "/home/user/Downloads/setup.exe");
        put_slot(&r, kSlotBOff, "Test.Signature");
        break;
    default: {
        r = header(kOpSet, 5, kKindFieldText);
        field_text tb;
        field_text_reset(&tb);
        const char *text = "\nSO=/home/user/Downloads/setup.exe\nBR=3\nAN=Test.Signature";
        for (const char *p = text; *p; ++p)
            field_text_append_char(&tb, *p);
        memcpy(r.bytes + kValueOff, &tb, sizeof tb);
    }
    }
    return r;
}

void decode_dispatch(benchmark::State &state, int kind)
{
    const record r = make_record(kind);
    field_text tb;
    status_decoded d;
    for (auto _ : state) {
        const char *refusal = nullptr;
        if (decode_message(r.bytes, &tb, &d, &refusal) != 0 || dispatch_item(&d) != 0) {
            state.SkipWithError("message refused");
            break;
        }
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_CAPTURE(decode_dispatch, I, kKindInt);
BENCHMARK_CAPTURE(decode_dispatch, Z, kKindInt64);
BENCHMARK_CAPTURE(decode_dispatch, S, kKindString);
BENCHMARK_CAPTURE(decode_dispatch, 2, kKindTwoStrings);
BENCHMARK_CAPTURE(decode_dispatch, s, kKindFieldText);

int main(int argc, char **argv)
{
    struct soap_endpoint *ep = endpoint_new("127.0.0.1", 0, nullptr);
    if (!ep || store_create(endpoint_registry(ep), 0, nullptr) != 0)
        return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    store_destroy();
    endpoint_free(ep);
    return 0;
}
