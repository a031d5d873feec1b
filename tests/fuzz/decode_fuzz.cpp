// Fuzzes the whole decoding path of a received status message: acceptance checks,
// normalisation, parsing and dispatch into a real store. Input bytes are the record as it
// arrives; shorter inputs are zero-padded like the intake's zeroed receive buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "intake/decode.h"
#include "intake/dispatch.h"
#include "intake/status_message.h"
#include "store/store.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    store_create(nullptr, 0, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char msg[status_msg::kSize];
    memset(msg, 0, sizeof msg);
    memcpy(msg, data, size < sizeof msg ? size : sizeof msg);
    field_text tb;
    status_decoded d;
    const char *why = nullptr;
    if (decode_message(msg, &tb, &d, &why) == 0)
        dispatch_item(&d);

    // The same bytes as a value for the field writer, which must escape and cut safely.
    char value[1200];
    size_t n = size < sizeof value - 1 ? size : sizeof value - 1;
    memcpy(value, data, n);
    value[n] = '\0';
    field_text_reset(&tb);
    field_text_append_field(&tb, "S0", "%s", value);
    field_text_append_field(&tb, "S1", "%s", value);
    field_list fl;
    if (field_text_parse(&tb, &fl) < 0)
        __builtin_trap();  // what the writer produces must always parse
    return 0;
}
